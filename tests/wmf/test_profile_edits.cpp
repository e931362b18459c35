// The bitrate list: profile text edits per row, and cbProfilesClick in the
// main window building the stream profile the writer is configured with.

#include "app/Unit1Profiles.h"
#include "media/ASFWriter.h"
#include "tests/app/AppFixture.h"

#include <QComboBox>

namespace {

const std::string kBase =
    "<profile name=\"x\"><streamconfig bitrate=\"32000\" bufferwindow=\"5000\">"
    "<videomediaprops maxkeyframespacing=\"80000000\" quality=\"75\"/>"
    "<videoinfoheader dwbitrate=\"32000\"><rcsource left=\"0\" top=\"0\" right=\"240\" bottom=\"176\"/>"
    "<rctarget left=\"0\" top=\"0\" right=\"240\" bottom=\"176\"/><bitmapinfoheader biwidth=\"240\" biheight=\"176\"/>"
    "</videoinfoheader></streamconfig></profile>";

std::string Expected(const char* rate, bool large)
{
    const char* w = large ? "320" : "240";
    const char* h = large ? "240" : "176";
    return std::string("<profile name=\"x\"><streamconfig bitrate=\"") + rate + "\" bufferwindow=\"5000\">"
        "<videomediaprops maxkeyframespacing=\"80000000\" />"
        "<videoinfoheader dwbitrate=\"" + rate + "\"><rcsource left=\"0\" top=\"0\" right=\"" + w + "\" bottom=\"" + h + "\"/>"
        "<rctarget left=\"0\" top=\"0\" right=\"" + w + "\" bottom=\"" + h + "\"/><bitmapinfoheader biwidth=\"" + w
        + "\" biheight=\"" + h + "\"/></videoinfoheader></streamconfig></profile>";
}

TEST(ProfileEdits, EveryRowAndNoSelection)
{
    const struct {
        int row;
        const char* rate;
        bool large;
    } rows[] = {{0, "256000", true}, {1, "128000", true}, {2, "93000", true}, {3, "56000", true}, {4, "32000", true},
        {5, "28800", false}, {6, "20000", false}, {-1, "32000", true}, {7, "32000", false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.row);
        EXPECT_EQ(EditProfileText(kBase, r.row), Expected(r.rate, r.large));
        EXPECT_EQ(EditProfileText(kBase, r.row), EditProfileText(kBase, r.row)) << "the same text each time";
    }
}

TEST(ProfileEdits, PatternsIgnoreCaseAndMissingOnesChangeNothing)
{
    EXPECT_EQ(EditProfileText("<s Bitrate=\"32000\" QUALITY=\"75\" BiWidth=\"240\"/>", 2),
        "<s bitrate=\"93000\"  biwidth=\"320\"/>");
    const std::string other = "<profile><streamconfig bitrate=\"64000\"><bitmapinfoheader biwidth=\"176\"/></streamconfig></profile>";
    EXPECT_EQ(EditProfileText(other, 0), other);
    EXPECT_EQ(ReplaceAllNoCase("aaaa", "aa", "a"), "aa") << "no rescan of what was put in";
    EXPECT_EQ(ReplaceAllNoCase("abc", "", "x"), "abc");
}

class ProfileList : public AppFixture {};

TEST_F(ProfileList, ClickBuildsTheStreamProfileForTheRow)
{
    TForm1& form = Open();
    const struct {
        int row;
        DWORD bitrate;
        int width, height;
    } rows[] = {{0, 256000, 320, 240}, {2, 93000, 320, 240}, {4, 32000, 320, 240}, {5, 28800, 240, 176},
        {6, 20000, 240, 176}, {-1, 32000, 320, 240}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.row);
        form.cbProfiles->setCurrentIndex(r.row);
        form.cbProfilesClick();
        EXPECT_EQ(form.ProfileIndex, r.row);
        auto profile = QueryInterfacePtr<IWMProfile>(form.StreamProfile.Get());
        ASSERT_TRUE(profile);
        ComPtr<IWMStreamConfig> stream;
        ASSERT_EQ(profile->GetStream(0, stream.GetAddressOf()), S_OK);
        WMStreamFormat f;
        stream->GetFormat(&f);
        EXPECT_EQ(f.bitrate, r.bitrate);
        EXPECT_EQ(f.width, r.width);
        EXPECT_EQ(f.height, r.height);
        EXPECT_EQ(f.quality, 0u) << "quality removed";
        GUID id;
        profile->GetProfileID(&id);
        EXPECT_EQ(ProfileIndexFromGuid(id), 255) << "an edited profile, not the system one";
    }
}

} // namespace
