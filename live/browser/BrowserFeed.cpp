#include "live/browser/BrowserFeed.h"

#include "live/browser/JpegEncoder.h"
#include "platform/wmf/PictureSlot.h"

#include <algorithm>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

// The tap's observer and the state shared with the feed's thread. The tap
// holds it by shared pointer, so it outlives a tap that still publishes.
struct BrowserFeed::Shared final : PictureSlot {
    PictureFormat format; // of the pictures parked

    // From the sink.
    uint32_t bitrate = 0;
    size_t viewers = 0;
    bool wantPicture = false;
    Clock::time_point primeUntil;

    JpegPicturePtr latest;

    void Parked(const TappedPicture& picture) override { format = {picture.width, picture.height, picture.frameInterval}; }

    bool Needed(Clock::time_point now) const { return viewers > 0 || wantPicture || now < primeUntil; }
};

BrowserFeed::BrowserFeed(std::function<void()> wake, BrowserFeedOptions options)
    : m_wake(std::move(wake)), m_options(options), m_shared(std::make_shared<Shared>())
{
}

BrowserFeed::~BrowserFeed() { Stop(); }

void BrowserFeed::Start() { m_shared->Start(m_thread, [this] { Run(); }); }

void BrowserFeed::Stop() { m_shared->Stop(m_thread); }

void BrowserFeed::SetTap(std::shared_ptr<PictureTap> tap) { m_shared->SetAndWake(m_shared->tap, std::move(tap)); }

void BrowserFeed::SetBitrate(uint32_t bitsPerSecond)
{
    std::lock_guard guard(m_shared->lock);
    m_shared->bitrate = bitsPerSecond;
}

void BrowserFeed::SetViewers(size_t viewers) { m_shared->SetAndWake(m_shared->viewers, viewers); }

void BrowserFeed::WantPicture()
{
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->wantPicture = true;
        // A picture parked before this request may be a frame old: the next
        // one is newer.
        m_shared->havePending = false;
    }
    m_shared->signal.notify_one();
}

void BrowserFeed::Prime()
{
    {
        std::lock_guard guard(m_shared->lock);
        m_shared->primeUntil = Clock::now() + m_options.prime;
    }
    m_shared->signal.notify_one();
}

JpegPicturePtr BrowserFeed::Latest() const
{
    std::lock_guard guard(m_shared->lock);
    return m_shared->latest;
}

PictureFormat BrowserFeed::Format() const
{
    std::lock_guard guard(m_shared->lock);
    return m_shared->format;
}

void BrowserFeed::Run()
{
    Shared& s = *m_shared;
    JpegEncoder encoder;
    std::vector<uint8_t> jpeg;
    std::shared_ptr<PictureTap> attached; // the tap we observe, if any
    Clock::time_point lastNeed = Clock::now() - m_options.linger;
    int quality = kStartQuality;
    uint64_t sequence = 0;

    std::unique_lock guard(s.lock);
    for (;;) {
        s.signal.wait_for(guard, std::chrono::milliseconds(200), [&] {
            return s.stop || (s.havePending && (s.viewers > 0 || s.wantPicture)) || (s.tap != attached && s.Needed(Clock::now()));
        });
        const auto now = Clock::now();
        if (!s.stop && s.Needed(now))
            lastNeed = now;
        const std::shared_ptr<PictureTap> wanted = s.stop || now - lastNeed >= m_options.linger ? nullptr : s.tap;
        if (wanted != attached) {
            PictureSlot::MoveTo(guard, m_shared, attached, wanted);
            continue;
        }
        if (s.stop)
            break;
        if (!s.havePending || !(s.viewers > 0 || s.wantPicture))
            continue;

        const TappedPicture picture = std::move(s.pending);
        const Clock::time_point handed = s.handed;
        s.havePending = false;
        s.wantPicture = false;
        const uint32_t bitrate = s.bitrate;
        guard.unlock();

        if (picture.i420 && encoder.Encode(picture.i420->data(), picture.width, picture.height, quality, &jpeg)) {
            auto out = std::make_shared<JpegPicture>();
            out->sequence = ++sequence;
            out->width = picture.width;
            out->height = picture.height;
            out->quality = quality;
            out->handed = handed;
            out->bytes = std::move(jpeg);
            jpeg = {};
            // Steer the next picture's quality towards the budget.
            if (bitrate > 0 && picture.frameInterval > 0) {
                const double target = static_cast<double>(bitrate) / 8.0 * static_cast<double>(picture.frameInterval) / 1e7 * kBudgetFactor;
                const double size = static_cast<double>(out->bytes.size());
                if (size > target * 1.2)
                    quality = std::max(kMinQuality, quality - (size > target * 2 ? 10 : 3));
                else if (size < target * 0.8)
                    quality = std::min(kMaxQuality, quality + (size < target / 2 ? 6 : 2));
            }
            guard.lock();
            s.latest = std::move(out);
            guard.unlock();
            if (m_wake)
                m_wake();
        }
        guard.lock();
    }
    PictureSlot::MoveTo(guard, m_shared, attached, nullptr);
}
