// The audio stream each bitrate row carries with sound on: the profile
// loads, its streams fit the row's bitrate, and the writer's encoders accept
// them; rows without room for sound keep today's profile text byte for byte.

#include "app/AudioProfile.h"
#include "app/Unit1Profiles.h"
#include "media/ASFWriter.h"
#include "platform/core/Text.h"
#include "platform/wmf/AsfEncoder.h"
#include "platform/wmf/WMProfile.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

std::vector<WMStreamFormat> Streams(const std::string& xml)
{
    ComPtr<IWMProfileManager> manager;
    WMCreateProfileManager(manager.GetAddressOf());
    ComPtr<IWMProfile> profile;
    const std::u16string text = Utf8ToUtf16(xml);
    if (FAILED(manager->LoadProfileByData(text.c_str(), profile.GetAddressOf())) || !profile)
        return {};
    DWORD count = 0;
    profile->GetStreamCount(&count);
    std::vector<WMStreamFormat> out;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IWMStreamConfig> config;
        profile->GetStream(i, config.GetAddressOf());
        WMStreamFormat f;
        config->GetFormat(&f);
        out.push_back(f);
    }
    return out;
}

TEST(AudioProfile, EachRowWithSoundFitsItsBitrateAndEncodes)
{
    const std::string base = wmftest::BaseProfileXml();
    ASSERT_FALSE(base.empty());
    for (int row = 0; row < 7; ++row) {
        SCOPED_TRACE(row);
        const std::string video = EditProfileText(base, row);
        const std::string withSound = AddAudioToProfileText(video, row);
        const TAudioRate rate = AudioRateForRow(row);
        if (rate.Bitrate == 0) {
            EXPECT_EQ(withSound, video) << "a row without sound keeps its profile";
            continue;
        }
        const std::vector<WMStreamFormat> streams = Streams(withSound);
        ASSERT_EQ(streams.size(), 2u) << withSound;
        EXPECT_TRUE(streams[0].IsVideo());
        ASSERT_TRUE(streams[1].IsAudio());
        EXPECT_EQ(streams[1].sampleRate, rate.SampleRate);
        EXPECT_EQ(streams[1].channels, rate.Channels);
        EXPECT_EQ(static_cast<int>(streams[0].bitrate + streams[1].bitrate), std::atoi(ProfileBitrateText(row)));
        std::string error;
        const auto encoder = AsfEncoder::Create(streams, "", [](asf::DataPacketPtr) {}, &error);
        EXPECT_TRUE(encoder) << error;
    }
}

} // namespace
