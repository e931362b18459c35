#pragma once
// A key frame on demand: a sink that has a new client asks, the writer's
// encoding thread takes the request at its next picture. Asking and taking
// are single atomic operations, so the encoding thread never waits on a
// sink; any number of asks before the next picture give one key frame.

#include <atomic>
#include <memory>

class KeyFrameRequest {
public:
    void Ask() { m_wanted.store(true, std::memory_order_release); }
    // True once per batch of asks.
    bool Take() { return m_wanted.load(std::memory_order_relaxed) && m_wanted.exchange(false, std::memory_order_acq_rel); }
    bool Pending() const { return m_wanted.load(std::memory_order_acquire); }

private:
    std::atomic<bool> m_wanted{false};
};

using KeyFrameRequestPtr = std::shared_ptr<KeyFrameRequest>;
