#include "platform/com/Objects.h"

#include <gtest/gtest.h>

namespace {

TEST(Guid, ParseAndFormatRoundTrip)
{
    constexpr GUID g = MakeGuid("{860BB310-5D01-11D0-BD3B-00A0C911CE86}");
    EXPECT_EQ(GuidToString(g), "{860BB310-5D01-11D0-BD3B-00A0C911CE86}");
    GUID parsed;
    ASSERT_TRUE(GuidFromString("{860bb310-5d01-11d0-bd3b-00a0c911ce86}", parsed));
    EXPECT_EQ(parsed, g);
    for (const char* bad : {"", "860BB310-5D01-11D0-BD3B-00A0C911CE86", "{860BB310-5D01-11D0-BD3B-00A0C911CE8}",
                            "{860BB310+5D01-11D0-BD3B-00A0C911CE86}", "{860BB31G-5D01-11D0-BD3B-00A0C911CE86}"}) {
        EXPECT_FALSE(GuidFromString(bad, parsed)) << bad;
        EXPECT_EQ(parsed, GUID_NULL);
    }
    CLSID c;
    EXPECT_TRUE(FAILED(CLSIDFromString("nonsense", &c)));
}

struct IFoo : IUnknown {
    static constexpr IID iid = MakeGuid("{11111111-0000-0000-0000-000000000001}");
    virtual int Foo() = 0;
};
struct IFooEx : IFoo {
    using Base = IFoo;
    static constexpr IID iid = MakeGuid("{11111111-0000-0000-0000-000000000002}");
    virtual int FooEx() = 0;
};
struct IBar : IUnknown {
    static constexpr IID iid = MakeGuid("{11111111-0000-0000-0000-000000000003}");
    virtual int Bar() = 0;
};

int g_alive = 0;
class Thing final : public ComObject<IFooEx, IBar> {
public:
    Thing() { ++g_alive; }
    ~Thing() override { --g_alive; }
    int Foo() override { return 1; }
    int FooEx() override { return 2; }
    int Bar() override { return 3; }
};

TEST(ComObject, AnswersListedInterfacesAndBasesAndCountsReferences)
{
    {
        ComPtr<IFooEx> fooEx = ComPtr<IFooEx>::Adopt(NewComObject<Thing>());
        ASSERT_EQ(g_alive, 1);
        ComPtr<IFoo> foo = fooEx.As<IFoo>(); // the base of a listed interface
        ASSERT_TRUE(foo);
        EXPECT_EQ(foo->Foo(), 1);
        ComPtr<IBar> bar = foo.As<IBar>();
        ASSERT_TRUE(bar);
        EXPECT_EQ(bar->Bar(), 3);
        ComPtr<IUnknown> a = fooEx.As<IUnknown>();
        ComPtr<IUnknown> b = bar.As<IUnknown>();
        EXPECT_EQ(a.Get(), b.Get()) << "IUnknown identity is one pointer";
        ComPtr<IStream> none;
        EXPECT_EQ(fooEx.As(none), E_NOINTERFACE);
        EXPECT_FALSE(none);
    }
    EXPECT_EQ(g_alive, 0);
}

TEST(ComObject, RegistryCreatesAndRejects)
{
    const CLSID cls = MakeGuid("{11111111-0000-0000-0000-0000000000AA}");
    ComPtr<IBar> bar;
    EXPECT_EQ(CoCreateInstance(cls, nullptr, CLSCTX_INPROC_SERVER, IBar::iid, bar.ReleaseAndGetVoid()),
              REGDB_E_CLASSNOTREG);
    CoRegisterClass(cls, [](REFIID riid, void** ppv) {
        ComPtr<Thing> t = ComPtr<Thing>::Adopt(NewComObject<Thing>());
        return t->QueryInterface(riid, ppv);
    });
    bar = CoCreate<IBar>(cls);
    ASSERT_TRUE(bar);
    EXPECT_EQ(bar->Bar(), 3);
    ComPtr<IStream> wrong;
    EXPECT_EQ(CoCreateInstance(cls, nullptr, CLSCTX_INPROC_SERVER, IStream::iid, wrong.ReleaseAndGetVoid()),
              E_NOINTERFACE);
    bar.Reset();
    EXPECT_EQ(g_alive, 0) << "a failed creation does not leak the object";
}

TEST(MemoryStream, ReadsWritesSeeks)
{
    ComPtr<IStream> s;
    ASSERT_EQ(CreateMemoryStream(nullptr, 0, s.GetAddressOf()), S_OK);
    ULONG n = 0;
    ASSERT_EQ(s->Write("hello", 5, &n), S_OK);
    EXPECT_EQ(n, 5u);
    uint64_t pos = 0;
    ASSERT_EQ(s->Seek(1, STREAM_SEEK_SET, &pos), S_OK);
    char buf[8] = {};
    EXPECT_EQ(s->Read(buf, 8, &n), S_FALSE) << "a short read is not S_OK";
    EXPECT_EQ(std::string(buf, n), "ello");
    EXPECT_EQ(s->Seek(-10, STREAM_SEEK_CUR, nullptr), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(MemoryStreamBytes(s.Get()), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

TEST(Persistence, LoadRejectsTruncatedAndUnknownData)
{
    ComPtr<IStream> s;
    CreateMemoryStream("\x01\x02", 2, s.GetAddressOf());
    ComPtr<IMoniker> m;
    EXPECT_TRUE(FAILED(OleLoadFromStream(s.Get(), IMoniker::iid, m.ReleaseAndGetVoid())));
    const uint8_t unknownClass[16] = {0xde, 0xad};
    CreateMemoryStream(unknownClass, 16, s.GetAddressOf());
    EXPECT_EQ(OleLoadFromStream(s.Get(), IMoniker::iid, m.ReleaseAndGetVoid()), REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(m);
}

} // namespace
