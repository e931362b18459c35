#include "media/MediaUtil.h"

#include "platform/com/Rot.h"

#include <cstdio>
#include <cstring>

// ---- results -------------------------------------------------------------------------------

std::string GraphErrorText(HRESULT code)
{
    char buffer[256];
    buffer[0] = '\0';
    AMGetErrorTextA(code, buffer, sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    return std::string(buffer);
}

HRESULT CheckGraphResult(HRESULT code)
{
    if (FAILED(code)) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, " ($%X).", static_cast<unsigned>(code));
        throw EDirectShowException(GraphErrorText(code) + suffix, code);
    }
    return code;
}

HRESULT RegisterGraphInRot(IUnknown* graph, DWORD& cookie)
{
    cookie = 0;
    ComPtr<IRunningObjectTable> rot;
    HRESULT hr = GetRunningObjectTable(0, rot.GetAddressOf());
    if (FAILED(hr))
        return hr;
    // The pointer as eight upper-case hexadecimal digits (the low 32 bits
    // of an address on this 64-bit build), then the process id.
    char name[64];
    std::snprintf(name, sizeof name, "FilterGraph %08X pid %X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(graph)),
                  static_cast<unsigned>(GetCurrentProcessId()));
    ComPtr<IMoniker> moniker;
    hr = CreateItemMoniker("!", name, moniker.GetAddressOf());
    if (FAILED(hr))
        return hr;
    return rot->Register(0, graph, moniker.Get(), &cookie);
}

HRESULT UnregisterGraphFromRot(DWORD cookie)
{
    ComPtr<IRunningObjectTable> rot;
    const HRESULT hr = GetRunningObjectTable(0, rot.GetAddressOf());
    if (FAILED(hr))
        return hr;
    return rot->Revoke(cookie);
}

// ---- lists ------------------------------------------------------------------------------------

namespace {
ComPtr<IUnknown> Identity(IUnknown* item)
{
    return QueryInterfacePtr<IUnknown>(item);
}
} // namespace

int TInterfaceList::Count() const
{
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_items.size());
}

void TInterfaceList::Add(IUnknown* item)
{
    std::lock_guard lock(m_lock);
    m_items.emplace_back(item);
}

ComPtr<IUnknown> TInterfaceList::Get(int index) const
{
    std::lock_guard lock(m_lock);
    if (index < 0 || index >= static_cast<int>(m_items.size()))
        RaiseListIndexError(index);
    return m_items[static_cast<size_t>(index)];
}

int TInterfaceList::IndexOf(IUnknown* item) const
{
    const ComPtr<IUnknown> wanted = Identity(item);
    std::lock_guard lock(m_lock);
    for (size_t i = 0; i < m_items.size(); ++i)
        if (Identity(m_items[i].Get()) == wanted)
            return static_cast<int>(i);
    return -1;
}

int TInterfaceList::Remove(IUnknown* item)
{
    const int index = IndexOf(item);
    if (index >= 0) {
        ComPtr<IUnknown> released;
        std::lock_guard lock(m_lock);
        released = m_items[static_cast<size_t>(index)];
        m_items.erase(m_items.begin() + index);
    }
    return index;
}

void TInterfaceList::Clear()
{
    std::vector<ComPtr<IUnknown>> released;
    std::lock_guard lock(m_lock);
    released.swap(m_items);
}

TFilterList::TFilterList(IFilterGraph* graph) : m_graph(graph)
{
    if (!graph)
        return;
    ComPtr<IEnumFilters> filters;
    graph->EnumFilters(filters.GetAddressOf());
    if (!filters)
        return;
    IBaseFilter* filter = nullptr;
    while (filters->Next(1, &filter, nullptr) == S_OK) {
        Add(filter);
        filter->Release();
    }
}

ComPtr<IBaseFilter> TFilterList::Item(int index) const
{
    return QueryInterfacePtr<IBaseFilter>(Get(index).Get());
}

int TFilterList::Remove(IBaseFilter* filter)
{
    return TInterfaceList::Remove(filter);
}

