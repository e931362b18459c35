#include "media/SysDevEnum.h"
#include "platform/core/Exception.h"
#include "platform/dshow/DeviceEnum.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Shows or hides the built-in test source for one test.
class TestSourceSwitch {
public:
    explicit TestSourceSwitch(bool on) { setenv("LUMORA_TEST_SOURCE", on ? "1" : "0", 1); }
    ~TestSourceSwitch() { unsetenv("LUMORA_TEST_SOURCE"); }
};

std::string FriendlyNameOf(IMoniker* m)
{
    ComPtr<IPropertyBag> bag;
    if (FAILED(m->BindToStorage(nullptr, nullptr, IPropertyBag::iid, bag.ReleaseAndGetVoid())))
        return "<no bag>";
    VARIANT v;
    bag->Read("FriendlyName", &v, nullptr);
    return v.bstrVal;
}

TEST(SysDevEnum, ListsTheTestSourceLast)
{
    TestSourceSwitch on(true);
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    ASSERT_GE(devices.DeviceCount(), 1);
    const TDeviceEntry last = devices.DeviceInfo(devices.DeviceCount() - 1);
    EXPECT_EQ(last.FriendlyName, "Lumora Test Pattern");
    EXPECT_EQ(last.CLSID, CLSID_LumoraTestSource);
    EXPECT_FALSE(devices.CategoryList().empty());

    ComPtr<IMoniker> m = devices.DeviceMoniker(devices.DeviceCount() - 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(FriendlyNameOf(m.Get()), "Lumora Test Pattern");

    for (int bad : {-1, devices.DeviceCount()}) {
        EXPECT_FALSE(devices.DeviceMoniker(bad)) << bad;
        EXPECT_THROW(devices.DeviceInfo(bad), EListError) << bad;
    }
}

TEST(SysDevEnum, WithoutDevicesEverythingIsEmpty)
{
    TestSourceSwitch off(false);
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    const int v4l2 = static_cast<int>(EnumerateVideoInputDevices().size());
    EXPECT_EQ(devices.DeviceCount(), v4l2);
    if (v4l2 == 0) {
        EXPECT_FALSE(devices.DeviceMoniker(0));
        EXPECT_THROW(devices.DeviceInfo(0), EListError);
    }
    // An unknown category is empty too.
    devices.SelectCategory(MakeGuid("{00000000-1111-2222-3333-444444444444}"));
    EXPECT_EQ(devices.DeviceCount(), 0);
}

TEST(SysDevEnum, MonikerRoundTripsThroughAStream)
{
    TestSourceSwitch on(true);
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    ComPtr<IMoniker> m = devices.DeviceMoniker(devices.DeviceCount() - 1);
    ASSERT_TRUE(m);
    ComPtr<IPersistStream> persist = m.As<IPersistStream>();
    ASSERT_TRUE(persist);

    ComPtr<IStream> stream;
    CreateMemoryStream(nullptr, 0, stream.GetAddressOf());
    ASSERT_EQ(OleSaveToStream(persist.Get(), stream.Get()), S_OK);
    const std::vector<uint8_t> bytes = MemoryStreamBytes(stream.Get());
    ASSERT_GT(bytes.size(), 16u);

    ComPtr<IStream> in;
    CreateMemoryStream(bytes.data(), bytes.size(), in.GetAddressOf());
    ComPtr<IMoniker> back;
    ASSERT_EQ(OleLoadFromStream(in.Get(), IMoniker::iid, back.ReleaseAndGetVoid()), S_OK);
    std::string a, b;
    m->GetDisplayName(nullptr, nullptr, &a);
    back->GetDisplayName(nullptr, nullptr, &b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(FriendlyNameOf(back.Get()), "Lumora Test Pattern");

    // A stored block cut short does not load.
    for (size_t cut : {size_t{17}, bytes.size() - 1}) {
        ComPtr<IStream> shortStream;
        CreateMemoryStream(bytes.data(), cut, shortStream.GetAddressOf());
        ComPtr<IMoniker> none;
        EXPECT_TRUE(FAILED(OleLoadFromStream(shortStream.Get(), IMoniker::iid, none.ReleaseAndGetVoid()))) << cut;
    }
}

// A stand-in enumerator with devices the machine does not have: one with a
// very long name and one whose property bag gives no name at all.
struct FakeMoniker final : ComObject<IMoniker> {
    explicit FakeMoniker(std::string n) : name(std::move(n)) {}
    std::string name;
    HRESULT GetClassID(CLSID*) override { return E_NOTIMPL; }
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(IStream*) override { return E_NOTIMPL; }
    HRESULT Save(IStream*, BOOL) override { return E_NOTIMPL; }
    HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT GetDisplayName(IBindCtx*, IMoniker*, std::string* n) override { *n = name; return S_OK; }
    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override;
};
struct FakeBag final : ComObject<IPropertyBag> {
    explicit FakeBag(std::string n) : name(std::move(n)) {}
    std::string name;
    HRESULT Read(const char* key, VARIANT* v, IErrorLog*) override
    {
        if (std::string(key) != "FriendlyName" || name == "<none>")
            return E_INVALIDARG;
        v->vt = VT_BSTR;
        v->bstrVal = name;
        return S_OK;
    }
    HRESULT Write(const char*, const VARIANT*) override { return E_NOTIMPL; }
};
HRESULT FakeMoniker::BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv)
{
    ComPtr<FakeBag> bag = ComPtr<FakeBag>::Adopt(NewComObject<FakeBag>(name));
    return bag->QueryInterface(riid, ppv);
}
struct FakeEnum final : ComObject<IEnumMoniker> {
    std::vector<std::string> names{std::string(300, 'n'), "<none>"};
    size_t pos = 0;
    HRESULT Next(ULONG, IMoniker** out, ULONG* fetched) override
    {
        if (pos >= names.size()) {
            *fetched = 0;
            return S_FALSE;
        }
        *out = NewComObject<FakeMoniker>(names[pos++]);
        *fetched = 1;
        return S_OK;
    }
    HRESULT Skip(ULONG n) override { pos += n; return S_OK; }
    HRESULT Reset() override { pos = 0; return S_OK; }
};
struct FakeDevEnum final : ComObject<ICreateDevEnum> {
    HRESULT CreateClassEnumerator(REFCLSID, IEnumMoniker** out, DWORD) override
    {
        *out = NewComObject<FakeEnum>();
        return S_OK;
    }
};

TEST(SysDevEnum, LongAndMissingNames)
{
    CoRegisterClass(CLSID_SystemDeviceEnum, [](REFIID riid, void** ppv) {
        ComPtr<FakeDevEnum> e = ComPtr<FakeDevEnum>::Adopt(NewComObject<FakeDevEnum>());
        return e->QueryInterface(riid, ppv);
    });
    struct Restore {
        ~Restore() { RegisterDeviceEnumClasses(); }
    } restore;
    // The constructor registers the real classes; select again with the fake.
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    CoRegisterClass(CLSID_SystemDeviceEnum, [](REFIID riid, void** ppv) {
        ComPtr<FakeDevEnum> e = ComPtr<FakeDevEnum>::Adopt(NewComObject<FakeDevEnum>());
        return e->QueryInterface(riid, ppv);
    });
    devices.SelectCategory(CLSID_VideoInputDeviceCategory);
    ASSERT_EQ(devices.DeviceCount(), 2);
    EXPECT_EQ(devices.DeviceInfo(0).FriendlyName, std::string(255, 'n'));
    EXPECT_EQ(devices.DeviceInfo(0).CLSID, GUID_NULL) << "no CLSID key gives GUID_NULL";
    EXPECT_EQ(devices.DeviceInfo(1).FriendlyName, "") << "not the previous device's name";
    ComPtr<IMoniker> second = devices.DeviceMoniker(1);
    ASSERT_TRUE(second);
    std::string name;
    second->GetDisplayName(nullptr, nullptr, &name);
    EXPECT_EQ(name, "<none>") << "the moniker is re-enumerated at its index";
}

} // namespace
