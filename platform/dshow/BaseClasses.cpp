#include "platform/dshow/BaseClasses.h"

#include <algorithm>
#include <cstring>

// ---- samples ----------------------------------------------------------------------------

ComPtr<MediaSample> MediaSample::Create(size_t size)
{
    return ComPtr<MediaSample>::Adopt(NewComObject<MediaSample>(size));
}

HRESULT MediaSample::GetPointer(BYTE** buffer)
{
    if (!buffer)
        return E_POINTER;
    *buffer = m_data.get();
    return S_OK;
}

HRESULT MediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end)
{
    if (!m_hasTime)
        return VFW_E_WRONG_STATE; // the platform's "sample has no time stamps"
    if (start) *start = m_start;
    if (end) *end = m_end;
    return S_OK;
}

HRESULT MediaSample::SetTime(const REFERENCE_TIME* start, const REFERENCE_TIME* end)
{
    m_hasTime = start != nullptr;
    m_start = start ? *start : 0;
    m_end = end ? *end : m_start;
    return S_OK;
}

HRESULT MediaSample::SetActualDataLength(long length)
{
    if (length < 0 || static_cast<size_t>(length) > m_size)
        return E_INVALIDARG;
    m_length = length;
    return S_OK;
}

HRESULT MediaSample::GetMediaType(AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    if (!m_hasType)
        return S_FALSE;
    *type = m_type;
    return S_OK;
}

// ---- type helpers --------------------------------------------------------------------

bool IsCompleteType(const AM_MEDIA_TYPE& type)
{
    return !(type.majortype == GUID_NULL) && !(type.subtype == GUID_NULL) && !(type.formattype == GUID_NULL);
}

bool TypeMatches(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE& pattern)
{
    if (!(pattern.majortype == GUID_NULL) && !(pattern.majortype == type.majortype))
        return false;
    if (!(pattern.subtype == GUID_NULL) && !(pattern.subtype == type.subtype))
        return false;
    if (!(pattern.formattype == GUID_NULL)) {
        if (!(pattern.formattype == type.formattype))
            return false;
        if (pattern.formattype == FORMAT_VideoInfo) {
            if (pattern.video.biWidth && pattern.video.biWidth != type.video.biWidth) return false;
            if (pattern.video.biHeight && pattern.video.biHeight != type.video.biHeight) return false;
            if (pattern.video.AvgTimePerFrame && pattern.video.AvgTimePerFrame != type.video.AvgTimePerFrame) return false;
        }
    }
    return true;
}

std::vector<ComPtr<IPin>> FilterPins(IBaseFilter* filter)
{
    std::vector<ComPtr<IPin>> out;
    if (!filter)
        return out;
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.GetAddressOf())) || !pins)
        return out;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK)
        out.push_back(ComPtr<IPin>::Adopt(pin));
    return out;
}

PIN_DIRECTION PinDirection(IPin* pin)
{
    PIN_DIRECTION dir = PINDIR_INPUT;
    if (pin)
        pin->QueryDirection(&dir);
    return dir;
}

GUID PinCategory(IPin* pin)
{
    GUID category = GUID_NULL;
    if (auto props = QueryInterfacePtr<IKsPropertySet>(pin)) {
        DWORD returned = 0;
        if (FAILED(props->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof(GUID), &returned)))
            category = GUID_NULL;
    }
    return category;
}

ComPtr<IBaseFilter> PinFilter(IPin* pin)
{
    PIN_INFO info;
    if (pin)
        pin->QueryPinInfo(&info);
    return info.pFilter;
}

// ---- enumerators ---------------------------------------------------------------------

