#pragma once
// What the push sources (the test pattern, the camera, the sound input)
// share while they stream: the thread that makes their samples, and the
// hand-over of each sample downstream.

#include "platform/dshow/BaseClasses.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A source's streaming thread: started when the graph runs, asked to stop
// and joined when it pauses or stops (on the user-interface thread). The
// loop sleeps in WaitUntil, which a stop cuts short; the destructor stops
// and joins it.
class StreamThread {
public:
    StreamThread() = default;
    ~StreamThread() { Stop(); }
    StreamThread(const StreamThread&) = delete;
    StreamThread& operator=(const StreamThread&) = delete;

    // Runs `loop` on a new thread; the previous one must have been stopped.
    void Start(std::function<void()> loop);
    // Asks the loop to end, wakes it and joins it; nothing when not started.
    // `wake`, when given, runs after the request and before the join, for a
    // loop that may be waiting on something else than WaitUntil.
    void Stop(const std::function<void()>& wake = {});

    // On the loop's thread: whether it is asked to end.
    bool Stopping();
    // On the loop's thread: sleeps until `deadline`; false when asked to end.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline);

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

// Hands `sample` to `pin` from a streaming thread: false when streaming must
// end, because downstream is stopping (S_FALSE) or failed (the graph hears
// of it as EC_ERRORABORT from `filter`). A pin that lost its connection
// takes nothing, and streaming goes on.
bool DeliverFromStream(FilterCore& filter, OutputPin& pin, IMediaSample* sample);
