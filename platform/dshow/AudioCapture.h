#pragma once
// Audio inputs: the audio input category of the device enumerator and the
// audio capture source filter bound from its monikers.
//
// Kinds of audio device identity (DeviceIdentity::kind / path):
//   "pulse"  a source of the sound server (PulseAudio, or PipeWire through
//            its PulseAudio protocol); path = the source's name
//   "alsa"   an ALSA capture device, listed only when no sound server
//            answers; path = "plughw:CARD,DEVICE"
//   "tone"   the built-in "Lumora Test Tone"; path empty
//
// The source has one output pin, "Capture" (capture category), of 16-bit
// PCM, mono or stereo, 8000 to 48000 Hz: it takes whatever rate and channel
// count its downstream pin asks for (the sound server or ALSA's plug layer
// converts). Sample times are stream times on the graph's capture clock,
// the clock the video sources stamp their frames with, and follow each other
// without gaps. A device that fails or goes away is replaced by silence
// (EC_DEVICE_LOST, param1 = the filter, param2 1) and reopened by the source
// once a second; when it delivers again, EC_DEVICE_LOST follows with
// param2 0.

#include "platform/dshow/DShow.h"
#include "platform/dshow/DeviceEnum.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

inline constexpr CLSID CLSID_AudioCaptureSource = MakeGuid("{E30629D2-27E5-11CE-875D-00608CB78066}");
inline constexpr CLSID CLSID_LumoraTestTone = MakeGuid("{8C1F4E62-2B7D-4F3A-A5E9-6D0B3C7A9E14}");
inline constexpr const char* kTestToneName = "Lumora Test Tone";

// The test tone: a quiet continuous tone, and a louder beep of another pitch
// starting exactly at every whole second of stream time.
inline constexpr double kTestToneHz = 440.0;
inline constexpr double kTestToneBeepHz = 1000.0;
inline constexpr int64_t kTestToneBeepLength = 1000000; // 100 ms, 100-ns units

// An audio input as listed, with the sysfs path of its hardware when the
// listing knows it: what ties a camera's microphone to the camera.
struct AudioInput {
    DeviceIdentity identity;
    std::string sysfsPath;
};

// The audio inputs in enumeration order: the sound server's sources in its
// own order (or, without a server, the ALSA capture devices by card and
// device number), then the test tone (unless LUMORA_TEST_SOURCE=0). Asking
// the sound server takes at most about 2 s.
std::vector<AudioInput> EnumerateAudioInputs();
// Their identities: the devices of the audio input category.
std::vector<DeviceIdentity> EnumerateAudioInputDevices();

// The same list with the microphone of the camera at `videoPath`
// (/dev/videoN) moved to the front: a sound server source or ALSA card on
// the same USB device. Unchanged when there is none.
std::vector<AudioInput> AudioInputsForCamera(std::vector<AudioInput> inputs, const std::string& videoPath);

// The sysfs path of the USB device that a sysfs path lies under (an
// interface such as ".../usb1/1-1/1-1:1.2/sound/card1" belongs to
// ".../usb1/1-1"); "" when the path is not under a USB device.
std::string UsbDeviceOfSysfsPath(const std::string& path);

// Creates the audio capture source for an identity of the kinds above.
HRESULT CreateAudioCaptureSource(const DeviceIdentity& device, REFIID riid, void** ppv);

// What the program asks of an audio capture source beside the graph.
struct IAudioCaptureControl : IUnknown {
    static constexpr IID iid = MakeGuid("{5A0E7B13-94C2-4D8B-8F61-2C3D4E5F6A70}");
    // Interleaved samples as delivered (silence while muted or lost);
    // `time` is the stream time of the first frame. Called on the source's
    // streaming thread; must return at once. Set while stopped.
    using Listener = std::function<void(const int16_t* samples, size_t frames, int channels, int sampleRate, int64_t time)>;
    virtual void SetListener(Listener listener) = 0;
    // Muted: the stream goes on with silence. Any thread.
    virtual void SetMuted(bool muted) = 0;
    // Peak of the input over the last buffer, 0..32768 (before muting, so a
    // muted input still shows that it hears something). Any thread.
    virtual int PeakLevel() = 0;
    // True while the device is lost and silence stands in for it.
    virtual bool InputLost() = 0;
};