namespace {

// An enumerator over a snapshot of counted references (pins or filters).
template <class Enum, class Item>
class ListEnumerator final : public ComObject<Enum> {
public:
    explicit ListEnumerator(std::vector<ComPtr<Item>> items) : m_items(std::move(items)) {}
    HRESULT Next(ULONG count, Item** out, ULONG* fetched) override
    {
        if (!out) return E_POINTER;
        ULONG n = 0;
        while (n < count && m_pos < m_items.size())
            out[n++] = ComPtr(m_items[m_pos++]).Detach();
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override
    {
        m_pos = std::min(m_items.size(), m_pos + count);
        return m_pos < m_items.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override { m_pos = 0; return S_OK; }

private:
    std::vector<ComPtr<Item>> m_items;
    size_t m_pos = 0;
};

using PinEnumerator = ListEnumerator<IEnumPins, IPin>;
using FilterEnumerator = ListEnumerator<IEnumFilters, IBaseFilter>;

class MediaTypeEnumerator final : public ComObject<IEnumMediaTypes> {
public:
    explicit MediaTypeEnumerator(std::vector<AM_MEDIA_TYPE> items) : m_items(std::move(items)) {}
    HRESULT Next(ULONG count, AM_MEDIA_TYPE* types, ULONG* fetched) override
    {
        if (!types) return E_POINTER;
        ULONG n = 0;
        while (n < count && m_pos < m_items.size())
            types[n++] = m_items[m_pos++];
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override
    {
        m_pos = std::min(m_items.size(), m_pos + count);
        return m_pos < m_items.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override { m_pos = 0; return S_OK; }

private:
    std::vector<AM_MEDIA_TYPE> m_items;
    size_t m_pos = 0;
};

} // namespace

HRESULT CreatePinEnumerator(std::vector<ComPtr<IPin>> pins, IEnumPins** out)
{
    if (!out) return E_POINTER;
    *out = NewComObject<PinEnumerator>(std::move(pins));
    return S_OK;
}

HRESULT CreateMediaTypeEnumerator(std::vector<AM_MEDIA_TYPE> types, IEnumMediaTypes** out)
{
    if (!out) return E_POINTER;
    *out = NewComObject<MediaTypeEnumerator>(std::move(types));
    return S_OK;
}

HRESULT CreateFilterEnumerator(std::vector<ComPtr<IBaseFilter>> filters, IEnumFilters** out)
{
    if (!out) return E_POINTER;
    *out = NewComObject<FilterEnumerator>(std::move(filters));
    return S_OK;
}

// ---- pins ------------------------------------------------------------------------------

PinBase::PinBase(FilterCore& filter, std::string name, PIN_DIRECTION dir, const GUID& category)
    : m_filter(filter), m_name(std::move(name)), m_dir(dir), m_category(category)
{
}

PinBase::~PinBase() = default;

HRESULT PinBase::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IUnknown::iid || riid == IPin::iid)
        *ppv = static_cast<IPin*>(this);
    else if (riid == IKsPropertySet::iid)
        *ppv = static_cast<IKsPropertySet*>(this);
    else
        *ppv = QueryPinInterface(riid);
    if (!*ppv)
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG PinBase::AddRef() { return m_filter.Self()->AddRef(); }
ULONG PinBase::Release() { return m_filter.Self()->Release(); }

bool PinBase::IsConnected() const
{
    std::lock_guard lock(m_lock);
    return static_cast<bool>(m_peer);
}

ComPtr<IPin> PinBase::Peer() const
{
    std::lock_guard lock(m_lock);
    return m_peer;
}

AM_MEDIA_TYPE PinBase::ConnectionType() const
{
    std::lock_guard lock(m_lock);
    return m_type;
}

void PinBase::SetConnection(IPin* peer, const AM_MEDIA_TYPE& type)
{
    std::lock_guard lock(m_lock);
    m_peer = peer;
    m_type = type;
}

void PinBase::ClearConnection()
{
    std::lock_guard lock(m_lock);
    m_peer = nullptr;
    m_type = AM_MEDIA_TYPE{};
}

HRESULT PinBase::Disconnect()
{
    // Allowed in any state: a sender copies its peer under the pin's lock,
    // so a sample in flight finishes and the next one finds no peer.
    if (!IsConnected())
        return S_FALSE;
    ClearConnection();
    BreakConnect();
    return S_OK;
}

HRESULT PinBase::ConnectedTo(IPin** pin)
{
    if (!pin)
        return E_POINTER;
    ComPtr<IPin> peer = Peer();
    *pin = peer.Detach();
    return *pin ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT PinBase::ConnectionMediaType(AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    std::lock_guard lock(m_lock);
    if (!m_peer) {
        *type = AM_MEDIA_TYPE{};
        return VFW_E_NOT_CONNECTED;
    }
    *type = m_type;
    return S_OK;
}

HRESULT PinBase::QueryPinInfo(PIN_INFO* info)
{
    if (!info)
        return E_POINTER;
    info->pFilter = m_filter.Self();
    info->dir = m_dir;
    info->achName = m_name;
    return S_OK;
}

HRESULT PinBase::QueryDirection(PIN_DIRECTION* dir)
{
    if (!dir)
        return E_POINTER;
    *dir = m_dir;
    return S_OK;
}

HRESULT PinBase::QueryId(std::string* id)
{
    if (!id)
        return E_POINTER;
    *id = m_name;
    return S_OK;
}

HRESULT PinBase::QueryAccept(const AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    return CheckMediaType(*type) == S_OK ? S_OK : S_FALSE;
}

HRESULT PinBase::GetMediaType(int, AM_MEDIA_TYPE*)
{
    return S_FALSE;
}

HRESULT PinBase::EnumMediaTypes(IEnumMediaTypes** types)
{
    std::vector<AM_MEDIA_TYPE> list;
    for (int i = 0; i < 256; ++i) {
        AM_MEDIA_TYPE type;
        if (GetMediaType(i, &type) != S_OK)
            break;
        list.push_back(type);
    }
    return CreateMediaTypeEnumerator(std::move(list), types);
}

HRESULT PinBase::CompleteConnect(IPin*)
{
    return S_OK;
}

HRESULT PinBase::Get(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD dataLength, DWORD* returned)
{
    if (!(set == AMPROPSETID_Pin))
        return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY || m_category == GUID_NULL)
        return E_PROP_ID_UNSUPPORTED;
    if (!data)
        return E_POINTER;
    if (dataLength < sizeof(GUID))
        return E_INVALIDARG;
    std::memcpy(data, &m_category, sizeof(GUID));
    if (returned)
        *returned = sizeof(GUID);
    return S_OK;
}

HRESULT PinBase::Set(REFGUID, DWORD, void*, DWORD, void*, DWORD)
{
    return E_PROP_ID_UNSUPPORTED;
}

HRESULT PinBase::QuerySupported(REFGUID set, DWORD id, DWORD* support)
{
    if (!(set == AMPROPSETID_Pin))
        return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY || m_category == GUID_NULL)
        return E_PROP_ID_UNSUPPORTED;
    if (support)
        *support = 1; // KSPROPERTY_SUPPORT_GET
    return S_OK;
}

// ---- input pins ----------------------------------------------------------------------

InputPin::InputPin(FilterCore& filter, std::string name) : PinBase(filter, std::move(name), PINDIR_INPUT) {}

HRESULT InputPin::Connect(IPin*, const AM_MEDIA_TYPE*)
{
    return VFW_E_INVALID_DIRECTION;
}

HRESULT InputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type)
{
    if (!connector || !type)
        return E_POINTER;
    if (IsConnected())
        return VFW_E_ALREADY_CONNECTED;
    if (m_filter.State() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (PinDirection(connector) != PINDIR_OUTPUT)
        return VFW_E_INVALID_DIRECTION;
    if (!IsCompleteType(*type) || CheckMediaType(*type) != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    SetConnection(connector, *type);
    const HRESULT hr = CompleteConnect(connector);
    if (FAILED(hr)) {
        ClearConnection();
        BreakConnect();
        return hr;
    }
    return S_OK;
}

HRESULT InputPin::CheckStreaming() const
{
    return m_filter.State() == State_Stopped ? VFW_E_WRONG_STATE : S_OK;
}

void* InputPin::QueryPinInterface(REFIID riid)
{
    if (riid == IMemInputPin::iid)
        return static_cast<IMemInputPin*>(this);
    if (riid == IFrameDemand::iid)
        return static_cast<IFrameDemand*>(this);
    return nullptr;
}

// ---- output pins ----------------------------------------------------------------------

OutputPin::OutputPin(FilterCore& filter, std::string name, const GUID& category)
    : PinBase(filter, std::move(name), PINDIR_OUTPUT, category)
{
}

HRESULT OutputPin::TryConnect(IPin* receivePin, const AM_MEDIA_TYPE& type)
{
    if (!IsCompleteType(type) || CheckMediaType(type) != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    HRESULT hr = receivePin->ReceiveConnection(this, &type);
    if (FAILED(hr))
        return hr;
    SetConnection(receivePin, type);
    hr = CompleteConnect(receivePin);
    if (FAILED(hr)) {
        ClearConnection();
        BreakConnect();
        receivePin->Disconnect();
        return hr;
    }
    return S_OK;
}

HRESULT OutputPin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* type)
{
    if (!receivePin)
        return E_POINTER;
    if (IsConnected())
        return VFW_E_ALREADY_CONNECTED;
    if (m_filter.State() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (PinDirection(receivePin) != PINDIR_INPUT)
        return VFW_E_INVALID_DIRECTION;

    if (type && IsCompleteType(*type))
        return SUCCEEDED(TryConnect(receivePin, *type)) ? S_OK : VFW_E_NO_ACCEPTABLE_TYPES;

    const AM_MEDIA_TYPE pattern = type ? *type : AM_MEDIA_TYPE{};
    std::vector<AM_MEDIA_TYPE> candidates;
    ComPtr<IEnumMediaTypes> theirs;
    if (SUCCEEDED(receivePin->EnumMediaTypes(theirs.GetAddressOf())) && theirs) {
        AM_MEDIA_TYPE t;
        while (theirs->Next(1, &t, nullptr) == S_OK)
            candidates.push_back(t);
    }
    for (int i = 0; i < 256; ++i) {
        AM_MEDIA_TYPE t;
        const HRESULT hr = GetMediaType(i, &t);
        if (hr != S_OK) {
            // A source that cannot list its types (a device that failed to
            // open) reports why; say that rather than "no types".
            if (FAILED(hr) && i == 0 && candidates.empty())
                return hr;
            break;
        }
        candidates.push_back(t);
    }
    for (const AM_MEDIA_TYPE& t : candidates) {
        if (!IsCompleteType(t) || !TypeMatches(t, pattern))
            continue;
        if (SUCCEEDED(TryConnect(receivePin, t)))
            return S_OK;
    }
    return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT OutputPin::CompleteConnect(IPin* peer)
{
    ComPtr<IMemInputPin> input = QueryInterfacePtr<IMemInputPin>(peer);
    if (!input)
        return E_NOINTERFACE;
    ComPtr<IFrameDemand> demand = QueryInterfacePtr<IFrameDemand>(peer);
    std::lock_guard lock(m_lock);
    m_input = input;
    m_demand = demand;
    return S_OK;
}

void OutputPin::BreakConnect()
{
    std::lock_guard lock(m_lock);
    m_input = nullptr;
    m_demand = nullptr;
}

bool OutputPin::Wanted(REFERENCE_TIME start)
{
    ComPtr<IMemInputPin> input;
    ComPtr<IFrameDemand> demand;
    {
        std::lock_guard lock(m_lock);
        input = m_input;
        demand = m_demand;
    }
    return input && (!demand || demand->WantsFrame(start) == S_OK);
}

HRESULT OutputPin::Deliver(IMediaSample* sample)
{
    ComPtr<IMemInputPin> input;
    {
        std::lock_guard lock(m_lock);
        input = m_input;
    }
    if (!input)
        return VFW_E_NOT_CONNECTED;
    return input->Receive(sample);
}

HRESULT OutputPin::DeliverEndOfStream()
{
    ComPtr<IPin> peer = Peer();
    if (!peer)
        return VFW_E_NOT_CONNECTED;
    return peer->EndOfStream();
}

// ---- filters ------------------------------------------------------------------------------

FilterCore::FilterCore(const CLSID& clsid) : m_clsid(clsid) {}

FilterCore::~FilterCore() = default;

std::string FilterCore::FilterName() const
{
    std::lock_guard lock(m_graphLock);
    return m_name;
}

PinBase* FilterCore::AddPin(std::unique_ptr<PinBase> pin)
{
    m_pins.push_back(std::move(pin));
    return m_pins.back().get();
}

void FilterCore::RemovePinsFrom(int first)
{
    if (first < 0)
        first = 0;
    while (static_cast<int>(m_pins.size()) > first)
        m_pins.pop_back();
}

void FilterCore::NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2)
{
    // Called on streaming threads: no reference is taken on the graph (it
    // may be going away); the graph detaches every filter, which waits for
    // this lock, before it is destroyed.
    std::lock_guard lock(m_graphLock);
    if (m_eventSink)
        m_eventSink->Notify(code, param1, param2);
}

void FilterCore::StopStreamingNow()
{
    CoreStop();
}

HRESULT FilterCore::CoreStop()
{
    const FILTER_STATE old = m_state.load();
    if (old == State_Stopped)
        return S_OK;
    if (old == State_Running)
        OnStopRunning();
    m_state = State_Stopped;
    OnStop();
    return S_OK;
}

HRESULT FilterCore::CorePause()
{
    const FILTER_STATE old = m_state.load();
    if (old == State_Paused)
        return S_OK;
    if (old == State_Stopped) {
        const HRESULT hr = OnPause();
        if (FAILED(hr)) {
            OnStop();
            return hr;
        }
    } else {
        OnStopRunning();
    }
    m_state = State_Paused;
    return S_OK;
}

HRESULT FilterCore::CoreRun(REFERENCE_TIME start)
{
    const FILTER_STATE old = m_state.load();
    if (old == State_Running)
        return S_OK;
    if (old == State_Stopped) {
        const HRESULT hr = CorePause();
        if (FAILED(hr))
            return hr;
    }
    m_start = start;
    m_state = State_Running;
    const HRESULT hr = OnRun(start);
    if (FAILED(hr)) {
        CoreStop();
        return hr;
    }
    return S_OK;
}

HRESULT FilterCore::CoreGetState(FILTER_STATE* state)
{
    if (!state)
        return E_POINTER;
    *state = m_state.load();
    return S_OK;
}

HRESULT FilterCore::CoreEnumPins(IEnumPins** pins)
{
    std::vector<ComPtr<IPin>> list;
    for (auto& pin : m_pins)
        list.emplace_back(static_cast<IPin*>(pin.get()));
    return CreatePinEnumerator(std::move(list), pins);
}

HRESULT FilterCore::CoreFindPin(const char* id, IPin** pin)
{
    if (!id || !pin)
        return E_POINTER;
    *pin = nullptr;
    for (auto& p : m_pins) {
        if (p->Name() == id) {
            *pin = p.get();
            (*pin)->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT FilterCore::CoreQueryFilterInfo(FILTER_INFO* info)
{
    if (!info)
        return E_POINTER;
    std::lock_guard lock(m_graphLock);
    info->achName = m_name;
    info->pGraph = m_graph;
    return S_OK;
}

HRESULT FilterCore::CoreJoinFilterGraph(IFilterGraph* graph, const char* name)
{
    IMediaEventSink* sink = nullptr;
    if (graph) {
        ComPtr<IMediaEventSink> counted = QueryInterfacePtr<IMediaEventSink>(graph);
        sink = counted.Get(); // not kept counted: the graph owns us
    }
    std::lock_guard lock(m_graphLock);
    m_graph = graph;
    m_eventSink = sink;
    m_name = graph && name ? name : "";
    return S_OK;
}
