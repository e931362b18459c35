#pragma once
// IUnknown and the helper that implements it for our platform objects.
//
// An interface is a struct with pure virtual functions deriving from
// IUnknown (or another interface named as its `Base`) and carrying its id as
// `static constexpr IID iid`. An object implements interfaces by deriving
// from ComObject<I1, I2, ...>, which provides reference counting and a
// QueryInterface that answers every listed interface and their bases.

#include "platform/com/Guid.h"
#include "platform/com/HResult.h"

#include <atomic>
#include <type_traits>

struct IUnknown {
    static constexpr IID iid = MakeGuid("{00000000-0000-0000-C000-000000000046}");
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};

template <class T>
constexpr const IID& uuidof() { return T::iid; }

namespace com_detail {
template <class I>
void* MatchInterface(I* p, REFIID riid)
{
    if (riid == I::iid)
        return p;
    if constexpr (requires { typename I::Base; })
        return MatchInterface<typename I::Base>(p, riid);
    else
        return nullptr;
}
} // namespace com_detail

template <class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        void* found = nullptr;
        if (riid == IUnknown::iid)
            found = static_cast<IUnknown*>(static_cast<First*>(this));
        else {
            found = com_detail::MatchInterface<First>(static_cast<First*>(this), riid);
            ((found = found ? found : com_detail::MatchInterface<Rest>(static_cast<Rest*>(this), riid)), ...);
            if (!found)
                found = QueryInterfaceExtra(riid);
        }
        if (!found)
            return E_NOINTERFACE;
        *ppv = found;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        const ULONG n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }

protected:
    ComObject() = default;
    ~ComObject() override = default;
    // Interfaces the object answers beyond the listed ones (for delegation).
    // Returns an un-AddRef'd pointer of this object, or nullptr.
    virtual void* QueryInterfaceExtra(REFIID) { return nullptr; }

private:
    std::atomic<ULONG> m_refs{0};
};

// Creates a ComObject-derived T with one reference held by the returned pointer
// (use with ComPtr<T>::Attach or ComPtr::Adopt).
template <class T, class... Args>
T* NewComObject(Args&&... args)
{
    T* p = new T(std::forward<Args>(args)...);
    p->AddRef();
    return p;
}
