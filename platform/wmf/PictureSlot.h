#pragma once
// What the outputs beside the ASF stream share to take the tap's pictures on
// a thread of their own.
//
// WorkerState: the lock, signal and stop request between an output's thread
// and the threads that feed it, with the thread's start and stop.
//
// PictureSlot: a tap observer that parks the newest picture for that thread.
// The writer's encoding thread only replaces the picture waiting (never
// queues) and signals, so the output's work never delays the WMV2 stream.
// The owner's thread changes the slot's tap membership with MoveTo, with the
// slot's lock released: the tap calls OnPicture under its own lock, which
// then takes the slot's.

#include "platform/wmf/PictureTap.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

struct WorkerState {
    mutable std::mutex lock;
    std::condition_variable signal;
    bool stop = false;

    // Runs `body` on `thread`; nothing while the thread runs already.
    void Start(std::thread& thread, std::function<void()> body);
    // Sets `stop`, wakes the thread and joins it.
    void Stop(std::thread& thread);

    // Sets a member guarded by `lock` and wakes the thread to look at it.
    template <class T>
    void SetAndWake(T& member, T value)
    {
        {
            std::lock_guard guard(lock);
            member = std::move(value);
        }
        signal.notify_all();
    }
};

struct PictureSlot : WorkerState, IPictureObserver {
    TappedPicture pending;
    bool havePending = false;
    bool ended = false; // writing ended (the owner clears it)
    std::chrono::steady_clock::time_point handed; // when the writer handed `pending` over
    std::shared_ptr<PictureTap> tap;              // the tap to observe while needed

    void OnPicture(const TappedPicture& picture) override;
    void OnPicturesEnd() override;

    // Observes `wanted` instead of `attached` (either may be null) and drops
    // the picture waiting. `guard` holds `lock`; it is released meanwhile.
    static void MoveTo(std::unique_lock<std::mutex>& guard, const std::shared_ptr<PictureSlot>& slot,
        std::shared_ptr<PictureTap>& attached, const std::shared_ptr<PictureTap>& wanted);

protected:
    // Called under `lock` with each picture parked.
    virtual void Parked(const TappedPicture&) {}
};
