// The profile manager: system profiles, writing profiles out as UTF-16 XML
// and loading edited text back.

#include "platform/wmf/WMProfile.h"

#include <gtest/gtest.h>

#include <set>

namespace {

constexpr GUID kBaseProfile = MakeGuid("{6E2A6955-81DF-4943-BA50-68A986A708F6}");

ComPtr<IWMProfileManager> Manager()
{
    ComPtr<IWMProfileManager> m;
    EXPECT_EQ(WMCreateProfileManager(m.GetAddressOf()), S_OK);
    return m;
}

std::u16string Save(IWMProfileManager* m, IWMProfile* p)
{
    DWORD length = 0;
    EXPECT_EQ(m->SaveProfile(p, nullptr, &length), S_OK);
    std::u16string text(length, u'#');
    EXPECT_EQ(m->SaveProfile(p, text.data(), &length), S_OK);
    EXPECT_EQ(text.back(), u'\0') << "the length counts the terminator";
    text.pop_back();
    return text;
}

std::vector<WMStreamFormat> Streams(IWMProfile* p)
{
    DWORD count = 0;
    EXPECT_EQ(p->GetStreamCount(&count), S_OK);
    std::vector<WMStreamFormat> out;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IWMStreamConfig> sc;
        EXPECT_EQ(p->GetStream(i, sc.GetAddressOf()), S_OK);
        WMStreamFormat f;
        EXPECT_EQ(sc->GetFormat(&f), S_OK);
        out.push_back(f);
    }
    return out;
}

TEST(ProfileManager, EverySystemProfileLoadsAndSurvivesSaveAndReload)
{
    auto m = Manager();
    std::set<std::string> names;
    for (int i = 0; i < kWMSystemProfileCount; ++i) {
        const WMSystemProfile& sp = WMSystemProfileAt(i);
        SCOPED_TRACE(sp.name);
        names.insert(sp.name);
        ComPtr<IWMProfile> p;
        ASSERT_EQ(m->LoadProfileByID(sp.id, p.GetAddressOf()), S_OK);
        GUID id;
        ASSERT_EQ(p->GetProfileID(&id), S_OK);
        EXPECT_EQ(id, sp.id);
        const auto streams = Streams(p.Get());
        ASSERT_FALSE(streams.empty());
        const std::string n = sp.name;
        const bool wantsVideo = n.find("Video") != std::string::npos;
        const bool wantsAudio = n.find("Audio") != std::string::npos
            || (wantsVideo && n.find("VideoOnly") == std::string::npos);
        bool hasVideo = false, hasAudio = false;
        for (const auto& f : streams) {
            EXPECT_GE(f.bitrate, 20000u);
            if (f.IsVideo()) {
                hasVideo = true;
                EXPECT_GT(f.FramesPerSecond(), 5.0);
                EXPECT_GT(f.maxKeyFrameSpacing, 0u);
            }
            hasAudio |= f.IsAudio();
        }
        EXPECT_EQ(hasVideo, wantsVideo);
        EXPECT_EQ(hasAudio, wantsAudio);

        ComPtr<IWMProfile> again;
        const std::u16string text = Save(m.Get(), p.Get());
        ASSERT_EQ(m->LoadProfileByData(text.c_str(), again.GetAddressOf()), S_OK);
        const auto reloaded = Streams(again.Get());
        ASSERT_EQ(reloaded.size(), streams.size());
        for (size_t s = 0; s < streams.size(); ++s) {
            EXPECT_EQ(reloaded[s].bitrate, streams[s].bitrate);
            EXPECT_EQ(reloaded[s].width, streams[s].width);
            EXPECT_EQ(reloaded[s].sampleRate, streams[s].sampleRate);
            EXPECT_EQ(reloaded[s].streamNumber, streams[s].streamNumber);
        }
        EXPECT_EQ(again->GetProfileID(&id), S_OK);
        EXPECT_EQ(id, GUID_NULL) << "a profile from text is no system profile";
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(kWMSystemProfileCount));
}

TEST(ProfileManager, BaseProfileCarriesTheAttributesTheBitrateEditsLookFor)
{
    auto m = Manager();
    ComPtr<IWMProfile> p;
    ASSERT_EQ(m->LoadProfileByID(kBaseProfile, p.GetAddressOf()), S_OK);
    const std::string xml = Utf16ToUtf8(Save(m.Get(), p.Get()));
    for (const char* attr : {" bitrate=\"32000\"", " quality=\"75\"", " right=\"240\"", " bottom=\"176\"",
             " biwidth=\"240\"", " biheight=\"176\""})
        EXPECT_NE(xml.find(attr), std::string::npos) << attr;
    const auto streams = Streams(p.Get());
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_TRUE(streams[0].IsVideo());
    EXPECT_EQ(streams[0].bitrate, 32000u);
    EXPECT_EQ(streams[0].quality, 75u);
    EXPECT_EQ(streams[0].width, 240);
    EXPECT_EQ(streams[0].height, 176);
}

TEST(ProfileManager, SaveProfileReportsLengthAndRefusesShortBuffers)
{
    auto m = Manager();
    ComPtr<IWMProfile> p;
    ASSERT_EQ(m->LoadProfileByID(kBaseProfile, p.GetAddressOf()), S_OK);
    DWORD length = 0;
    ASSERT_EQ(m->SaveProfile(p.Get(), nullptr, &length), S_OK);
    ASSERT_GT(length, 100u);
    std::u16string small(length - 1, u'#');
    DWORD shortLength = length - 1;
    EXPECT_EQ(m->SaveProfile(p.Get(), small.data(), &shortLength), ASF_E_BUFFERTOOSMALL);
    EXPECT_EQ(shortLength, length);
    EXPECT_EQ(small, std::u16string(length - 1, u'#')) << "nothing written into a short buffer";
    EXPECT_EQ(m->SaveProfile(nullptr, nullptr, &length), E_POINTER);
}

