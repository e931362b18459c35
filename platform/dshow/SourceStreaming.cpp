#include "platform/dshow/SourceStreaming.h"

void StreamThread::Start(std::function<void()> loop)
{
    {
        std::lock_guard lock(m_lock);
        m_stop = false;
    }
    m_thread = std::thread(std::move(loop));
}

void StreamThread::Stop(const std::function<void()>& wake)
{
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (wake)
        wake();
    if (m_thread.joinable())
        m_thread.join();
}

bool StreamThread::Stopping()
{
    std::lock_guard lock(m_lock);
    return m_stop;
}

bool StreamThread::WaitUntil(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_lock);
    return !m_wake.wait_until(lock, deadline, [this] { return m_stop; });
}

bool DeliverFromStream(FilterCore& filter, OutputPin& pin, IMediaSample* sample)
{
    const HRESULT hr = pin.Deliver(sample);
    if (hr == S_FALSE)
        return false;
    if (FAILED(hr) && hr != VFW_E_NOT_CONNECTED) {
        filter.NotifyEvent(EC_ERRORABORT, hr, 0);
        return false;
    }
    return true;
}
