#pragma once
// Sound in the Windows Media profile: the Windows Media Audio 2 stream that a
// bitrate row carries when sound is on, and the profile text with it.

#include <string>

struct TAudioRate {
    int Bitrate = 0;    // bits a second; 0: the row carries no sound
    int SampleRate = 0; // Hz
    int Channels = 0;
};

// The audio stream of a row (0 = 256 Kbps ... 6 = 20 Kbps). The video gets
// the rest of the row's bitrate, so the row's total stays what it says. The
// encoder needs at least 24 kbps, which would leave the 32, 28.8 and 20 Kbps
// rows 8 kbps of video or less: they stay silent.
TAudioRate AudioRateForRow(int row);

// The row's profile text (EditProfileText's result for `row`) with its audio
// stream added as stream 2, after the video, and the video's bitrate lowered
// by the audio's. Unchanged for a row without sound.
std::string AddAudioToProfileText(const std::string& editedXml, int row);