TPinList::TPinList(IBaseFilter* filter) : m_filter(filter)
{
    Clear();
    if (!filter)
        return;
    ComPtr<IEnumPins> pins;
    filter->EnumPins(pins.GetAddressOf());
    if (!pins)
        return;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        Add(pin);
        pin->Release();
    }
}

ComPtr<IPin> TPinList::Item(int index) const
{
    return QueryInterfacePtr<IPin>(Get(index).Get());
}

bool TPinList::Connected(int index) const
{
    ComPtr<IPin> pin = Item(index);
    ComPtr<IPin> peer;
    if (pin)
        pin->ConnectedTo(peer.GetAddressOf());
    return static_cast<bool>(peer);
}

// ---- moniker storage ---------------------------------------------------------------------

TPersistentMemory::~TPersistentMemory()
{
    SetDataLength(0);
}

void TPersistentMemory::SetDataLength(int32_t n)
{
    m_data.reset();
    m_length = 0;
    if (n > 0) {
        m_data = std::make_unique<uint8_t[]>(static_cast<size_t>(n)); // zero-filled
        m_length = n;
    }
}

void TPersistentMemory::StoreMoniker(IMoniker* moniker)
{
    if (!moniker) {
        SetDataLength(0);
        return;
    }
    ComPtr<IStream> stream;
    CreateMemoryStream(nullptr, 0, stream.GetAddressOf());
    OleSaveToStream(moniker, stream.Get());
    const std::vector<uint8_t> bytes = MemoryStreamBytes(stream.Get());
    SetDataLength(static_cast<int32_t>(bytes.size()));
    if (!bytes.empty())
        std::memcpy(m_data.get(), bytes.data(), bytes.size());
}

ComPtr<IMoniker> TPersistentMemory::LoadMoniker() const
{
    if (m_length == 0)
        return nullptr;
    ComPtr<IStream> stream;
    CreateMemoryStream(m_data.get(), static_cast<size_t>(m_length), stream.GetAddressOf());
    stream->Seek(0, STREAM_SEEK_SET, nullptr);
    ComPtr<IMoniker> moniker;
    OleLoadFromStream(stream.Get(), IMoniker::iid, moniker.ReleaseAndGetVoid());
    return moniker;
}

ComPtr<IBaseFilter> TPersistentMemory::BindFilter() const
{
    ComPtr<IMoniker> moniker = LoadMoniker();
    if (!moniker)
        return nullptr;
    ComPtr<IBaseFilter> filter;
    moniker->BindToObject(nullptr, nullptr, IBaseFilter::iid, filter.ReleaseAndGetVoid());
    return filter;
}

void TPersistentMemory::Assign(const TPersistentMemory& source)
{
    if (&source == this)
        return;
    SetDataLength(source.m_length);
    if (m_length)
        std::memcpy(m_data.get(), source.m_data.get(), static_cast<size_t>(m_length));
}

bool TPersistentMemory::Equals(const TPersistentMemory& other) const
{
    return other.m_length != 0 && other.m_length == m_length && m_data && other.m_data &&
           std::memcmp(m_data.get(), other.m_data.get(), static_cast<size_t>(m_length)) == 0;
}

void TPersistentMemory::WriteData(std::vector<uint8_t>& out) const
{
    const uint32_t n = static_cast<uint32_t>(m_length);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    if (m_length)
        out.insert(out.end(), m_data.get(), m_data.get() + m_length);
}

size_t TPersistentMemory::ReadData(const uint8_t* data, size_t size)
{
    if (!data || size < 4)
        throw EReadError("Stream read error");
    const uint32_t n = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                       static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    // A length beyond the bytes present (or beyond a signed 32-bit count)
    // is a damaged form file, not a request for gigabytes.
    if (n > 0x7FFFFFFFu || n > size - 4)
        throw EReadError("Stream read error");
    SetDataLength(static_cast<int32_t>(n));
    if (n)
        std::memcpy(m_data.get(), data + 4, n);
    return 4 + n;
}

bool TPersistentMemory::HasData(const TPersistentMemory* ancestor) const
{
    return ancestor ? !Equals(*ancestor) : true;
}
