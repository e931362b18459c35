// The capture graph builder: renders a capture device's preview or capture
// stream into a sink, and finds device interfaces on and around a filter.

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"

#include <functional>
#include <set>

namespace {

bool PinHasMajorType(IPin* pin, const GUID* type)
{
    if (!type || *type == GUID_NULL)
        return true;
    AM_MEDIA_TYPE connected;
    if (pin->ConnectionMediaType(&connected) == S_OK)
        return connected.majortype == *type;
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(pin->EnumMediaTypes(types.GetAddressOf())) || !types)
        return false;
    AM_MEDIA_TYPE t;
    while (types->Next(1, &t, nullptr) == S_OK)
        if (t.majortype == *type)
            return true;
    return false;
}

bool IsConnected(IPin* pin)
{
    ComPtr<IPin> peer;
    return pin->ConnectedTo(peer.GetAddressOf()) == S_OK;
}

bool IsSmartTee(IBaseFilter* filter)
{
    CLSID clsid = GUID_NULL;
    return filter && SUCCEEDED(filter->GetClassID(&clsid)) && clsid == CLSID_SmartTee;
}

class CaptureGraphBuilder final : public ComObject<ICaptureGraphBuilder2> {
public:
    HRESULT SetFiltergraph(IGraphBuilder* graph) override
    {
        if (!graph)
            return E_POINTER;
        if (m_graph)
            return E_UNEXPECTED;
        m_graph = graph;
        return S_OK;
    }

    HRESULT GetFiltergraph(IGraphBuilder** graph) override
    {
        if (!graph)
            return E_POINTER;
        *graph = ComPtr(m_graph).Detach();
        return *graph ? S_OK : E_UNEXPECTED;
    }

    HRESULT FindPin(IUnknown* source, PIN_DIRECTION dir, const GUID* category, const GUID* type, BOOL unconnected,
                    int index, IPin** pin) override
    {
        if (!source || !pin)
            return E_POINTER;
        *pin = nullptr;
        if (auto asPin = QueryInterfacePtr<IPin>(source)) {
            if (index != 0 || PinDirection(asPin.Get()) != dir)
                return E_FAIL;
            *pin = asPin.Detach();
            return S_OK;
        }
        auto filter = QueryInterfacePtr<IBaseFilter>(source);
        if (!filter)
            return E_NOINTERFACE;
        int found = 0;
        for (auto& p : FilterPins(filter.Get())) {
            if (PinDirection(p.Get()) != dir)
                continue;
            if (category && !(*category == GUID_NULL) && !(PinCategory(p.Get()) == *category))
                continue;
            if (unconnected && IsConnected(p.Get()))
                continue;
            if (!PinHasMajorType(p.Get(), type))
                continue;
            if (found++ == index) {
                *pin = p.Detach();
                return S_OK;
            }
        }
        return E_FAIL;
    }

    HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid, void** ppv) override
    {
        if (!filter || !ppv)
            return E_POINTER;
        *ppv = nullptr;
        const bool upstreamOnly = category && *category == LOOK_UPSTREAM_ONLY;
        const bool downstreamOnly = category && *category == LOOK_DOWNSTREAM_ONLY;
        const GUID* pinCategory = upstreamOnly || downstreamOnly ? nullptr : category;

        if (!upstreamOnly && !downstreamOnly) {
            if (SUCCEEDED(filter->QueryInterface(riid, ppv)))
                return S_OK;
            // The pin of the category (a stream's format lives there).
            ComPtr<IPin> pin;
            if (pinCategory && SUCCEEDED(FindPin(filter, PINDIR_OUTPUT, pinCategory, type, FALSE, 0, pin.GetAddressOf())) &&
                SUCCEEDED(pin->QueryInterface(riid, ppv)))
                return S_OK;
        }
        std::set<IBaseFilter*> seen{filter};
        if (!downstreamOnly && SearchNeighbours(filter, PINDIR_INPUT, riid, ppv, seen))
            return S_OK;
        if (!upstreamOnly && SearchNeighbours(filter, PINDIR_OUTPUT, riid, ppv, seen))
            return S_OK;
        return E_NOINTERFACE;
    }

    HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source, IBaseFilter* intermediate,
                         IBaseFilter* sink) override
    {
        if (!m_graph)
            return E_UNEXPECTED;
        if (!source)
            return E_POINTER;
        HRESULT result = S_OK;
        ComPtr<IPin> out;
        if (auto asPin = QueryInterfacePtr<IPin>(source)) {
            out = asPin;
        } else {
            auto filter = QueryInterfacePtr<IBaseFilter>(source);
            if (!filter)
                return E_NOINTERFACE;
            const HRESULT hr = SourcePin(filter.Get(), category, type, out, result);
            if (FAILED(hr))
                return hr;
        }
        if (IsConnected(out.Get()))
            return VFW_E_ALREADY_CONNECTED;

        if (intermediate) {
            ComPtr<IPin> in;
            if (FAILED(FindPin(intermediate, PINDIR_INPUT, nullptr, nullptr, TRUE, 0, in.GetAddressOf())))
                return VFW_E_CANNOT_CONNECT;
            const HRESULT hr = m_graph->Connect(out.Get(), in.Get());
            if (FAILED(hr))
                return hr;
            if (FAILED(FindPin(intermediate, PINDIR_OUTPUT, nullptr, nullptr, TRUE, 0, out.GetAddressOf())))
                return sink ? VFW_E_CANNOT_CONNECT : result;
        }

        if (!sink) {
            const HRESULT hr = m_graph->Render(out.Get());
            return FAILED(hr) ? hr : result;
        }
        ComPtr<IPin> in;
        if (FAILED(FindPin(sink, PINDIR_INPUT, nullptr, nullptr, TRUE, 0, in.GetAddressOf())))
            return VFW_E_CANNOT_CONNECT;
        const HRESULT hr = m_graph->Connect(out.Get(), in.Get());
        return FAILED(hr) ? hr : result;
    }

