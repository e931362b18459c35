// The filter graph manager: the filters of one graph, their connections
// (direct, or through a converter the graph picks), running and stopping
// them in dependency order, and the event queue that filters fill from
// their streaming threads and the user-interface thread drains.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"
#include "platform/dshow/WindowMessage.h"

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <set>
#include <unistd.h>

namespace {

// ---- a moniker naming one of our intermediate filter classes ------------------------

class FilterClassPropertyBag final : public ComObject<IPropertyBag> {
public:
    FilterClassPropertyBag(CLSID clsid, std::string name) : m_clsid(clsid), m_name(std::move(name)) {}
    HRESULT Read(const char* name, VARIANT* value, IErrorLog*) override
    {
        if (!name || !value)
            return E_POINTER;
        if (std::string_view(name) == "FriendlyName") {
            value->vt = VT_BSTR;
            value->bstrVal = m_name;
            return S_OK;
        }
        if (std::string_view(name) == "CLSID") {
            value->vt = VT_BSTR;
            value->bstrVal = GuidToString(m_clsid);
            return S_OK;
        }
        return E_INVALIDARG;
    }
    HRESULT Write(const char*, const VARIANT*) override { return E_ACCESSDENIED; }

private:
    CLSID m_clsid;
    std::string m_name;
};

class FilterClassMoniker final : public ComObject<IMoniker> {
public:
    FilterClassMoniker(CLSID clsid, std::string name) : m_clsid(clsid), m_name(std::move(name)) {}
    HRESULT GetClassID(CLSID* clsid) override
    {
        if (!clsid) return E_POINTER;
        *clsid = GUID_NULL;
        return S_OK;
    }
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(IStream*) override { return E_NOTIMPL; }
    HRESULT Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override
    {
        return CoCreateInstance(m_clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
    }
    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IPropertyBag::iid)) return E_NOINTERFACE;
        *ppv = static_cast<IPropertyBag*>(NewComObject<FilterClassPropertyBag>(m_clsid, m_name));
        return S_OK;
    }
    HRESULT GetDisplayName(IBindCtx*, IMoniker*, std::string* name) override
    {
        if (!name) return E_POINTER;
        *name = "@device:sw:" + GuidToString(m_clsid);
        return S_OK;
    }

private:
    CLSID m_clsid;
    std::string m_name;
};

struct GraphEvent {
    long code;
    LONG_PTR param1;
    LONG_PTR param2;
};

struct FilterEntry {
    ComPtr<IBaseFilter> filter;
    std::string name;
};