TEST(ProfileManager, UnknownIdFails)
{
    auto m = Manager();
    ComPtr<IWMProfile> p;
    EXPECT_EQ(m->LoadProfileByID(MakeGuid("{00000000-1111-2222-3333-444444444444}"), p.GetAddressOf()),
        NS_E_PROFILE_NOT_FOUND);
    EXPECT_FALSE(p);
}

// Edited text is loaded back as is; what the writer reads follows the edits.
TEST(ProfileManager, EditedTextChangesWhatTheWriterReads)
{
    auto m = Manager();
    ComPtr<IWMProfile> base;
    ASSERT_EQ(m->LoadProfileByID(kBaseProfile, base.GetAddressOf()), S_OK);
    std::string xml = Utf16ToUtf8(Save(m.Get(), base.Get()));
    auto replace = [&](const std::string& from, const std::string& to) {
        for (size_t at = xml.find(from); at != std::string::npos; at = xml.find(from, at + to.size()))
            xml.replace(at, from.size(), to);
    };
    replace("bitrate=\"32000\"", "bitrate=\"93000\"");
    replace(" quality=\"75\"", "");
    replace("biwidth=\"240\"", "biwidth=\"320\"");
    replace("biheight=\"176\"", "biheight=\"240\"");
    ComPtr<IWMProfile> edited;
    ASSERT_EQ(m->LoadProfileByData(Utf8ToUtf16(xml).c_str(), edited.GetAddressOf()), S_OK);
    const auto s = Streams(edited.Get());
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].bitrate, 93000u);
    EXPECT_EQ(s[0].quality, 0u);
    EXPECT_EQ(s[0].width, 320);
    EXPECT_EQ(s[0].height, 240);
    // Written out again, the text is the edited one.
    EXPECT_EQ(Utf16ToUtf8(Save(m.Get(), edited.Get())), xml);
}

TEST(ProfileManager, TextThatIsNoUsableProfileFailsWithoutAnObject)
{
    auto m = Manager();
    ComPtr<IWMProfile> base;
    ASSERT_EQ(m->LoadProfileByID(kBaseProfile, base.GetAddressOf()), S_OK);
    const std::string good = Utf16ToUtf8(Save(m.Get(), base.Get()));
    auto edit = [&](const std::string& from, const std::string& to) {
        std::string x = good;
        const size_t at = x.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos)
            x.replace(at, from.size(), to);
        return x;
    };
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"not XML", "bitrate=\"32000\""},
        {"truncated", good.substr(0, good.size() / 2)},
        {"other root", "<profiles/>"},
        {"no streams", "<profile name=\"x\"></profile>"},
        {"odd width", edit("biwidth=\"240\"", "biwidth=\"241\"")},
        {"zero height", edit("biheight=\"176\"", "biheight=\"0\"")},
        {"huge width", edit("biwidth=\"240\"", "biwidth=\"99999999999999999999\"")},
        {"negative bitrate", edit(" bitrate=\"32000\"", " bitrate=\"-32000\"")},
        {"bitrate missing", edit(" bitrate=\"32000\"", "")},
        {"no frame rate", edit("avgtimeperframe=\"666667\"", "avgtimeperframe=\"0\"")},
        {"unknown codec", edit(GuidToString(WMMEDIASUBTYPE_WMV2), "{00000000-0000-0000-0000-000000000000}")},
        {"unknown stream type", edit(GuidToString(WMMEDIATYPE_Video), GuidToString(WMMEDIASUBTYPE_WMV2))},
        {"stream number 0", edit("streamnumber=\"1\"", "streamnumber=\"0\"")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ComPtr<IWMProfile> p;
        EXPECT_EQ(m->LoadProfileByData(Utf8ToUtf16(c.text).c_str(), p.GetAddressOf()), NS_E_INVALID_PROFILE);
        EXPECT_FALSE(p);
    }
    // Two streams with the same number.
    std::string twice = good;
    const size_t open = twice.find("<streamconfig");
    const size_t close = twice.find("</streamconfig>") + std::string("</streamconfig>").size();
    twice.insert(close, twice.substr(open, close - open));
    ComPtr<IWMProfile> p;
    EXPECT_EQ(m->LoadProfileByData(Utf8ToUtf16(twice).c_str(), p.GetAddressOf()), NS_E_INVALID_PROFILE);
    EXPECT_EQ(m->LoadProfileByData(nullptr, p.GetAddressOf()), E_POINTER);
}

TEST(ProfileManager, Utf16ConversionKeepsNonAsciiNames)
{
    const std::string name = "Kamera \xC3\xBC\xE2\x82\xAC \xF0\x9F\x8E\xA5"; // u-umlaut, euro, a camera (surrogate pair)
    const std::u16string wide = Utf8ToUtf16(name);
    EXPECT_EQ(wide.size(), 7u + 2 + 1 + 2);
    EXPECT_EQ(Utf16ToUtf8(wide), name);
    EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx") << "a lone surrogate becomes U+FFFD";
    EXPECT_EQ(Utf8ToUtf16("\xFF"), u"\uFFFD");
}

} // namespace
