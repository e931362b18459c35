#include "platform/com/Objects.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

void VariantInit(VARIANT* v) { *v = VARIANT{}; }
void VariantClear(VARIANT* v) { *v = VARIANT{}; }

// ---- memory stream ----------------------------------------------------------

namespace {

class MemoryStream final : public ComObject<IStream> {
public:
    MemoryStream(const void* initial, size_t size)
        : m_bytes(static_cast<const uint8_t*>(initial), static_cast<const uint8_t*>(initial) + size)
    {
    }

    HRESULT Read(void* buffer, ULONG cb, ULONG* read) override
    {
        const size_t avail = m_pos < m_bytes.size() ? m_bytes.size() - m_pos : 0;
        const size_t n = std::min<size_t>(cb, avail);
        if (n)
            std::memcpy(buffer, m_bytes.data() + m_pos, n);
        m_pos += n;
        if (read)
            *read = static_cast<ULONG>(n);
        return n == cb ? S_OK : S_FALSE;
    }
    HRESULT Write(const void* buffer, ULONG cb, ULONG* written) override
    {
        if (m_pos + cb > m_bytes.size())
            m_bytes.resize(m_pos + cb);
        if (cb)
            std::memcpy(m_bytes.data() + m_pos, buffer, cb);
        m_pos += cb;
        if (written)
            *written = cb;
        return S_OK;
    }
    HRESULT Seek(int64_t move, STREAM_SEEK origin, uint64_t* newPosition) override
    {
        int64_t base = 0;
        switch (origin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = static_cast<int64_t>(m_pos); break;
        case STREAM_SEEK_END: base = static_cast<int64_t>(m_bytes.size()); break;
        default: return STG_E_INVALIDFUNCTION;
        }
        if (base + move < 0)
            return STG_E_INVALIDFUNCTION;
        m_pos = static_cast<size_t>(base + move);
        if (newPosition)
            *newPosition = m_pos;
        return S_OK;
    }
    HRESULT SetSize(uint64_t size) override
    {
        m_bytes.resize(size);
        return S_OK;
    }
    HRESULT GetSize(uint64_t* size) override
    {
        if (!size)
            return E_POINTER;
        *size = m_bytes.size();
        return S_OK;
    }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
};

} // namespace

HRESULT CreateMemoryStream(const void* initial, size_t size, IStream** out)
{
    if (!out)
        return E_POINTER;
    *out = NewComObject<MemoryStream>(initial, initial ? size : 0);
    return S_OK;
}

std::vector<uint8_t> MemoryStreamBytes(IStream* stream)
{
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    uint64_t pos = 0;
    if (!stream || FAILED(stream->GetSize(&size)) || FAILED(stream->Seek(0, STREAM_SEEK_CUR, &pos)))
        return bytes;
    bytes.resize(size);
    stream->Seek(0, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(size), &read);
    bytes.resize(read);
    stream->Seek(static_cast<int64_t>(pos), STREAM_SEEK_SET, nullptr);
    return bytes;
}

// ---- persistence --------------------------------------------------------------

namespace {
// A class id in the stream: Data1, Data2, Data3 little-endian, then Data4.
void PutClassId(const CLSID& id, uint8_t out[16])
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(id.Data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) out[4 + i] = static_cast<uint8_t>(id.Data2 >> (8 * i));
    for (int i = 0; i < 2; ++i) out[6 + i] = static_cast<uint8_t>(id.Data3 >> (8 * i));
    std::memcpy(out + 8, id.Data4, 8);
}
CLSID GetClassId(const uint8_t in[16])
{
    CLSID id;
    id.Data1 = static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
               static_cast<uint32_t>(in[3]) << 24;
    id.Data2 = static_cast<uint16_t>(in[4] | in[5] << 8);
    id.Data3 = static_cast<uint16_t>(in[6] | in[7] << 8);
    std::memcpy(id.Data4, in + 8, 8);
    return id;
}
} // namespace

HRESULT OleSaveToStream(IPersistStream* object, IStream* stream)
{
    if (!stream)
        return E_INVALIDARG;
    if (!object) {
        // A null object is stored as GUID_NULL, as the platform does.
        uint8_t raw[16] = {};
        return stream->Write(raw, 16, nullptr);
    }
    CLSID clsid{};
    HRESULT hr = object->GetClassID(&clsid);
    if (FAILED(hr))
        return hr;
    uint8_t raw[16];
    PutClassId(clsid, raw);
    hr = stream->Write(raw, 16, nullptr);
    if (FAILED(hr))
        return hr;
    return object->Save(stream, 1);
}

HRESULT OleLoadFromStream(IStream* stream, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!stream)
        return E_INVALIDARG;
    uint8_t raw[16];
    ULONG read = 0;
    if (stream->Read(raw, 16, &read) != S_OK || read != 16)
        return STG_E_READFAULT;
    const CLSID clsid = GetClassId(raw);
    if (clsid == GUID_NULL)
        return REGDB_E_CLASSNOTREG;
    ComPtr<IPersistStream> object;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IPersistStream::iid, object.ReleaseAndGetVoid());
    if (FAILED(hr))
        return hr;
    hr = object->Load(stream);
    if (FAILED(hr))
        return hr;
    return object->QueryInterface(riid, ppv);
}

// ---- class registry --------------------------------------------------------------

namespace {
std::mutex& RegistryLock()
{
    static std::mutex m;
    return m;
}
std::map<CLSID, ClassFactoryFunction>& Registry()
{
    static std::map<CLSID, ClassFactoryFunction> r;
    return r;
}
} // namespace

void CoRegisterClass(REFCLSID clsid, ClassFactoryFunction factory)
{
    std::lock_guard lock(RegistryLock());
    Registry()[clsid] = std::move(factory);
}

bool CoIsClassRegistered(REFCLSID clsid)
{
    std::lock_guard lock(RegistryLock());
    return Registry().count(clsid) != 0;
}

ClassFactoryFunction CoGetClassFactory(REFCLSID clsid)
{
    std::lock_guard lock(RegistryLock());
    auto it = Registry().find(clsid);
    return it == Registry().end() ? ClassFactoryFunction() : it->second;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD /*context*/, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    ClassFactoryFunction factory;
    {
        std::lock_guard lock(RegistryLock());
        auto it = Registry().find(clsid);
        if (it == Registry().end())
            return REGDB_E_CLASSNOTREG;
        factory = it->second;
    }
    return factory(riid, ppv);
}

HRESULT CLSIDFromString(const char* text, CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    if (!text || !GuidFromString(text, *clsid))
        return MakeHResult(0x800401F3); // CO_E_CLASSSTRING
    return S_OK;
}

void* CoTaskMemAlloc(size_t size) { return std::malloc(size ? size : 1); }
void CoTaskMemFree(void* p) { std::free(p); }
