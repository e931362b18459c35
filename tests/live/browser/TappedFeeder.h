#pragma once
// A real-time stand-in for the writer: moving pictures encoded 15 a second
// into a network sink, each published on a picture tap first.

#include "platform/dshow/TestPatternCode.h"
#include "platform/wmf/AsfEncoder.h"
#include "platform/wmf/WMWriter.h"
#include "tests/wmf/WmfTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace browsertest {

// Calm pictures (bars and a small moving square) compress to far less than
// the bitrate; noisy ones use all of it.
enum class PictureKind { Calm, Noisy };

// Whether each picture carries the test source's frame code, so that a
// player's shown picture can be told from a blank or broken one.
enum class FrameCode { None, Stamped };

// The test source's frame code for `frame` stamped on a picture (RGB32).
inline void StampFrameCode(std::vector<uint8_t>& pixels, int width, int height, int frame)
{
    const int count = (frame / kTestPatternCodeStep) % (1 << kTestPatternCodeBits);
    const int code = count ^ (count >> 1);
    auto* argb = reinterpret_cast<uint32_t*>(pixels.data());
    for (int cell = 0; cell < kTestPatternCodeCells; ++cell) {
        const bool on = cell == 0 || (cell < kTestPatternCodeCells - 1 && (code >> (kTestPatternCodeBits - cell)) & 1);
        const int x0 = cell * width / kTestPatternCodeCells, x1 = (cell + 1) * width / kTestPatternCodeCells;
        for (int y = TestPatternCodeTop(height); y < TestPatternCodeBottom(height); ++y)
            std::fill(argb + static_cast<size_t>(y) * width + x0, argb + static_cast<size_t>(y) * width + x1,
                on ? 0xFFEBEBEBu : 0xFF101010u);
    }
}

// Encodes 320 x 240 pictures at the 93 Kbps row in real time into `sink`
// from a thread of its own, publishing them on `tap`; the destructor ends
// the stream and joins the thread.
class TappedFeeder {
public:
    TappedFeeder(IWMWriterSink* sink, std::shared_ptr<PictureTap> tap, PictureKind kind = PictureKind::Calm,
        FrameCode code = FrameCode::None)
        : m_sink(sink)
    {
        std::string error;
        m_encoder = AsfEncoder::Create(wmftest::BaseProfileStreams(93000, kWidth, kHeight), "Lumora",
            [this](asf::DataPacketPtr p) { m_sink->OnDataUnit(p); }, &error);
        EXPECT_TRUE(m_encoder) << error;
        if (!m_encoder)
            return;
        m_encoder->SetPictureTap(std::move(tap));
        for (int i = 0; i < 30; ++i) {
            m_pictures.push_back(wmftest::MovingPicture(kWidth, kHeight, i, kind == PictureKind::Noisy));
            if (kind == PictureKind::Noisy)
                for (size_t p = 0; p < m_pictures.back().size(); ++p)
                    m_pictures.back()[p] ^= static_cast<uint8_t>((p * 2654435761u + static_cast<size_t>(i) * 40503u) >> 24 & 0x3f);
        }
        m_sink->OnHeader(m_encoder->Header().data(), m_encoder->Header().size());
        m_thread = std::thread([this, code] {
            const auto start = std::chrono::steady_clock::now();
            std::vector<uint8_t> stamped;
            for (int n = 0; !m_stop; ++n) {
                std::this_thread::sleep_until(start + n * std::chrono::microseconds(66667));
                const std::vector<uint8_t>* pic = &m_pictures[static_cast<size_t>(n) % m_pictures.size()];
                if (code == FrameCode::Stamped) {
                    stamped = *pic;
                    StampFrameCode(stamped, kWidth, kHeight, n);
                    pic = &stamped;
                }
                m_encoder->EncodeVideo(0, {PixelLayout::RGB32, kWidth, kHeight, pic->data(), pic->size()}, n * 666667LL, false);
            }
            m_encoder->Finish();
            m_sink->OnEndWriting();
        });
    }
    ~TappedFeeder()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    TappedFeeder(const TappedFeeder&) = delete;
    TappedFeeder& operator=(const TappedFeeder&) = delete;

private:
    static constexpr int kWidth = 320, kHeight = 240;
    IWMWriterSink* m_sink;
    std::unique_ptr<AsfEncoder> m_encoder;
    std::vector<std::vector<uint8_t>> m_pictures;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace browsertest
