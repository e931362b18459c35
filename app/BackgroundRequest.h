#pragma once
// One blocking request at a time on a thread of its own, its outcome handed
// to the window's thread: the window never waits for the peer.
//
//   TBackgroundRequest echo(window);
//   echo.Start([](const std::atomic<bool>& cancel) { return Fetch(cancel); },
//              [](std::string result, std::string failure) { ... });
//
// Threads. Start, Busy and the destructor on the window's thread; `work`
// runs on the request's thread and must give up soon once `cancel` is
// true; `done` runs on the context's thread, and never once the context or
// this object is gone. The destructor cancels the request and joins it.

#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class TBackgroundRequest {
public:
    // work: answers the result, or raises with the reason of the failure.
    using Work = std::function<std::string(const std::atomic<bool>& cancel)>;
    using Done = std::function<void(const std::string& result, const std::string& failure)>;

    explicit TBackgroundRequest(QObject* context);
    ~TBackgroundRequest();
    TBackgroundRequest(const TBackgroundRequest&) = delete;
    TBackgroundRequest& operator=(const TBackgroundRequest&) = delete;

    // Starts `work` unless a request runs already (then false: the running
    // one's answer is as good).
    bool Start(Work work, Done done);
    bool Busy() const { return m_busy; }

private:
    QPointer<QObject> m_context;
    std::thread m_thread;
    std::shared_ptr<std::atomic<bool>> m_cancel = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> m_busy{false};
};
