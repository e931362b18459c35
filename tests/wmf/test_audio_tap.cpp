// The writer's audio tap: one object for the filter's life, consumers that
// come and go while the source publishes.

#include "platform/wmf/AudioTap.h"
#include "platform/wmf/WMAsfWriter.h"

#include <gtest/gtest.h>

#include <thread>

TEST(AudioTap, WriterOffersOneTapForItsLife)
{
    ComPtr<IWMWriterAudioTap> writer;
    ASSERT_EQ(CreateWMAsfWriter(IWMWriterAudioTap::iid, reinterpret_cast<void**>(&writer)), S_OK);
    const std::shared_ptr<AudioTap> tap = writer->GetAudioTap();
    ASSERT_TRUE(tap);
    EXPECT_EQ(writer->GetAudioTap(), tap);
}

TEST(AudioTap, ConsumersGetWhatIsPublishedUntilTheyLeave)
{
    AudioTap tap;
    EXPECT_FALSE(tap.Wanted());
    EXPECT_EQ(tap.Subscribe(nullptr), 0u);
    std::vector<int16_t> first, second;
    const auto a = tap.Subscribe([&](const TappedAudio& x) { first.insert(first.end(), x.samples, x.samples + x.frames * x.channels); });
    const auto b = tap.Subscribe([&](const TappedAudio& x) { second.push_back(static_cast<int16_t>(x.time)); });
    EXPECT_NE(a, b);
    EXPECT_TRUE(tap.Wanted());

    const int16_t pcm[] = {1, -1, 2, -2};
    tap.Publish(TappedAudio{pcm, 2, 2, 22050, 7});
    tap.Unsubscribe(b);
    tap.Unsubscribe(12345); // unknown: ignored
    tap.Publish(TappedAudio{pcm, 1, 2, 22050, 8});
    EXPECT_EQ(first, (std::vector<int16_t>{1, -1, 2, -2, 1, -1}));
    EXPECT_EQ(second, std::vector<int16_t>{7});
    tap.Unsubscribe(a);
    EXPECT_FALSE(tap.Wanted());
}

TEST(AudioTap, UnsubscribeWaitsOutAPublishInProgress)
{
    AudioTap tap;
    std::atomic<bool> inside{false}, release{false}, calledAfter{false}, unsubscribed{false};
    const auto id = tap.Subscribe([&](const TappedAudio&) {
        if (unsubscribed)
            calledAfter = true;
        inside = true;
        while (!release)
            std::this_thread::yield();
    });
    const int16_t pcm[2] = {};
    std::thread source([&] { tap.Publish(TappedAudio{pcm, 1, 2, 16000, 0}); });
    while (!inside)
        std::this_thread::yield();
    std::thread leaver([&] { tap.Unsubscribe(id); unsubscribed = true; });
    release = true;
    source.join();
    leaver.join();
    tap.Publish(TappedAudio{pcm, 1, 2, 16000, 1});
    EXPECT_FALSE(calledAfter);
}