private:
    // The output pin of a source filter for the category. A source with a
    // capture pin but no preview pin is split by a smart tee, which then
    // serves both categories (whichever is rendered first inserts it).
    HRESULT SourcePin(IBaseFilter* filter, const GUID* category, const GUID* type, ComPtr<IPin>& out, HRESULT& result)
    {
        if (!category || *category == GUID_NULL)
            return FindPin(filter, PINDIR_OUTPUT, nullptr, type, TRUE, 0, out.GetAddressOf());
        const bool preview = *category == PIN_CATEGORY_PREVIEW;
        const bool capture = *category == PIN_CATEGORY_CAPTURE;
        ComPtr<IPin> previewPin;
        const bool hasPreview = SUCCEEDED(FindPin(filter, PINDIR_OUTPUT, &PIN_CATEGORY_PREVIEW, type, FALSE, 0, previewPin.GetAddressOf()));
        if ((!preview && !capture) || (preview && hasPreview) || (capture && hasPreview))
            return FindPin(filter, PINDIR_OUTPUT, category, type, FALSE, 0, out.GetAddressOf());

        ComPtr<IPin> capturePin;
        if (FAILED(FindPin(filter, PINDIR_OUTPUT, &PIN_CATEGORY_CAPTURE, type, FALSE, 0, capturePin.GetAddressOf())))
            return E_FAIL;
        ComPtr<IBaseFilter> tee;
        ComPtr<IPin> peer;
        if (capturePin->ConnectedTo(peer.GetAddressOf()) == S_OK) {
            tee = PinFilter(peer.Get());
            if (!IsSmartTee(tee.Get()))
                return VFW_E_ALREADY_CONNECTED;
        } else {
            HRESULT hr = CreateSmartTee(IBaseFilter::iid, tee.ReleaseAndGetVoid());
            if (FAILED(hr))
                return hr;
            hr = m_graph->AddFilter(tee.Get(), kSmartTeeName);
            if (FAILED(hr))
                return hr;
            ComPtr<IPin> teeIn;
            FindPin(tee.Get(), PINDIR_INPUT, nullptr, nullptr, TRUE, 0, teeIn.GetAddressOf());
            hr = teeIn ? m_graph->ConnectDirect(capturePin.Get(), teeIn.Get(), nullptr) : E_FAIL;
            if (FAILED(hr)) {
                m_graph->RemoveFilter(tee.Get());
                return hr;
            }
        }
        if (preview)
            result = VFW_S_NOPREVIEWPIN;
        return FindPin(tee.Get(), PINDIR_OUTPUT, category, nullptr, FALSE, 0, out.GetAddressOf());
    }

    // Breadth-first over the filters connected through pins of `dir`.
    bool SearchNeighbours(IBaseFilter* start, PIN_DIRECTION dir, REFIID riid, void** ppv, std::set<IBaseFilter*>& seen)
    {
        std::vector<ComPtr<IBaseFilter>> frontier{ComPtr<IBaseFilter>(start)};
        while (!frontier.empty()) {
            std::vector<ComPtr<IBaseFilter>> next;
            for (auto& f : frontier) {
                for (auto& pin : FilterPins(f.Get())) {
                    if (PinDirection(pin.Get()) != dir)
                        continue;
                    ComPtr<IPin> peer;
                    if (pin->ConnectedTo(peer.GetAddressOf()) != S_OK)
                        continue;
                    auto neighbour = PinFilter(peer.Get());
                    if (!neighbour || !seen.insert(neighbour.Get()).second)
                        continue;
                    if (SUCCEEDED(neighbour->QueryInterface(riid, ppv)))
                        return true;
                    next.push_back(neighbour);
                }
            }
            frontier = std::move(next);
        }
        return false;
    }

    ComPtr<IGraphBuilder> m_graph;
};

} // namespace

HRESULT CreateCaptureGraphBuilder(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    auto builder = ComPtr<CaptureGraphBuilder>::Adopt(NewComObject<CaptureGraphBuilder>());
    return builder->QueryInterface(riid, ppv);
}
