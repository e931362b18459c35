#pragma once
// The COM-style interfaces the program uses beyond IUnknown: streams,
// persistence, monikers, property bags and variants, plus object creation
// (CoCreateInstance over a process-local class registry) and task memory.

#include "platform/com/ComPtr.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// ---- variants -------------------------------------------------------------

enum VARTYPE : uint16_t { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8, VT_BOOL = 11, VT_UI4 = 19 };

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    int32_t lVal = 0;      // VT_I4, VT_UI4, VT_BOOL
    std::string bstrVal;   // VT_BSTR (UTF-8)
};
void VariantInit(VARIANT* v);
void VariantClear(VARIANT* v);

// ---- streams and persistence ---------------------------------------------

enum STREAM_SEEK : uint32_t { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

struct IStream : IUnknown {
    static constexpr IID iid = MakeGuid("{0000000C-0000-0000-C000-000000000046}");
    // Reads up to cb bytes; *read (optional) gets the count. S_FALSE when fewer came.
    virtual HRESULT Read(void* buffer, ULONG cb, ULONG* read) = 0;
    virtual HRESULT Write(const void* buffer, ULONG cb, ULONG* written) = 0;
    virtual HRESULT Seek(int64_t move, STREAM_SEEK origin, uint64_t* newPosition) = 0;
    virtual HRESULT SetSize(uint64_t size) = 0;
    virtual HRESULT GetSize(uint64_t* size) = 0;
};

// An IStream over a growable in-memory byte block, positioned at 0.
HRESULT CreateMemoryStream(const void* initial, size_t size, IStream** out);
// The whole content of a stream made by CreateMemoryStream (position unchanged).
std::vector<uint8_t> MemoryStreamBytes(IStream* stream);

struct IPersist : IUnknown {
    static constexpr IID iid = MakeGuid("{0000010C-0000-0000-C000-000000000046}");
    virtual HRESULT GetClassID(CLSID* clsid) = 0;
};

struct IPersistStream : IPersist {
    using Base = IPersist;
    static constexpr IID iid = MakeGuid("{00000109-0000-0000-C000-000000000046}");
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT Load(IStream* stream) = 0;
    virtual HRESULT Save(IStream* stream, BOOL clearDirty) = 0;
};

// Writes the object's class id (16 bytes) then its own persisted state.
HRESULT OleSaveToStream(IPersistStream* object, IStream* stream);
// Reads a class id, creates that class, loads its state and answers riid.
HRESULT OleLoadFromStream(IStream* stream, REFIID riid, void** ppv);

// ---- monikers and property bags -------------------------------------------

struct IBindCtx; // never used by the program: always passed as nullptr
struct IErrorLog;

struct IMoniker : IPersistStream {
    using Base = IPersistStream;
    static constexpr IID iid = MakeGuid("{0000000F-0000-0000-C000-000000000046}");
    virtual HRESULT BindToObject(IBindCtx* ctx, IMoniker* left, REFIID riid, void** ppv) = 0;
    virtual HRESULT BindToStorage(IBindCtx* ctx, IMoniker* left, REFIID riid, void** ppv) = 0;
    // The moniker's display name (a self-describing identity of what it names).
    virtual HRESULT GetDisplayName(IBindCtx* ctx, IMoniker* left, std::string* name) = 0;
};

struct IEnumMoniker : IUnknown {
    static constexpr IID iid = MakeGuid("{00000102-0000-0000-C000-000000000046}");
    // S_OK when all `count` monikers were fetched, S_FALSE when fewer.
    virtual HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
};

struct IPropertyBag : IUnknown {
    static constexpr IID iid = MakeGuid("{55272A00-42CB-11CE-8135-00AA004BB851}");
    virtual HRESULT Read(const char* name, VARIANT* value, IErrorLog* log) = 0;
    virtual HRESULT Write(const char* name, const VARIANT* value) = 0;
};

// ---- object creation --------------------------------------------------------

enum CLSCTX : DWORD { CLSCTX_INPROC_SERVER = 0x1, CLSCTX_LOCAL_SERVER = 0x4, CLSCTX_ALL = 0x17 };

// Creates a new object of the class and answers riid (one reference for the caller).
using ClassFactoryFunction = std::function<HRESULT(REFIID riid, void** ppv)>;

// Registers (or replaces) a class in the process-local registry.
void CoRegisterClass(REFCLSID clsid, ClassFactoryFunction factory);
bool CoIsClassRegistered(REFCLSID clsid);
// The factory registered for a class (empty when none), so a class can be
// wrapped by another registration.
ClassFactoryFunction CoGetClassFactory(REFCLSID clsid);
// REGDB_E_CLASSNOTREG for an unknown class; CLASS_E_NOAGGREGATION when outer is set.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);

// Typed convenience: CoCreate<ICreateDevEnum>(CLSID_SystemDeviceEnum).
template <class T>
ComPtr<T> CoCreate(REFCLSID clsid)
{
    ComPtr<T> out;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, T::iid, out.ReleaseAndGetVoid());
    return out;
}

HRESULT CLSIDFromString(const char* text, CLSID* clsid);

void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* p);
