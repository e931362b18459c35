// The audio stream of each bitrate row.

#include "app/AudioProfile.h"

#include "app/Unit1Profiles.h"

#include <cstdlib>

TAudioRate AudioRateForRow(int row)
{
    switch (row) {
    case 0: return {32000, 22050, 1}; // 256 Kbps: 224 kbps of video
    case 1: return {32000, 22050, 1}; // 128 Kbps: 96 kbps of video
    case 2: return {24000, 22050, 1}; //  93 Kbps: 69 kbps of video
    case 3: return {24000, 16000, 1}; //  56 Kbps: 32 kbps of video
    default: return {};
    }
}

std::string AddAudioToProfileText(const std::string& editedXml, int row)
{
    const TAudioRate a = AudioRateForRow(row);
    const size_t end = editedXml.rfind("</profile>");
    if (a.Bitrate == 0 || end == std::string::npos)
        return editedXml;
    const std::string total = ProfileBitrateText(row);
    const std::string video = std::to_string(std::atoi(total.c_str()) - a.Bitrate);
    // The video's bitrate appears as the stream's bitrate and as dwbitrate.
    std::string text = ReplaceAllNoCase(editedXml, "bitrate=\"" + total + "\"", "bitrate=\"" + video + "\"");
    const int blockAlign = a.Bitrate / 8 * 2048 / a.SampleRate;
    const std::string stream =
        "  <streamconfig majortype=\"{73647561-0000-0010-8000-00AA00389B71}\" streamnumber=\"2\" "
        "streamname=\"Audio Stream\" inputname=\"Audio409\" bitrate=\"" + std::to_string(a.Bitrate) +
        "\" bufferwindow=\"5000\" reliabletransport=\"0\" decodercomplexity=\"\" rfc1766langid=\"en-us\">\n"
        "    <wmmediatype subtype=\"{00000161-0000-0010-8000-00AA00389B71}\" bfixedsizesamples=\"1\" "
        "btemporalcompression=\"0\" lsamplesize=\"" + std::to_string(blockAlign) + "\">\n"
        "      <waveformatex wformattag=\"353\" nchannels=\"" + std::to_string(a.Channels) + "\" nsamplespersec=\"" +
        std::to_string(a.SampleRate) + "\" navgbytespersec=\"" + std::to_string(a.Bitrate / 8) +
        "\" nblockalign=\"" + std::to_string(blockAlign) + "\" wbitspersample=\"16\"/>\n"
        "    </wmmediatype>\n"
        "  </streamconfig>\n";
    const size_t at = text.rfind("</profile>");
    return text.substr(0, at) + stream + text.substr(at);
}
