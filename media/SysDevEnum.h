#pragma once
// Device enumeration: the devices of one category as a list of entries
// (friendly name and class id), and a freshly enumerated moniker per index.

#include "platform/com/Objects.h"

#include <array>
#include <string>
#include <vector>

// One enumerated device or category; a fixed-size record copied by value.
// The name holds at most 255 bytes, as a short string does.
struct TDeviceEntry {
    static constexpr size_t MaxNameLength = 255;
    std::string FriendlyName;
    GUID CLSID = GUID_NULL;
};

class TSysDevEnum {
public:
    // Enumerates the category of categories, then selects `category`.
    explicit TSysDevEnum(const GUID& category);

    void SelectCategory(const GUID& category);
    int DeviceCount() const { return static_cast<int>(m_deviceList.size()); }
    // Raises the list index error outside 0..DeviceCount-1.
    TDeviceEntry DeviceInfo(int index) const;
    // A freshly enumerated moniker, or nil outside the range or when the
    // category can no longer be enumerated.
    ComPtr<IMoniker> DeviceMoniker(int index) const;

    const std::vector<TDeviceEntry>& CategoryList() const { return m_categoryList; }
    const GUID& SelectedCategory() const { return m_category; }

private:
    static void EnumerateCategory(const GUID& category, std::vector<TDeviceEntry>& list);

    GUID m_category = GUID_NULL;
    std::vector<TDeviceEntry> m_categoryList;
    std::vector<TDeviceEntry> m_deviceList;
};
