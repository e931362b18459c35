// The "Network bitrate" list: rebuilds the stream profile for the chosen row.

#include "app/Unit1Profiles.h"

#include "app/AudioProfile.h"
#include "app/Unit1.h"
#include "app/Unit1Audio.h"
#include "media/ASFWriter.h"
#include "platform/core/Text.h"

#include <QComboBox>

const char* ProfileBitrateText(int row)
{
    static const char* const rates[] = {"256000", "128000", "93000", "56000", "32000", "28800", "20000"};
    return row >= 0 && row < 7 ? rates[row] : "32000";
}

std::string ReplaceAllNoCase(const std::string& text, const std::string& pattern, const std::string& replacement)
{
    if (pattern.empty())
        return text;
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (asciitext::StartsText(std::string_view(text).substr(i), pattern)) {
            out += replacement;
            i += pattern.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string EditProfileText(const std::string& xml, int row)
{
    std::string text = ReplaceAllNoCase(xml, "bitrate=\"32000\"", std::string("bitrate=\"") + ProfileBitrateText(row) + "\"");
    text = ReplaceAllNoCase(text, "quality=\"75\"", "");
    if (row < 5) {
        text = ReplaceAllNoCase(text, "right=\"240\"", "right=\"320\"");
        text = ReplaceAllNoCase(text, "bottom=\"176\"", "bottom=\"240\"");
        text = ReplaceAllNoCase(text, "biwidth=\"240\"", "biwidth=\"320\"");
        text = ReplaceAllNoCase(text, "biheight=\"176\"", "biheight=\"240\"");
    }
    return text;
}

void TForm1::cbProfilesClick()
{
    const int row = cbProfiles->currentIndex();
    // Saved with the settings even when the profile cannot be built.
    ProfileIndex = row;

    ComPtr<IWMProfileManager> manager;
    if (FAILED(WMCreateProfileManager(manager.GetAddressOf())) || !manager)
        return;

    StreamProfile = nullptr;
    ComPtr<IWMProfile> profile;
    manager->LoadProfileByID(WMProfiles8Guid(wmp_V80_56VideoOnly), profile.GetAddressOf());
    StreamProfile = ComPtr<IUnknown>(profile.Get());

    DWORD length = 0;
    std::u16string text;
    if (profile && SUCCEEDED(manager->SaveProfile(profile.Get(), nullptr, &length)) && length > 0) {
        text.assign(length, u'\0');
        if (FAILED(manager->SaveProfile(profile.Get(), text.data(), &length)))
            text.clear();
        text.resize(std::char_traits<char16_t>::length(text.c_str()));
    }

    std::string xml = EditProfileText(Utf16ToUtf8(text), row);
    if (Audio && Audio->On())
        xml = AddAudioToProfileText(xml, row);
    const std::u16string edited = Utf8ToUtf16(xml);

    StreamProfile = nullptr;
    ComPtr<IWMProfile> loaded;
    manager->LoadProfileByData(edited.c_str(), loaded.GetAddressOf());
    StreamProfile = ComPtr<IUnknown>(loaded.Get());
}
