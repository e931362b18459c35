#pragma once
// The running object table (process-local), item monikers that name its
// entries, and the process id used in entry names.

#include "platform/com/Objects.h"

struct IRunningObjectTable : IUnknown {
    static constexpr IID iid = MakeGuid("{00000010-0000-0000-C000-000000000046}");
    // Holds a reference to the object until Revoke. flags: 0 (weak or
    // strong makes no difference here).
    virtual HRESULT Register(DWORD flags, IUnknown* object, IMoniker* name, DWORD* cookie) = 0;
    virtual HRESULT Revoke(DWORD cookie) = 0;
    // S_OK when an entry has that moniker's display name, S_FALSE otherwise.
    virtual HRESULT IsRunning(IMoniker* name) = 0;
    virtual HRESULT GetObject(IMoniker* name, IUnknown** object) = 0;
    // Display names of the entries, in registration order.
    virtual HRESULT EnumRunningNames(std::vector<std::string>* names) = 0;
};

inline constexpr CLSID CLSID_ItemMoniker = MakeGuid("{00000304-0000-0000-C000-000000000046}");

// reserved must be 0.
HRESULT GetRunningObjectTable(DWORD reserved, IRunningObjectTable** table);
// A moniker whose display name is delimiter + item.
HRESULT CreateItemMoniker(const char* delimiter, const char* item, IMoniker** moniker);
DWORD GetCurrentProcessId();
