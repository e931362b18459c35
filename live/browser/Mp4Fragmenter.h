#pragma once
// Fragmented MP4 for a live stream, made by libavformat's MP4 muxer: an
// initialization segment (ftyp, and a moov without samples), then one
// fragment (moof + mdat) per packet, each with its own base decode time, so
// a viewer can start at any key frame fragment after the initialization
// segment. Media Source Extensions, HLS (fMP4 segments) and ffmpeg read it.
//
//   init segment   ftyp | moov (mvhd, trak per stream, mvex)
//   fragment       moof (mfhd, traf: tfhd default-base-is-moof, tfdt, trun) | mdat
//
// The video stream is the first track; with an audio encoder the second
// track is its sound, and a fragment holds the sound written since the last
// one (AddAudio) beside its picture: one moof with a traf per track.
//
// Threads: one object is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
struct AVCodecContext;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;
struct AVStream;
}

class Mp4Fragmenter {
public:
    Mp4Fragmenter() = default;
    ~Mp4Fragmenter();
    Mp4Fragmenter(const Mp4Fragmenter&) = delete;
    Mp4Fragmenter& operator=(const Mp4Fragmenter&) = delete;

    // Starts a new file for the open video encoder (its extradata holds the
    // parameter sets); `init` gets the initialization segment.
    bool Open(const AVCodecContext* video, std::vector<uint8_t>* init, std::string* error);
    // The same with an audio track beside the video (`audio` null: video only,
    // as the overload above).
    bool Open(const AVCodecContext* video, const AVCodecContext* audio, std::vector<uint8_t>* init, std::string* error);
    void Close();
    bool HasAudio() const { return m_audio != nullptr; }

    // One packet of the encoder (time base the encoder's) as one fragment.
    bool Fragment(AVPacket* packet, std::vector<uint8_t>* fragment, std::string* error);
    // One packet of the audio encoder (time base the encoder's), carried by
    // the next fragment.
    bool AddAudio(AVPacket* packet, std::string* error);

private:
    static int Write(void* opaque, uint8_t* data, int size); // the muxer's output

    AVFormatContext* m_format = nullptr;
    AVIOContext* m_io = nullptr;
    AVStream* m_video = nullptr;
    int m_videoTimeBaseNum = 1, m_videoTimeBaseDen = 1;
    AVStream* m_audio = nullptr;
    int m_audioTimeBaseNum = 1, m_audioTimeBaseDen = 1;
    std::vector<uint8_t> m_out; // what the muxer wrote since the last take
};
