// The profile manager and the Windows Media 8 system profiles.

#include "platform/wmf/WMProfile.h"

#include <pugixml.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

// ---- system profile table ----------------------------------------------------

struct VideoDef {
    DWORD bitrate;
    int width;
    int height;
    QWORD avgTimePerFrame; // 100-ns units
    DWORD bufferWindowMs;
    QWORD keySpacing;      // 100-ns units
    DWORD quality;
};

struct AudioDef {
    DWORD bitrate;
    int sampleRate;
    int channels;
    DWORD bufferWindowMs;
};

struct SystemProfileDef {
    WMSystemProfile id;
    const char* description;
    std::vector<AudioDef> audio;
    std::vector<VideoDef> video;
};

constexpr QWORD k15fps = 666667;
constexpr QWORD k30fps = 333667;
constexpr QWORD k25fps = 400000;
constexpr QWORD kKey8s = 80000000;
constexpr QWORD kKey10s = 100000000;

const std::vector<SystemProfileDef>& Definitions()
{
    static const std::vector<SystemProfileDef> specs = {
        {{"wmp_V80_255VideoPDA", MakeGuid("{FEEDBCDF-3FAC-4C93-AC0D-47941EC72C0B}")},
            "Windows Media Video 8 for Color PDA devices (255 Kbps)",
            {{32000, 32000, 2, 3000}}, {{223000, 208, 160, k15fps, 5000, kKey10s, 70}}},
        {{"wmp_V80_150VideoPDA", MakeGuid("{AEE16DFA-2C14-4A2F-AD3F-A3034031784F}")},
            "Windows Media Video 8 for Color PDA devices (150 Kbps)",
            {{24000, 22050, 2, 3000}}, {{126000, 208, 160, k15fps, 5000, kKey10s, 70}}},
        {{"wmp_V80_28856VideoMBR", MakeGuid("{D66920C4-C21F-4EC8-A0B4-95CF2BD57FC4}")},
            "Windows Media Video 8 for Dial-up Modems (28.8 to 56 Kbps)",
            {{24000, 16000, 1, 3000}}, {{20000, 160, 120, k15fps, 5000, kKey8s, 75}, {32000, 176, 144, k15fps, 5000, kKey8s, 75}}},
        {{"wmp_V80_100768VideoMBR", MakeGuid("{5BDB5A0E-979E-47D3-9596-73B386392A55}")},
            "Windows Media Video 8 for LAN, Cable Modem, or xDSL (100 to 768 Kbps)",
            {{32000, 32000, 2, 3000}}, {{68000, 320, 240, k15fps, 5000, kKey10s, 75}, {224000, 320, 240, k30fps, 5000, kKey10s, 75}, {704000, 320, 240, k30fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_288100VideoMBR", MakeGuid("{D8722C69-2419-4B36-B4E0-6E17B60564E5}")},
            "Windows Media Video 8 for Dial-up Modems or LAN (28.8 to 100 Kbps)",
            {{24000, 16000, 1, 3000}}, {{20000, 160, 120, k15fps, 5000, kKey8s, 75}, {32000, 176, 144, k15fps, 5000, kKey8s, 75}, {68000, 320, 240, k15fps, 5000, kKey8s, 75}}},
        {{"wmp_V80_288Video", MakeGuid("{3DF678D9-1352-4186-BBF8-74F0C19B6AE2}")},
            "Windows Media Video 8 for Dial-up Modem (28.8 Kbps)",
            {{24000, 16000, 1, 3000}}, {{20000, 160, 120, k15fps, 5000, kKey8s, 75}}},
        {{"wmp_V80_56Video", MakeGuid("{254E8A96-2612-405C-8039-F0BF725CED7D}")},
            "Windows Media Video 8 for Dial-up Modem (56 Kbps)",
            {{24000, 16000, 1, 3000}}, {{32000, 176, 144, k15fps, 5000, kKey8s, 75}}},
        {{"wmp_V80_100Video", MakeGuid("{A2E300B4-C2D4-4FC0-B5DD-ECBD948DC0DF}")},
            "Windows Media Video 8 for LAN, Cable Modem, or xDSL (100 Kbps)",
            {{32000, 32000, 2, 3000}}, {{68000, 320, 240, k15fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_256Video", MakeGuid("{BBC75500-33D2-4466-B86B-122B201CC9AE}")},
            "Windows Media Video 8 for LAN, Cable Modem, or xDSL (256 Kbps)",
            {{32000, 32000, 2, 3000}}, {{224000, 320, 240, k30fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_384Video", MakeGuid("{29B00C2B-09A9-48BD-AD09-CDAE117D1DA7}")},
            "Windows Media Video 8 for LAN, Cable Modem, or xDSL (384 Kbps)",
            {{48000, 44100, 2, 3000}}, {{336000, 320, 240, k30fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_768Video", MakeGuid("{74D01102-E71A-4820-8F0D-13D2EC1E4872}")},
            "Windows Media Video 8 for LAN, Cable Modem, or xDSL (768 Kbps)",
            {{64000, 44100, 2, 3000}}, {{704000, 640, 480, k30fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_700NTSCVideo", MakeGuid("{C8C2985F-E5D9-4538-9E23-9B21BF78F745}")},
            "Windows Media Video 8 for Broadband (NTSC, 700 Kbps)",
            {{64000, 44100, 2, 3000}}, {{636000, 640, 480, k30fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_1400NTSCVideo", MakeGuid("{931D1BEE-617A-4BCD-9905-CCD0786683EE}")},
            "Windows Media Video 8 for Broadband (NTSC, 1400 Kbps)",
            {{128000, 44100, 2, 3000}}, {{1272000, 640, 480, k30fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_384PALVideo", MakeGuid("{9227C692-AE62-4F72-A7EA-736062D0E21E}")},
            "Windows Media Video 8 for Broadband (PAL, 384 Kbps)",
            {{64000, 44100, 2, 3000}}, {{320000, 384, 288, k25fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_700PALVideo", MakeGuid("{EC298949-639B-45E2-96FD-4AB32D5919C2}")},
            "Windows Media Video 8 for Broadband (PAL, 700 Kbps)",
            {{64000, 44100, 2, 3000}}, {{636000, 768, 576, k25fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_288MonoAudio", MakeGuid("{7EA3126D-E1BA-4716-89AF-F65CEE0C0C67}")},
            "Windows Media Audio 8 for Dial-up Modem (Mono, 28.8 Kbps)", {{24000, 16000, 1, 3000}}, {}},
        {{"wmp_V80_288StereoAudio", MakeGuid("{7E4CAB5C-35DC-45BB-A7C0-19B28070D0CC}")},
            "Windows Media Audio 8 for Dial-up Modem (FM Radio Stereo, 28.8 Kbps)", {{24000, 22050, 2, 3000}}, {}},
        {{"wmp_V80_32StereoAudio", MakeGuid("{60907F9F-B352-47E5-B210-0EF1F47E9F9D}")},
            "Windows Media Audio 8 for ISDN (Near CD Quality, 32 Kbps)", {{32000, 32000, 2, 3000}}, {}},
        {{"wmp_V80_48StereoAudio", MakeGuid("{5EE06BE5-492B-480A-8A8F-12F373ECF9D4}")},
            "Windows Media Audio 8 for ISDN (CD Quality, 48 Kbps)", {{48000, 44100, 2, 3000}}, {}},
        {{"wmp_V80_64StereoAudio", MakeGuid("{09BB5BC4-3176-457F-8DD6-3CD919123E2D}")},
            "Windows Media Audio 8 (CD Quality, 64 Kbps)", {{64000, 44100, 2, 3000}}, {}},
        {{"wmp_V80_96StereoAudio", MakeGuid("{1FC81930-61F2-436F-9D33-349F2A1C0F10}")},
            "Windows Media Audio 8 (CD Quality, 96 Kbps)", {{96000, 44100, 2, 3000}}, {}},
        {{"wmp_V80_128StereoAudio", MakeGuid("{407B9450-8BDC-4EE5-88B8-6F527BD941F2}")},
            "Windows Media Audio 8 (CD Quality, 128 Kbps)", {{128000, 44100, 2, 3000}}, {}},
        {{"wmp_V80_288VideoOnly", MakeGuid("{8C45B4C7-4AEB-4F78-A5EC-88420B9DADEF}")},
            "Windows Media Video 8 for Dial-up Modem (No audio, 28.8 Kbps)", {}, {{20000, 160, 120, k15fps, 5000, kKey8s, 75}}},
        {{"wmp_V80_56VideoOnly", MakeGuid("{6E2A6955-81DF-4943-BA50-68A986A708F6}")},
            "Windows Media Video 8 for Dial-up Modem (No audio, 56 Kbps)", {}, {{32000, 240, 176, k15fps, 5000, kKey8s, 75}}},
        {{"wmp_V80_FAIRVBRVideo", MakeGuid("{3510A862-5850-4886-835F-D78EC6A64042}")},
            "Windows Media Video 8 for Broadband (Fair quality VBR)", {{64000, 44100, 2, 3000}}, {{384000, 320, 240, k30fps, 5000, kKey10s, 50}}},
        {{"wmp_V80_HIGHVBRVideo", MakeGuid("{0F10D9D3-3B04-4FB0-A3D3-88D4AC854ACC}")},
            "Windows Media Video 8 for Broadband (High quality VBR)", {{96000, 44100, 2, 3000}}, {{768000, 640, 480, k30fps, 5000, kKey10s, 75}}},
        {{"wmp_V80_BESTVBRVideo", MakeGuid("{048439BA-309C-440E-9CB4-3DCCA3756423}")},
            "Windows Media Video 8 for Broadband (Best quality VBR)", {{128000, 44100, 2, 3000}}, {{1500000, 640, 480, k30fps, 5000, kKey10s, 90}}},
    };
    return specs;
}

std::string SystemProfileXml(const SystemProfileDef& def)
{
    std::ostringstream x;
    x << "<profile version=\"589824\" storageformat=\"1\" name=\"" << def.description
      << "\" description=\"\">\n";
    int number = 1;
    for (const AudioDef& a : def.audio) {
        const int blockAlign = static_cast<int>(a.bitrate / 8 * 2048 / static_cast<DWORD>(a.sampleRate)) ;
        x << "  <streamconfig majortype=\"" << GuidToString(WMMEDIATYPE_Audio) << "\" streamnumber=\"" << number
          << "\" streamname=\"Audio Stream\" inputname=\"Audio409\" bitrate=\"" << a.bitrate
          << "\" bufferwindow=\"" << a.bufferWindowMs << "\" reliabletransport=\"0\" decodercomplexity=\"\" rfc1766langid=\"en-us\">\n"
          << "    <wmmediatype subtype=\"" << GuidToString(WMMEDIASUBTYPE_WMAudioV8)
          << "\" bfixedsizesamples=\"1\" btemporalcompression=\"0\" lsamplesize=\"" << blockAlign << "\">\n"
          << "      <waveformatex wformattag=\"353\" nchannels=\"" << a.channels << "\" nsamplespersec=\"" << a.sampleRate
          << "\" navgbytespersec=\"" << a.bitrate / 8 << "\" nblockalign=\"" << blockAlign
          << "\" wbitspersample=\"16\"/>\n"
          << "    </wmmediatype>\n"
          << "  </streamconfig>\n";
        ++number;
    }
    for (const VideoDef& v : def.video) {
        x << "  <streamconfig majortype=\"" << GuidToString(WMMEDIATYPE_Video) << "\" streamnumber=\"" << number
          << "\" streamname=\"Video Stream\" inputname=\"Video409\" bitrate=\"" << v.bitrate
          << "\" bufferwindow=\"" << v.bufferWindowMs << "\" reliabletransport=\"0\" decodercomplexity=\"AU\" rfc1766langid=\"en-us\">\n"
          << "    <videomediaprops maxkeyframespacing=\"" << v.keySpacing << "\" quality=\"" << v.quality << "\"/>\n"
          << "    <wmmediatype subtype=\"" << GuidToString(WMMEDIASUBTYPE_WMV2)
          << "\" bfixedsizesamples=\"0\" btemporalcompression=\"1\" lsamplesize=\"0\">\n"
          << "      <videoinfoheader dwbitrate=\"" << v.bitrate << "\" dwbiterrorrate=\"0\" avgtimeperframe=\""
          << v.avgTimePerFrame << "\">\n"
          << "        <rcsource left=\"0\" top=\"0\" right=\"" << v.width << "\" bottom=\"" << v.height << "\"/>\n"
          << "        <rctarget left=\"0\" top=\"0\" right=\"" << v.width << "\" bottom=\"" << v.height << "\"/>\n"
          << "        <bitmapinfoheader biwidth=\"" << v.width << "\" biheight=\"" << v.height
          << "\" biplanes=\"1\" bibitcount=\"24\" bicompression=\"WMV2\" bisizeimage=\"0\" bixpelspermeter=\"0\""
             " biypelspermeter=\"0\" biclrused=\"0\" biclrimportant=\"0\"/>\n"
          << "      </videoinfoheader>\n"
          << "    </wmmediatype>\n"
          << "  </streamconfig>\n";
        ++number;
    }
    x << "</profile>\n";
    return x.str();
}

// ---- profile objects -----------------------------------------------------------

class StreamConfig final : public ComObject<IWMStreamConfig> {
public:
    explicit StreamConfig(WMStreamFormat format) : m_format(std::move(format)) {}

    HRESULT GetStreamType(GUID* type) override { return Put(type, m_format.majorType); }
    HRESULT GetStreamNumber(WORD* number) override { return Put(number, m_format.streamNumber); }
    HRESULT GetBitrate(DWORD* bitrate) override { return Put(bitrate, m_format.bitrate); }
    HRESULT GetBufferWindow(DWORD* ms) override { return Put(ms, m_format.bufferWindowMs); }
    HRESULT GetFormat(WMStreamFormat* format) override { return Put(format, m_format); }

private:
    template <class T>
    static HRESULT Put(T* out, const T& value)
    {
        if (!out)
            return E_POINTER;
        *out = value;
        return S_OK;
    }
    const WMStreamFormat m_format;
};

class Profile final : public ComObject<IWMProfile> {
public:
    Profile(GUID id, std::string xml, std::string name, std::string description, std::vector<WMStreamFormat> streams)
        : m_id(id), m_xml(std::move(xml)), m_name(std::move(name)), m_description(std::move(description)),
          m_streams(std::move(streams))
    {
    }

    HRESULT GetName(std::string* name) override
    {
        if (!name)
            return E_POINTER;
        *name = m_name;
        return S_OK;
    }
    HRESULT GetDescription(std::string* description) override
    {
        if (!description)
            return E_POINTER;
        *description = m_description;
        return S_OK;
    }
    HRESULT GetStreamCount(DWORD* count) override
    {
        if (!count)
            return E_POINTER;
        *count = static_cast<DWORD>(m_streams.size());
        return S_OK;
    }
    HRESULT GetStream(DWORD index, IWMStreamConfig** config) override
    {
        if (!config)
            return E_POINTER;
        *config = nullptr;
        if (index >= m_streams.size())
            return E_INVALIDARG;
        *config = NewComObject<StreamConfig>(m_streams[index]);
        return S_OK;
    }
    HRESULT GetProfileID(GUID* id) override
    {
        if (!id)
            return E_POINTER;
        *id = m_id;
        return S_OK;
    }

    const std::string& Xml() const { return m_xml; }

private:
    const GUID m_id;
    const std::string m_xml;
    const std::string m_name;
    const std::string m_description;
    const std::vector<WMStreamFormat> m_streams;
};

// Builds a profile object from XML text; nullptr when the text is unusable.
Profile* MakeProfile(const GUID& id, const std::string& xml)
{
    std::string name, description, error;
    std::vector<WMStreamFormat> streams;
    if (!ParseProfileXml(xml, &name, &description, &streams, &error))
        return nullptr;
    return NewComObject<Profile>(id, xml, std::move(name), std::move(description), std::move(streams));
}

class ProfileManager final : public ComObject<IWMProfileManager> {
public:
    HRESULT LoadProfileByID(REFGUID id, IWMProfile** profile) override
    {
        if (!profile)
            return E_POINTER;
        *profile = nullptr;
        for (int i = 0; i < kWMSystemProfileCount; ++i)
            if (Definitions()[static_cast<size_t>(i)].id.id == id)
                return LoadSystemProfile(static_cast<DWORD>(i), profile);
        return NS_E_PROFILE_NOT_FOUND;
    }

    HRESULT LoadProfileByData(const WCHAR* text, IWMProfile** profile) override
    {
        if (!profile || !text)
            return E_POINTER;
        *profile = nullptr;
        Profile* p = MakeProfile(GUID_NULL, Utf16ToUtf8(std::u16string(text)));
        if (!p)
            return NS_E_INVALID_PROFILE;
        *profile = p;
        return S_OK;
    }

    HRESULT SaveProfile(IWMProfile* profile, WCHAR* text, DWORD* length) override
    {
        if (!profile || !length)
            return E_POINTER;
        // Only our own profile objects can be written out.
        auto* own = dynamic_cast<Profile*>(profile);
        if (!own)
            return E_INVALIDARG;
        const std::u16string wide = Utf8ToUtf16(own->Xml());
        const DWORD needed = static_cast<DWORD>(wide.size() + 1);
        if (!text) {
            *length = needed;
            return S_OK;
        }
        if (*length < needed) {
            *length = needed;
            return ASF_E_BUFFERTOOSMALL;
        }
        std::memcpy(text, wide.c_str(), needed * sizeof(WCHAR));
        *length = needed;
        return S_OK;
    }

    HRESULT GetSystemProfileCount(DWORD* count) override
    {
        if (!count)
            return E_POINTER;
        *count = kWMSystemProfileCount;
        return S_OK;
    }

    HRESULT LoadSystemProfile(DWORD index, IWMProfile** profile) override
    {
        if (!profile)
            return E_POINTER;
        *profile = nullptr;
        if (index >= static_cast<DWORD>(kWMSystemProfileCount))
            return E_INVALIDARG;
        const SystemProfileDef& def = Definitions()[index];
        Profile* p = MakeProfile(def.id.id, SystemProfileXml(def));
        if (!p)
            return E_UNEXPECTED;
        *profile = p;
        return S_OK;
    }
};

// ---- XML reading -------------------------------------------------------------

bool ReadUnsigned(const pugi::xml_node& node, const char* name, uint64_t max, uint64_t* out, bool required = true)
{
    const pugi::xml_attribute a = node.attribute(name);
    if (!a) {
        *out = 0;
        return !required;
    }
    const char* s = a.value();
    if (!*s)
        return false;
    uint64_t v = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(*s - '0');
        if (v > max)
            return false;
    }
    *out = v;
    return true;
}

} // namespace

bool ParseProfileXml(const std::string& xml, std::string* name, std::string* description,
    std::vector<WMStreamFormat>* streams, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed)
        return fail(std::string("not XML: ") + parsed.description());
    const pugi::xml_node root = doc.child("profile");
    if (!root)
        return fail("no profile element");
    if (name)
        *name = root.attribute("name").value();
    if (description)
        *description = root.attribute("description").value();

    std::vector<WMStreamFormat> result;
    for (pugi::xml_node sc = root.child("streamconfig"); sc; sc = sc.next_sibling("streamconfig")) {
        WMStreamFormat f;
        if (!GuidFromString(sc.attribute("majortype").value(), f.majorType))
            return fail("stream without a major type");
        uint64_t v = 0;
        if (!ReadUnsigned(sc, "streamnumber", 127, &v) || v == 0)
            return fail("bad stream number");
        f.streamNumber = static_cast<WORD>(v);
        for (const WMStreamFormat& other : result)
            if (other.streamNumber == f.streamNumber)
                return fail("stream number used twice");
        if (!ReadUnsigned(sc, "bitrate", 100000000, &v) || v < 1000)
            return fail("bad bitrate");
        f.bitrate = static_cast<DWORD>(v);
        if (!ReadUnsigned(sc, "bufferwindow", 600000, &v, false))
            return fail("bad buffer window");
        f.bufferWindowMs = static_cast<DWORD>(v ? v : 3000);
        f.streamName = sc.attribute("streamname").value();
        f.inputName = sc.attribute("inputname").value();
        const pugi::xml_node mt = sc.child("wmmediatype");
        if (!mt || !GuidFromString(mt.attribute("subtype").value(), f.subtype))
            return fail("stream without a media type");

        if (f.majorType == WMMEDIATYPE_Video) {
            if (f.subtype != WMMEDIASUBTYPE_WMV2)
                return fail("unsupported video codec");
            const pugi::xml_node vih = mt.child("videoinfoheader");
            const pugi::xml_node bih = vih.child("bitmapinfoheader");
            if (!vih || !bih)
                return fail("video stream without a frame description");
            uint64_t w = 0, h = 0, tpf = 0;
            if (!ReadUnsigned(bih, "biwidth", 4096, &w) || !ReadUnsigned(bih, "biheight", 4096, &h))
                return fail("bad frame size");
            // The encoder works on 4:2:0 pictures, which need even sizes.
            if (w < 16 || h < 16 || w % 2 || h % 2)
                return fail("unsupported frame size");
            if (!ReadUnsigned(vih, "avgtimeperframe", 100000000, &tpf) || tpf < 100000)
                return fail("bad frame rate");
            f.width = static_cast<int>(w);
            f.height = static_cast<int>(h);
            f.avgTimePerFrame = tpf;
            const pugi::xml_node props = sc.child("videomediaprops");
            if (!ReadUnsigned(props, "maxkeyframespacing", 36000000000ULL, &v, false))
                return fail("bad key frame spacing");
            f.maxKeyFrameSpacing = v;
            if (!ReadUnsigned(props, "quality", 100, &v, false))
                return fail("bad quality");
            f.quality = static_cast<DWORD>(v);
        } else if (f.majorType == WMMEDIATYPE_Audio) {
            if (f.subtype != WMMEDIASUBTYPE_WMAudioV8)
                return fail("unsupported audio codec");
            const pugi::xml_node wfx = mt.child("waveformatex");
            uint64_t rate = 0, channels = 0;
            if (!wfx || !ReadUnsigned(wfx, "nsamplespersec", 48000, &rate) || rate < 8000
                || !ReadUnsigned(wfx, "nchannels", 2, &channels) || channels < 1)
                return fail("bad audio format");
            // The encoder needs at least 24 kbps.
            if (f.bitrate < 24000)
                return fail("audio bitrate too low");
            f.sampleRate = static_cast<int>(rate);
            f.channels = static_cast<int>(channels);
        } else {
            return fail("unsupported stream type");
        }
        result.push_back(std::move(f));
    }
    if (result.empty())
        return fail("profile without streams");
    if (streams)
        *streams = std::move(result);
    return true;
}

const WMSystemProfile& WMSystemProfileAt(int index)
{
    return Definitions().at(static_cast<size_t>(index)).id;
}

HRESULT WMCreateProfileManager(IWMProfileManager** manager)
{
    if (!manager)
        return E_POINTER;
    *manager = NewComObject<ProfileManager>();
    return S_OK;
}

std::string Utf16ToUtf8(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // lone surrogate
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<uint8_t>(text[i]);
        uint32_t c = 0xFFFD;
        size_t n = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            n = 2;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4;
            c = b & 0x07;
        } else {
            n = 0;
        }
        bool ok = n > 0 && i + n <= text.size();
        for (size_t k = 1; ok && k < n; ++k) {
            const auto cb = static_cast<uint8_t>(text[i + k]);
            if ((cb & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (cb & 0x3F);
        }
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}
