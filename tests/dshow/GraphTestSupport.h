#pragma once
// Helpers for the media framework tests: a sink filter that keeps what it
// receives, built on the same base classes a real sink uses.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace dshowtest {

inline constexpr CLSID CLSID_GrabberSink = MakeGuid("{0B3D62C1-8E55-4D4B-A3A8-5C1E2F7D9A10}");

// Takes RGB32 (or the subtypes given) and keeps the last sample.
class GrabberSink final : public BaseFilter<> {
public:
    explicit GrabberSink(std::vector<GUID> subtypes = {MEDIASUBTYPE_RGB32}) : BaseFilter(CLSID_GrabberSink)
    {
        m_pin = static_cast<Input*>(AddPin(std::make_unique<Input>(*this, std::move(subtypes))));
    }
    ~GrabberSink() override { StopStreamingNow(); }

    int Count() const { return m_pin->count.load(); }
    ComPtr<IMediaSample> Last()
    {
        std::lock_guard lock(m_pin->lock);
        return m_pin->last;
    }
    AM_MEDIA_TYPE Type() const { return m_pin->ConnectionType(); }
    IPin* InputPinPtr() { return m_pin; }
    // What Receive answers (S_OK by default).
    void SetReceiveResult(HRESULT hr) { m_pin->result = hr; }
    // A failure from Pause (to test a graph that cannot run).
    HRESULT pauseResult = S_OK;

protected:
    HRESULT OnPause() override { return pauseResult; }

private:
    struct Input final : InputPin {
        Input(FilterCore& f, std::vector<GUID> s) : InputPin(f, "In"), subtypes(std::move(s)) {}
        HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override
        {
            if (!(type.majortype == MEDIATYPE_Video))
                return S_FALSE;
            for (const GUID& s : subtypes)
                if (s == type.subtype)
                    return S_OK;
            return S_FALSE;
        }
        HRESULT Receive(IMediaSample* sample) override
        {
            const HRESULT hr = CheckStreaming();
            if (FAILED(hr))
                return hr;
            {
                std::lock_guard l(lock);
                last = sample;
            }
            ++count;
            return result.load();
        }
        std::vector<GUID> subtypes;
        std::mutex lock;
        ComPtr<IMediaSample> last;
        std::atomic<int> count{0};
        std::atomic<HRESULT> result{S_OK};
    };
    Input* m_pin;
};

template <class T>
ComPtr<T> Create(HRESULT (*factory)(REFIID, void**))
{
    ComPtr<T> out;
    factory(T::iid, out.ReleaseAndGetVoid());
    return out;
}

// Polls (processing Qt events) until the condition holds or the time is up.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::vector<std::string> FilterNames(IFilterGraph* graph)
{
    std::vector<std::string> names;
    ComPtr<IEnumFilters> e;
    graph->EnumFilters(e.GetAddressOf());
    IBaseFilter* f = nullptr;
    while (e->Next(1, &f, nullptr) == S_OK) {
        FILTER_INFO info;
        f->QueryFilterInfo(&info);
        names.push_back(info.achName);
        f->Release();
    }
    return names;
}

} // namespace dshowtest
