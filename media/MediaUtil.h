#pragma once
// Helpers of the media layer: device enumeration, snapshots of a graph's
// filters and a filter's pins, storage of a device moniker, and checking of
// platform results with the layer's exceptions.

#include "media/SysDevEnum.h"
#include "platform/com/Objects.h"
#include "platform/core/Exception.h"
#include "platform/dshow/DShow.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// ---- exceptions and result checking ------------------------------------------------

// A failed platform call (raised by CheckGraphResult).
class EDirectShowException : public Exception {
public:
    EDirectShowException(std::string message, HRESULT code) : Exception(std::move(message)), ErrorCode(code) {}
    HRESULT ErrorCode;
};

// A failure of the layer itself.
class EMediaKitException : public Exception {
public:
    EMediaKitException(std::string message, HRESULT code = E_FAIL) : Exception(std::move(message)), ErrorCode(code) {}
    HRESULT ErrorCode;
};

// Raises EDirectShowException "<text> ($<HEX>)." for a failure code;
// returns any success code (S_FALSE too) unchanged.
HRESULT CheckGraphResult(HRESULT code);
// The platform's text for the code (at most 255 characters).
std::string GraphErrorText(HRESULT code);

// Registers the graph in the running object table as
// "FilterGraph <pointer> pid <process id>"; cookie 0 on failure.
HRESULT RegisterGraphInRot(IUnknown* graph, DWORD& cookie);
HRESULT UnregisterGraphFromRot(DWORD cookie);

// A component's interface, or the error "Interface not supported" (what the
// program gets when it asks a component for an interface it does not answer).
class EIntfCastError : public Exception {
public:
    EIntfCastError() : Exception("Interface not supported") {}
};

template <class T, class Component>
ComPtr<T> Supports(Component& component)
{
    ComPtr<T> out;
    component.QueryInterface(T::iid, out.ReleaseAndGetVoid());
    return out;
}

template <class T, class Component>
ComPtr<T> InterfaceOf(Component& component)
{
    ComPtr<T> out = Supports<T>(component);
    if (!out)
        throw EIntfCastError();
    return out;
}

// ---- lists of interfaces ---------------------------------------------------------------

// A list of counted interface references guarded by a lock.
class TInterfaceList {
public:
    TInterfaceList() = default;
    virtual ~TInterfaceList() = default;
    TInterfaceList(const TInterfaceList&) = delete;
    TInterfaceList& operator=(const TInterfaceList&) = delete;

    int Count() const;
    void Add(IUnknown* item);
    // Raises the list index error outside 0..Count-1.
    ComPtr<IUnknown> Get(int index) const;
    // Position of the first entry that is the same object (-1 when absent).
    int IndexOf(IUnknown* item) const;
    // Removes the first entry that is the same object; its former position or -1.
    int Remove(IUnknown* item);
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<ComPtr<IUnknown>> m_items;
};

// The filters of a graph at the time of construction, in enumeration order.
class TFilterList : public TInterfaceList {
public:
    explicit TFilterList(IFilterGraph* graph = nullptr);
    ComPtr<IBaseFilter> Item(int index) const;
    int Remove(IBaseFilter* filter);
    const ComPtr<IFilterGraph>& Graph() const { return m_graph; }

private:
    ComPtr<IFilterGraph> m_graph;
};

// The pins of a filter at the time of construction, in enumeration order.
class TPinList : public TInterfaceList {
public:
    explicit TPinList(IBaseFilter* filter = nullptr);
    ComPtr<IPin> Item(int index) const;
    // True when the pin at index is connected to another pin.
    bool Connected(int index) const;
    const ComPtr<IBaseFilter>& Filter() const { return m_filter; }

private:
    ComPtr<IBaseFilter> m_filter;
};

// ---- moniker storage ------------------------------------------------------------------

// A byte block holding one moniker in its serialised form (class id, then
// the moniker's own state). Stored in a form file as the binary property
// "data": a little-endian 32-bit length, then that many bytes.
class TPersistentMemory {
public:
    TPersistentMemory() = default;
    virtual ~TPersistentMemory();
    TPersistentMemory(const TPersistentMemory&) = delete;
    TPersistentMemory& operator=(const TPersistentMemory&) = delete;

    // nullptr exactly when DataLength() is 0.
    uint8_t* Data() const { return m_data.get(); }
    int32_t DataLength() const { return m_length; }
    // Frees the block, then allocates n zero bytes (none for n <= 0).
    void SetDataLength(int32_t n);

    void StoreMoniker(IMoniker* moniker);
    ComPtr<IMoniker> LoadMoniker() const;
    // The filter object the stored moniker binds to, or nil.
    ComPtr<IBaseFilter> BindFilter() const;

    void Assign(const TPersistentMemory& source);
    void AssignTo(TPersistentMemory& target) const { target.Assign(*this); }
    // Equal when the other is not empty and holds the same bytes.
    bool Equals(const TPersistentMemory& other) const;

    // The "data" property: writer, reader and has-data test. ReadData
    // raises EReadError "Stream read error" when the bytes run out.
    void WriteData(std::vector<uint8_t>& out) const;
    size_t ReadData(const uint8_t* data, size_t size);
    bool HasData(const TPersistentMemory* ancestor) const;

private:
    std::unique_ptr<uint8_t[]> m_data;
    int32_t m_length = 0;
};

// The class of a device filter component's stored moniker.
class TBaseFilter : public TPersistentMemory {};

class EReadError : public Exception {
public:
    using Exception::Exception;
};