class FilterGraphManager final
    : public ComObject<IFilterGraph2, IMediaControl, IMediaEventEx, IMediaEventSink, IObjectWithSite, IMediaFilter, IServiceProvider> {
public:
    ~FilterGraphManager() override
    {
        // Detach first: a streaming thread that is reporting an event right
        // now finishes before we go, and none starts after.
        for (auto& e : m_filters)
            e.filter->JoinFilterGraph(nullptr, nullptr);
        StopAll();
        // Connected pins hold each other's filters: break every connection
        // so the filters can go.
        for (auto& e : m_filters)
            for (auto& pin : FilterPins(e.filter.Get()))
                pin->Disconnect();
    }

    // IBasicAudio belongs to an audio renderer; the graph answers it only
    // when it holds one, with that filter's interface.
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IBasicAudio::iid && ppv) {
            for (auto& e : m_filters)
                if (SUCCEEDED(e.filter->QueryInterface(riid, ppv)))
                    return S_OK;
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(riid, ppv);
    }

    // ---- IFilterGraph ----
    HRESULT AddFilter(IBaseFilter* filter, const char* name) override
    {
        if (!filter)
            return E_POINTER;
        if (Find(filter) != m_filters.end())
            return VFW_E_DUPLICATE_NAME_OR_PRESENT();
        std::string wanted = name && *name ? name : "Filter";
        std::string unique = wanted;
        HRESULT result = S_OK;
        for (int n = 1; NameTaken(unique); ++n) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, " %04d", n);
            unique = wanted + suffix;
            result = VFW_S_DUPLICATE_NAME;
        }
        const HRESULT hr = filter->JoinFilterGraph(this, unique.c_str());
        if (FAILED(hr))
            return hr;
        m_filters.push_back({filter, unique});
        Log("AddFilter \"%s\"", unique.c_str());
        return result;
    }

    HRESULT RemoveFilter(IBaseFilter* filter) override
    {
        auto it = Find(filter);
        if (it == m_filters.end())
            return VFW_E_NOT_FOUND;
        ComPtr<IBaseFilter> keep = it->filter;
        keep->Stop();
        for (auto& pin : FilterPins(keep.Get())) {
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.GetAddressOf()) == S_OK)
                peer->Disconnect();
            pin->Disconnect();
        }
        Log("RemoveFilter \"%s\"", it->name.c_str());
        m_filters.erase(it);
        keep->JoinFilterGraph(nullptr, nullptr);
        return S_OK;
    }

    HRESULT EnumFilters(IEnumFilters** filters) override
    {
        std::vector<ComPtr<IBaseFilter>> list;
        for (auto& e : m_filters)
            list.push_back(e.filter);
        return CreateFilterEnumerator(std::move(list), filters);
    }

    HRESULT FindFilterByName(const char* name, IBaseFilter** filter) override
    {
        if (!name || !filter)
            return E_POINTER;
        *filter = nullptr;
        for (auto& e : m_filters) {
            if (e.name == name) {
                *filter = ComPtr(e.filter).Detach();
                return S_OK;
            }
        }
        return VFW_E_NOT_FOUND;
    }

    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) override
    {
        if (!out || !in)
            return E_POINTER;
        if (Find(PinFilter(out).Get()) == m_filters.end() || Find(PinFilter(in).Get()) == m_filters.end())
            return VFW_E_NOT_IN_GRAPH;
        if (m_state != State_Stopped)
            return VFW_E_NOT_STOPPED;
        const HRESULT hr = out->Connect(in, type);
        Log("ConnectDirect %s -> %s: 0x%08X", PinText(out).c_str(), PinText(in).c_str(), static_cast<unsigned>(hr));
        return hr;
    }

    HRESULT Disconnect(IPin* pin) override
    {
        if (!pin)
            return E_POINTER;
        return pin->Disconnect();
    }

    // ---- IGraphBuilder ----
    HRESULT Connect(IPin* out, IPin* in) override
    {
        HRESULT hr = ConnectWithConverter(out, in);
        if (FAILED(hr) && IsFormatFailure(hr)) {
            // The site may fix things (add a filter, change a format) and
            // ask for one more try.
            if (auto callback = Site<IAMFilterGraphCallback>(); callback && callback->UnableToRender(out) == S_OK)
                hr = ConnectWithConverter(out, in);
        }
        return hr;
    }

    HRESULT Render(IPin* out) override
    {
        if (!out)
            return E_POINTER;
        ComPtr<IBaseFilter> renderer;
        HRESULT hr = CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IBaseFilter::iid,
                                      renderer.ReleaseAndGetVoid());
        if (FAILED(hr))
            return VFW_E_CANNOT_RENDER;
        AddFilter(renderer.Get(), "Video Renderer");
        auto pins = FilterPins(renderer.Get());
        hr = pins.empty() ? VFW_E_CANNOT_RENDER : Connect(out, pins[0].Get());
        if (FAILED(hr)) {
            RemoveFilter(renderer.Get());
            return IsFormatFailure(hr) ? VFW_E_CANNOT_RENDER : hr;
        }
        return S_OK;
    }

    HRESULT SetLogFile(intptr_t file) override
    {
        std::lock_guard lock(m_logLock);
        m_logFile = static_cast<int>(file);
        return S_OK;
    }

    // ---- IFilterGraph2 ----
    HRESULT AddSourceFilterForMoniker(IMoniker* moniker, IBindCtx* ctx, const char* name, IBaseFilter** filter) override
    {
        if (!moniker || !filter)
            return E_POINTER;
        *filter = nullptr;
        ComPtr<IBaseFilter> f;
        HRESULT hr = moniker->BindToObject(ctx, nullptr, IBaseFilter::iid, f.ReleaseAndGetVoid());
        if (FAILED(hr))
            return hr;
        hr = AddFilter(f.Get(), name);
        if (FAILED(hr))
            return hr;
        *filter = f.Detach();
        return hr;
    }

    // ---- IMediaControl / IMediaFilter ----
    HRESULT Run() override
    {
        if (m_state == State_Running)
            return S_OK;
        const auto order = DownstreamFirst();
        if (m_state == State_Stopped) {
            for (auto& f : order) {
                const HRESULT hr = f->Pause();
                if (FAILED(hr)) {
                    Log("Run: pause failed 0x%08X", static_cast<unsigned>(hr));
                    StopAll();
                    return hr;
                }
            }
        }
        const REFERENCE_TIME start = ReferenceTimeNow();
        for (auto& f : order) {
            const HRESULT hr = f->Run(start);
            if (FAILED(hr)) {
                Log("Run: run failed 0x%08X", static_cast<unsigned>(hr));
                StopAll();
                return hr;
            }
        }
        m_state = State_Running;
        Log("Run");
        return S_OK;
    }
    HRESULT Run(REFERENCE_TIME) override { return Run(); }

    HRESULT Pause() override
    {
        for (auto& f : DownstreamFirst()) {
            const HRESULT hr = f->Pause();
            if (FAILED(hr)) {
                StopAll();
                return hr;
            }
        }
        m_state = State_Paused;
        return S_OK;
    }

    HRESULT Stop() override
    {
        StopAll();
        Log("Stop");
        return S_OK;
    }

    HRESULT GetState(long, OAFilterState* state) override
    {
        if (!state)
            return E_POINTER;
        *state = m_state;
        return S_OK;
    }
    HRESULT GetState(DWORD, FILTER_STATE* state) override
    {
        if (!state)
            return E_POINTER;
        *state = m_state;
        return S_OK;
    }
    HRESULT GetClassID(CLSID* clsid) override
    {
        if (!clsid) return E_POINTER;
        *clsid = CLSID_FilterGraph;
        return S_OK;
    }

    // ---- events ----
    HRESULT Notify(long code, LONG_PTR param1, LONG_PTR param2) override
    {
        std::lock_guard lock(m_eventLock);
        m_events.push_back({code, param1, param2});
        m_eventArrived.notify_all();
        if (m_notifyWindow && m_notifyFlags == 0)
            PostWindowMessage(reinterpret_cast<QObject*>(m_notifyWindow), m_notifyMessage, 0, m_notifyInstance);
        return S_OK;
    }

    HRESULT GetEvent(long* code, LONG_PTR* param1, LONG_PTR* param2, long msTimeout) override
    {
        if (!code || !param1 || !param2)
            return E_POINTER;
        std::unique_lock lock(m_eventLock);
        if (m_events.empty() && msTimeout != 0) {
            auto ready = [&] { return !m_events.empty(); };
            if (msTimeout < 0)
                m_eventArrived.wait(lock, ready);
            else
                m_eventArrived.wait_for(lock, std::chrono::milliseconds(msTimeout), ready);
        }
        if (m_events.empty()) {
            *code = 0;
            *param1 = *param2 = 0;
            return E_ABORT;
        }
        const GraphEvent e = m_events.front();
        m_events.pop_front();
        *code = e.code;
        *param1 = e.param1;
        *param2 = e.param2;
        return S_OK;
    }
    HRESULT FreeEventParams(long, LONG_PTR, LONG_PTR) override { return S_OK; }

    HRESULT SetNotifyWindow(OAHWND window, long message, LONG_PTR instance) override
    {
        std::lock_guard lock(m_eventLock);
        m_notifyWindow = window;
        m_notifyMessage = message;
        m_notifyInstance = instance;
        // Events queued before a window was named still get their message.
        if (m_notifyWindow && m_notifyFlags == 0)
            for (size_t i = 0; i < m_events.size(); ++i)
                PostWindowMessage(reinterpret_cast<QObject*>(m_notifyWindow), m_notifyMessage, 0, m_notifyInstance);
        return S_OK;
    }
    HRESULT SetNotifyFlags(long flags) override
    {
        if (flags != 0 && flags != 1)
            return E_INVALIDARG;
        std::lock_guard lock(m_eventLock);
        m_notifyFlags = flags;
        return S_OK;
    }
    HRESULT GetNotifyFlags(long* flags) override
    {
        if (!flags)
            return E_POINTER;
        std::lock_guard lock(m_eventLock);
        *flags = m_notifyFlags;
        return S_OK;
    }

    // ---- IObjectWithSite ----
    HRESULT SetSite(IUnknown* site) override
    {
        m_site = site;
        return S_OK;
    }
    HRESULT GetSite(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!m_site)
            return E_FAIL;
        return m_site->QueryInterface(riid, ppv);
    }

    // Services come from the site (the graph's owner).
    HRESULT QueryService(REFGUID service, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        auto provider = Site<IServiceProvider>();
        return provider ? provider->QueryService(service, riid, ppv) : E_NOINTERFACE;
    }

