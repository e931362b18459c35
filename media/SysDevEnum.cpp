#include "media/SysDevEnum.h"

#include "platform/core/Exception.h"
#include "platform/dshow/DeviceEnum.h"

TSysDevEnum::TSysDevEnum(const GUID& category)
{
    RegisterDeviceEnumClasses();
    EnumerateCategory(CLSID_ActiveMovieCategories, m_categoryList);
    SelectCategory(category);
}

void TSysDevEnum::SelectCategory(const GUID& category)
{
    m_category = category;
    EnumerateCategory(category, m_deviceList);
}

void TSysDevEnum::EnumerateCategory(const GUID& category, std::vector<TDeviceEntry>& list)
{
    list.clear();
    ComPtr<ICreateDevEnum> devEnum = CoCreate<ICreateDevEnum>(CLSID_SystemDeviceEnum);
    if (!devEnum)
        return; // no media framework: the list stays empty
    ComPtr<IEnumMoniker> monikers;
    if (devEnum->CreateClassEnumerator(category, monikers.GetAddressOf(), 0) != S_OK || !monikers)
        return;
    for (;;) {
        ComPtr<IMoniker> moniker;
        ULONG fetched = 0;
        if (monikers->Next(1, moniker.GetAddressOf(), &fetched) != S_OK)
            break;
        ComPtr<IPropertyBag> bag;
        TDeviceEntry entry;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IPropertyBag::iid, bag.ReleaseAndGetVoid())) && bag) {
            // Each device starts from an empty value, so one whose name cannot
            // be read gets an empty name rather than its predecessor's.
            VARIANT value;
            if (SUCCEEDED(bag->Read("FriendlyName", &value, nullptr)) && value.vt == VT_BSTR)
                entry.FriendlyName = value.bstrVal.substr(0, TDeviceEntry::MaxNameLength);
            VariantClear(&value);
            if (SUCCEEDED(bag->Read("CLSID", &value, nullptr)) && value.vt == VT_BSTR)
                CLSIDFromString(value.bstrVal.c_str(), &entry.CLSID);
        }
        list.push_back(std::move(entry));
    }
}

TDeviceEntry TSysDevEnum::DeviceInfo(int index) const
{
    if (index < 0 || index >= DeviceCount())
        RaiseListIndexError(index);
    return m_deviceList[static_cast<size_t>(index)];
}

ComPtr<IMoniker> TSysDevEnum::DeviceMoniker(int index) const
{
    ComPtr<IMoniker> result;
    if (index < 0 || index >= DeviceCount())
        return result;
    ComPtr<ICreateDevEnum> devEnum = CoCreate<ICreateDevEnum>(CLSID_SystemDeviceEnum);
    if (!devEnum)
        return result;
    ComPtr<IEnumMoniker> monikers;
    if (devEnum->CreateClassEnumerator(m_category, monikers.GetAddressOf(), 0) != S_OK || !monikers)
        return result;
    monikers->Skip(static_cast<ULONG>(index));
    ULONG fetched = 0;
    monikers->Next(1, result.GetAddressOf(), &fetched);
    monikers->Reset();
    return result;
}
