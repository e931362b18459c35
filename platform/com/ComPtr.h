#pragma once
// Intrusive smart pointer for reference-counted platform objects.

#include "platform/com/Unknown.h"

#include <utility>

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference to p.
    ComPtr(T* p) : m_p(p) { if (m_p) m_p->AddRef(); }
    ComPtr(const ComPtr& o) : ComPtr(o.m_p) {}
    ComPtr(ComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ComPtr(const ComPtr<U>& o) : ComPtr(static_cast<T*>(o.Get())) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& o) { ComPtr(o).Swap(*this); return *this; }
    ComPtr& operator=(ComPtr&& o) noexcept { ComPtr(std::move(o)).Swap(*this); return *this; }
    ComPtr& operator=(std::nullptr_t) { Reset(); return *this; }

    // Adopts a pointer that already carries a reference for us.
    static ComPtr Adopt(T* p) { ComPtr c; c.m_p = p; return c; }
    void Attach(T* p) { Reset(); m_p = p; }
    T* Detach() { return std::exchange(m_p, nullptr); }

    void Reset() { if (T* p = std::exchange(m_p, nullptr)) p->Release(); }
    void Swap(ComPtr& o) noexcept { std::swap(m_p, o.m_p); }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // For out-parameters: releases what is held and returns the slot.
    T** GetAddressOf() { Reset(); return &m_p; }
    void** ReleaseAndGetVoid() { Reset(); return reinterpret_cast<void**>(&m_p); }

    // QueryInterface into another ComPtr.
    template <class U>
    HRESULT As(ComPtr<U>& out) const
    {
        if (!m_p) { out.Reset(); return E_POINTER; }
        return m_p->QueryInterface(U::iid, out.ReleaseAndGetVoid());
    }
    template <class U>
    ComPtr<U> As() const { ComPtr<U> out; As(out); return out; }

    friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.m_p == b.m_p; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.m_p == nullptr; }

private:
    T* m_p = nullptr;
};

// QueryInterface on any IUnknown into a ComPtr.
template <class U>
ComPtr<U> QueryInterfacePtr(IUnknown* unk)
{
    ComPtr<U> out;
    if (unk)
        unk->QueryInterface(U::iid, out.ReleaseAndGetVoid());
    return out;
}