private:
    static HRESULT VFW_E_DUPLICATE_NAME_OR_PRESENT() { return E_INVALIDARG; }

    static bool IsFormatFailure(HRESULT hr)
    {
        return hr == VFW_E_NO_ACCEPTABLE_TYPES || hr == VFW_E_TYPE_NOT_ACCEPTED || hr == VFW_E_CANNOT_CONNECT ||
               hr == VFW_E_INVALIDMEDIATYPE;
    }

    template <class T>
    ComPtr<T> Site() const
    {
        return m_site ? QueryInterfacePtr<T>(m_site.Get()) : ComPtr<T>();
    }

    std::vector<FilterEntry>::iterator Find(IBaseFilter* filter)
    {
        return std::find_if(m_filters.begin(), m_filters.end(), [filter](const FilterEntry& e) { return e.filter.Get() == filter; });
    }
    bool NameTaken(const std::string& name) const
    {
        return std::any_of(m_filters.begin(), m_filters.end(), [&](const FilterEntry& e) { return e.name == name; });
    }

    std::string PinText(IPin* pin)
    {
        PIN_INFO info;
        pin->QueryPinInfo(&info);
        FILTER_INFO fi;
        if (info.pFilter)
            info.pFilter->QueryFilterInfo(&fi);
        return fi.achName + "." + info.achName;
    }

    // Direct connection first; when the pins agree on no type, a colour
    // space converter between them.
    HRESULT ConnectWithConverter(IPin* out, IPin* in)
    {
        HRESULT hr = ConnectDirect(out, in, nullptr);
        if (SUCCEEDED(hr) || !IsFormatFailure(hr))
            return hr;

        ComPtr<IMoniker> moniker = ComPtr<IMoniker>::Adopt(NewComObject<FilterClassMoniker>(CLSID_Colour, kColourConverterName));
        auto builderCallback = Site<IAMGraphBuilderCallback>();
        if (builderCallback && FAILED(builderCallback->SelectedFilter(moniker.Get())))
            return VFW_E_CANNOT_CONNECT;
        ComPtr<IBaseFilter> converter;
        if (FAILED(moniker->BindToObject(nullptr, nullptr, IBaseFilter::iid, converter.ReleaseAndGetVoid())) || !converter)
            return VFW_E_CANNOT_CONNECT;
        if (builderCallback && FAILED(builderCallback->CreatedFilter(converter.Get())))
            return VFW_E_CANNOT_CONNECT;
        if (FAILED(AddFilter(converter.Get(), kColourConverterName)))
            return VFW_E_CANNOT_CONNECT;
        auto pins = FilterPins(converter.Get());
        IPin* convIn = nullptr;
        IPin* convOut = nullptr;
        for (auto& p : pins)
            (PinDirection(p.Get()) == PINDIR_INPUT ? convIn : convOut) = p.Get();
        hr = convIn && convOut ? ConnectDirect(out, convIn, nullptr) : VFW_E_CANNOT_CONNECT;
        if (SUCCEEDED(hr)) {
            hr = ConnectDirect(convOut, in, nullptr);
            if (FAILED(hr)) {
                out->Disconnect();
                convIn->Disconnect();
            }
        }
        if (FAILED(hr)) {
            RemoveFilter(converter.Get());
            return VFW_E_CANNOT_CONNECT;
        }
        return S_OK;
    }

    // Filters ordered so that every filter comes after the filters feeding it.
    std::vector<ComPtr<IBaseFilter>> UpstreamFirst()
    {
        std::vector<ComPtr<IBaseFilter>> order;
        std::set<IBaseFilter*> seen;
        std::function<void(IBaseFilter*)> visit = [&](IBaseFilter* f) {
            if (!seen.insert(f).second)
                return;
            for (auto& pin : FilterPins(f)) {
                if (PinDirection(pin.Get()) != PINDIR_INPUT)
                    continue;
                ComPtr<IPin> peer;
                if (pin->ConnectedTo(peer.GetAddressOf()) == S_OK) {
                    auto up = PinFilter(peer.Get());
                    if (up && Find(up.Get()) != m_filters.end())
                        visit(up.Get());
                }
            }
            order.emplace_back(f);
        };
        for (auto& e : m_filters)
            visit(e.filter.Get());
        return order;
    }
    std::vector<ComPtr<IBaseFilter>> DownstreamFirst()
    {
        auto order = UpstreamFirst();
        std::reverse(order.begin(), order.end());
        return order;
    }

    // Sources first, so their threads end before the filters they feed stop.
    void StopAll()
    {
        for (auto& f : UpstreamFirst())
            f->Stop();
        m_state = State_Stopped;
    }

    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        std::lock_guard lock(m_logLock);
        if (m_logFile < 0)
            return;
        char line[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        dprintf(m_logFile, "%lld %s\n", static_cast<long long>(ReferenceTimeNow() / 10000), line);
    }

    std::vector<FilterEntry> m_filters;
    FILTER_STATE m_state = State_Stopped;
    ComPtr<IUnknown> m_site;

    std::mutex m_eventLock;
    std::condition_variable m_eventArrived;
    std::deque<GraphEvent> m_events;
    OAHWND m_notifyWindow = 0;
    long m_notifyMessage = 0;
    LONG_PTR m_notifyInstance = 0;
    long m_notifyFlags = 0;

    std::mutex m_logLock;
    int m_logFile = -1;
};

} // namespace

HRESULT CreateFilterGraphManager(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    ComPtr<FilterGraphManager> graph = ComPtr<FilterGraphManager>::Adopt(NewComObject<FilterGraphManager>());
    return graph->QueryInterface(riid, ppv);
}
