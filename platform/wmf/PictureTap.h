#pragma once
// Pictures of a writing session for outputs beside the ASF stream (a
// picture feed for browsers, a relay to a media server). The writer's
// encoding thread publishes every picture that takes a frame slot of the
// video stream, already scaled to the profile's frame as I420, before the
// bitrate budget decides whether the WMV2 encoder gets it: an observer sees
// the stream's full frame rate whatever the budget drops.
//
// Threads. Publish and End run on the writer's encoding thread and call the
// observers there, under the tap's lock: OnPicture must return at once
// (keep the shared picture and hand it to a thread of your own) and must not
// call Add or Remove. Add and Remove may be called from any other thread;
// once Remove returns, the observer is not called again. Nothing is copied
// or scaled for the tap while it has no observer.

#include "platform/com/Unknown.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct TappedPicture {
    int width = 0;
    int height = 0;
    int64_t time = 0;          // stream time of the picture, 100-ns units
    int64_t frameInterval = 0; // the profile's time per frame, 100-ns units
    // The Y plane (width x height), then U and V (width/2 x height/2 each),
    // rows without padding. Shared and never changed once published.
    std::shared_ptr<const std::vector<uint8_t>> i420;
};

class IPictureObserver {
public:
    virtual ~IPictureObserver() = default;
    virtual void OnPicture(const TappedPicture& picture) = 0;
    // Writing ended; pictures follow again only when writing begins anew.
    virtual void OnPicturesEnd() {}
};

class PictureTap {
public:
    void Add(std::shared_ptr<IPictureObserver> observer);
    void Remove(const IPictureObserver* observer);
    // True while at least one observer is attached (cheap, lock-free).
    bool Wanted() const { return m_count.load(std::memory_order_relaxed) > 0; }

    void Publish(const TappedPicture& picture);
    void End();

private:
    std::mutex m_lock;
    std::vector<std::shared_ptr<IPictureObserver>> m_observers;
    std::atomic<size_t> m_count{0};
};

// Offered by the ASF writer filter (QueryInterface): the tap of its writing
// sessions, the same object for the filter's whole life.
struct IWMWriterPictureTap : IUnknown {
    static constexpr IID iid = MakeGuid("{6F3C2A51-8E0B-4C7D-9A21-5B4E7D0C9F13}");
    virtual std::shared_ptr<PictureTap> GetPictureTap() = 0;
};
