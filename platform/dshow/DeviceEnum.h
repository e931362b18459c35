#pragma once
// The system device enumerator: categories of filters and, for the video
// input category, every V4L2 device that can capture video plus the built-in
// test source. Devices are named by monikers that persist as a
// self-describing identity and bind back to the same device.

#include "platform/com/Objects.h"

#include <string>
#include <vector>

inline constexpr CLSID CLSID_SystemDeviceEnum = MakeGuid("{62BE5D10-60EB-11D0-BD3B-00A0C911CE86}");
inline constexpr CLSID CLSID_ActiveMovieCategories = MakeGuid("{DA4E3DA0-D07D-11D0-BD50-00A0C911CE86}");
inline constexpr CLSID CLSID_VideoInputDeviceCategory = MakeGuid("{860BB310-5D01-11D0-BD3B-00A0C911CE86}");
inline constexpr CLSID CLSID_AudioInputDeviceCategory = MakeGuid("{33D9A762-90C8-11D0-BD43-00A0C911CE86}");
inline constexpr CLSID CLSID_LegacyAmFilterCategory = MakeGuid("{083863F1-70DE-11D0-BD40-00A0C911CE86}");
// Class of our device monikers (what OleSaveToStream writes first).
inline constexpr CLSID CLSID_CDeviceMoniker = MakeGuid("{4315D437-5B8C-11D0-BD3B-00A0C911CE86}");
// Class ids reported in the "CLSID" key of the device property bags.
inline constexpr CLSID CLSID_VideoCaptureSource = MakeGuid("{17CCA71B-ECD7-11D0-B908-00A0C9223196}");
inline constexpr CLSID CLSID_LumoraTestSource = MakeGuid("{3D0B5C7E-6A41-4E8B-9C2F-1B7A5E0D4C21}");

struct ICreateDevEnum : IUnknown {
    static constexpr IID iid = MakeGuid("{29840822-5B84-11D0-BD3B-00A0C911CE86}");
    // S_OK with an enumerator when the category has devices; S_FALSE (and
    // no enumerator) when it is empty or unknown.
    virtual HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD flags) = 0;
};

// What a device moniker names. `kind` is "v4l2" (path = /dev/videoN) or
// "test" (the built-in test source, path empty); audio inputs have the kinds
// of AudioCapture.h.
struct DeviceIdentity {
    std::string kind;
    std::string path;
    std::string friendlyName;
    CLSID clsid = GUID_NULL;
};

inline constexpr const char* kTestSourceName = "Lumora Test Pattern";

// The devices of the video input category in enumeration order: V4L2 capture
// devices by device number, then the test source (unless LUMORA_TEST_SOURCE=0).
std::vector<DeviceIdentity> EnumerateVideoInputDevices();

// Creates the capture filter for a device (provided by the capture sources);
// riid is normally IBaseFilter.
HRESULT CreateCaptureFilter(const DeviceIdentity& device, REFIID riid, void** ppv);

// Registers (again) the enumerator and moniker classes with CoCreateInstance.
void RegisterDeviceEnumClasses();
