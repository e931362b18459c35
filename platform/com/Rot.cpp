#include "platform/com/Rot.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <unistd.h>

namespace {

std::string DisplayName(IMoniker* moniker)
{
    std::string name;
    if (moniker)
        moniker->GetDisplayName(nullptr, nullptr, &name);
    return name;
}

class ItemMoniker final : public ComObject<IMoniker> {
public:
    explicit ItemMoniker(std::string name) : m_name(std::move(name)) {}
    HRESULT GetClassID(CLSID* clsid) override
    {
        if (!clsid) return E_POINTER;
        *clsid = CLSID_ItemMoniker;
        return S_OK;
    }
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(IStream*) override { return E_NOTIMPL; }
    HRESULT Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        ComPtr<IRunningObjectTable> rot;
        GetRunningObjectTable(0, rot.GetAddressOf());
        ComPtr<IUnknown> object;
        const HRESULT hr = rot->GetObject(this, object.GetAddressOf());
        return FAILED(hr) ? MK_E_NOOBJECT : object->QueryInterface(riid, ppv);
    }
    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID, void** ppv) override
    {
        if (ppv) *ppv = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetDisplayName(IBindCtx*, IMoniker*, std::string* name) override
    {
        if (!name) return E_POINTER;
        *name = m_name;
        return S_OK;
    }

private:
    std::string m_name;
};

class RunningObjectTable final : public ComObject<IRunningObjectTable> {
public:
    HRESULT Register(DWORD, IUnknown* object, IMoniker* name, DWORD* cookie) override
    {
        if (!object || !name || !cookie)
            return E_INVALIDARG;
        std::lock_guard lock(m_lock);
        *cookie = ++m_next;
        m_entries[*cookie] = {DisplayName(name), object};
        return S_OK;
    }
    HRESULT Revoke(DWORD cookie) override
    {
        ComPtr<IUnknown> released; // released outside the lock
        std::lock_guard lock(m_lock);
        auto it = m_entries.find(cookie);
        if (it == m_entries.end())
            return E_INVALIDARG;
        released = it->second.object;
        m_entries.erase(it);
        return S_OK;
    }
    HRESULT IsRunning(IMoniker* name) override
    {
        std::lock_guard lock(m_lock);
        return Find(DisplayName(name)) ? S_OK : S_FALSE;
    }
    HRESULT GetObject(IMoniker* name, IUnknown** object) override
    {
        if (!object) return E_POINTER;
        std::lock_guard lock(m_lock);
        auto* entry = Find(DisplayName(name));
        *object = entry ? ComPtr(entry->object).Detach() : nullptr;
        return entry ? S_OK : MK_E_UNAVAILABLE;
    }
    HRESULT EnumRunningNames(std::vector<std::string>* names) override
    {
        if (!names) return E_POINTER;
        std::lock_guard lock(m_lock);
        names->clear();
        for (auto& [cookie, entry] : m_entries)
            names->push_back(entry.name);
        return S_OK;
    }

private:
    struct Entry {
        std::string name;
        ComPtr<IUnknown> object;
    };
    Entry* Find(const std::string& name)
    {
        for (auto& [cookie, entry] : m_entries)
            if (entry.name == name)
                return &entry;
        return nullptr;
    }
    std::mutex m_lock;
    std::map<DWORD, Entry> m_entries;
    DWORD m_next = 0;
};

} // namespace

HRESULT GetRunningObjectTable(DWORD reserved, IRunningObjectTable** table)
{
    if (!table)
        return E_POINTER;
    *table = nullptr;
    if (reserved != 0)
        return E_INVALIDARG;
    // One table for the process; it lives until the process ends.
    static RunningObjectTable* rot = NewComObject<RunningObjectTable>();
    *table = ComPtr<IRunningObjectTable>(rot).Detach();
    return S_OK;
}

HRESULT CreateItemMoniker(const char* delimiter, const char* item, IMoniker** moniker)
{
    if (!moniker)
        return E_POINTER;
    *moniker = NewComObject<ItemMoniker>(std::string(delimiter ? delimiter : "") + (item ? item : ""));
    return S_OK;
}

DWORD GetCurrentProcessId()
{
    return static_cast<DWORD>(::getpid());
}
