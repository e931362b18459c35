#pragma once
// Windows Media profiles: the profile manager, profile objects and their
// stream configurations, with the 27 Windows Media 8 system profiles.
//
// A profile is XML text in our own vocabulary:
//
//   <profile version="589824" storageformat="1" name="..." description="...">
//     <streamconfig majortype="{video or audio major type}" streamnumber="1"
//                   streamname="Video Stream" inputname="Video409"
//                   bitrate="32000" bufferwindow="5000" ...>
//       <videomediaprops maxkeyframespacing="80000000" quality="75"/>
//       <wmmediatype subtype="{WMV2}" ...>
//         <videoinfoheader dwbitrate="32000" avgtimeperframe="666667">
//           <rcsource left="0" top="0" right="240" bottom="176"/>
//           <rctarget left="0" top="0" right="240" bottom="176"/>
//           <bitmapinfoheader biwidth="240" biheight="176" bicompression="WMV2" .../>
//         </videoinfoheader>
//       </wmmediatype>
//     </streamconfig>
//     <streamconfig majortype="{audio}" ...>
//       <wmmediatype subtype="{WMA2}" ...>
//         <waveformatex wformattag="353" nchannels="2" nsamplespersec="32000" .../>
//       </wmmediatype>
//     </streamconfig>
//   </profile>
//
// Profile objects are immutable once loaded and may be read from any thread.

#include "platform/com/ComPtr.h"

#include <string>
#include <vector>

using WCHAR = char16_t;
using QWORD = uint64_t;
using WORD = uint16_t;
using BYTE = uint8_t;

// Result codes of the runtime beyond the common ones.
inline constexpr HRESULT NS_E_INVALID_REQUEST = MakeHResult(0xC00D002B);
inline constexpr HRESULT ASF_E_BUFFERTOOSMALL = MakeHResult(0xC00D07F0);
inline constexpr HRESULT NS_E_PROFILE_NOT_FOUND = MakeHResult(0xC00D0BB4);
inline constexpr HRESULT NS_E_INVALID_PROFILE = MakeHResult(0xC00D0BB5);
inline constexpr HRESULT NS_E_NETWORK_RESOURCE_FAILURE = MakeHResult(0xC00D0FA0);
inline constexpr HRESULT NS_E_INVALID_OPERATION = MakeHResult(0xC00D0038);

// Major types and subtypes that profiles name.
inline constexpr GUID WMMEDIATYPE_Video = MakeGuid("{73646976-0000-0010-8000-00AA00389B71}");
inline constexpr GUID WMMEDIATYPE_Audio = MakeGuid("{73647561-0000-0010-8000-00AA00389B71}");
inline constexpr GUID WMMEDIASUBTYPE_WMV2 = MakeGuid("{32564D57-0000-0010-8000-00AA00389B71}");
inline constexpr GUID WMMEDIASUBTYPE_WMAudioV8 = MakeGuid("{00000161-0000-0010-8000-00AA00389B71}");

// What the writer needs to know about one stream of a profile. Video fields
// are zero for audio streams and the other way round.
struct WMStreamFormat {
    GUID majorType = GUID_NULL;
    GUID subtype = GUID_NULL;
    WORD streamNumber = 0;
    std::string streamName;
    std::string inputName;
    DWORD bitrate = 0;             // bits per second
    DWORD bufferWindowMs = 0;      // rate-control buffer, milliseconds
    // video
    int width = 0;
    int height = 0;
    QWORD avgTimePerFrame = 0;     // 100-ns units
    QWORD maxKeyFrameSpacing = 0;  // 100-ns units; 0 = encoder's choice
    DWORD quality = 0;             // 0..100; 0 when the profile names none
    // audio
    int sampleRate = 0;
    int channels = 0;

    bool IsVideo() const { return majorType == WMMEDIATYPE_Video; }
    bool IsAudio() const { return majorType == WMMEDIATYPE_Audio; }
    double FramesPerSecond() const { return avgTimePerFrame ? 1e7 / static_cast<double>(avgTimePerFrame) : 0.0; }
};

struct IWMStreamConfig : IUnknown {
    static constexpr IID iid = MakeGuid("{96406BDC-2B2B-11D3-B36B-00C04F6108FF}");
    virtual HRESULT GetStreamType(GUID* type) = 0;
    virtual HRESULT GetStreamNumber(WORD* number) = 0;
    virtual HRESULT GetBitrate(DWORD* bitrate) = 0;
    virtual HRESULT GetBufferWindow(DWORD* milliseconds) = 0;
    // The whole description of the stream (our addition; the platform spreads
    // it over several media-properties interfaces).
    virtual HRESULT GetFormat(WMStreamFormat* format) = 0;
};

struct IWMProfile : IUnknown {
    static constexpr IID iid = MakeGuid("{96406BDB-2B2B-11D3-B36B-00C04F6108FF}");
    virtual HRESULT GetName(std::string* name) = 0;
    virtual HRESULT GetDescription(std::string* description) = 0;
    virtual HRESULT GetStreamCount(DWORD* count) = 0;
    virtual HRESULT GetStream(DWORD index, IWMStreamConfig** config) = 0;
    // The system profile GUID this profile was loaded from; GUID_NULL for a
    // profile loaded from text (our addition, used by the writer).
    virtual HRESULT GetProfileID(GUID* id) = 0;
};

struct IWMProfileManager : IUnknown {
    static constexpr IID iid = MakeGuid("{D16679F2-6CA0-472D-8D31-2F5D55AEE155}");
    // A system profile by its GUID; NS_E_PROFILE_NOT_FOUND for others.
    virtual HRESULT LoadProfileByID(REFGUID id, IWMProfile** profile) = 0;
    // A profile from zero-terminated UTF-16 XML text; NS_E_INVALID_PROFILE
    // (and no object) for text that does not describe a usable profile.
    virtual HRESULT LoadProfileByData(const WCHAR* text, IWMProfile** profile) = 0;
    // The profile as zero-terminated UTF-16 XML. With text == nullptr only
    // *length is set: the characters needed, terminator included. With a
    // buffer, *length must hold its size in characters (ASF_E_BUFFERTOOSMALL
    // otherwise, with the needed length written back).
    virtual HRESULT SaveProfile(IWMProfile* profile, WCHAR* text, DWORD* length) = 0;
    virtual HRESULT GetSystemProfileCount(DWORD* count) = 0;
    virtual HRESULT LoadSystemProfile(DWORD index, IWMProfile** profile) = 0;
};

HRESULT WMCreateProfileManager(IWMProfileManager** manager);

// The system profiles in the order of the writer's profile table.
struct WMSystemProfile {
    const char* name;
    GUID id;
};
inline constexpr int kWMSystemProfileCount = 27;
const WMSystemProfile& WMSystemProfileAt(int index);

// Reads a profile's XML (UTF-8) into stream formats; false with a reason for
// text that does not describe a usable profile.
bool ParseProfileXml(const std::string& xml, std::string* name, std::string* description,
    std::vector<WMStreamFormat>* streams, std::string* error);

// UTF-16 <-> UTF-8 conversions used at the profile manager's boundary.
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);
