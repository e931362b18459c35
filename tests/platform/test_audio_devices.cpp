// The audio input category: what ties a microphone to its camera, and the
// test tone's moniker in the device enumerator.

#include "platform/dshow/AudioCapture.h"
#include "platform/dshow/DeviceEnum.h"

#include <gtest/gtest.h>

namespace {

TEST(AudioDevices, UsbDeviceOfASysfsPath)
{
    const struct {
        const char* path;
        const char* device;
    } cases[] = {
        // A camera's video interface and the sound card of its microphone interface.
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/video4linux/video0", "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1"},
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.2/sound/card1", "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1"},
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0", "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1"},
        // Behind a hub.
        {"/sys/devices/pci0000:00/0000:00:14.0/usb3/3-2/3-2.4/3-2.4:1.3/sound/card2", "/sys/devices/pci0000:00/0000:00:14.0/usb3/3-2/3-2.4"},
        // Not on USB: a PCI sound card, an empty path.
        {"/sys/devices/pci0000:00/0000:00:1f.3/sound/card0", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UsbDeviceOfSysfsPath(c.path), c.device) << c.path;
}

TEST(AudioDevices, ListedWithoutACameraMicrophoneInTheirOwnOrder)
{
    std::vector<AudioInput> inputs(2);
    inputs[0].identity.kind = inputs[1].identity.kind = "pulse";
    inputs[0].identity.path = "a";
    inputs[1].identity.path = "b";
    inputs[1].sysfsPath = "/sys/devices/pci0000:00/0000:00:1f.3/sound/card0";
    for (const char* video : {"", "/dev/video-none", "test"}) {
        const auto ordered = AudioInputsForCamera(inputs, video);
        ASSERT_EQ(ordered.size(), 2u);
        EXPECT_EQ(ordered[0].identity.path, "a") << video;
    }
}

TEST(AudioDevices, TheTestToneIsTheCategorysLastMonikerAndBindsToASource)
{
    unsetenv("LUMORA_TEST_SOURCE");
    RegisterDeviceEnumClasses();
    ComPtr<ICreateDevEnum> devEnum;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, 0, ICreateDevEnum::iid, devEnum.ReleaseAndGetVoid()), S_OK);
    ComPtr<IEnumMoniker> list;
    ASSERT_EQ(devEnum->CreateClassEnumerator(CLSID_AudioInputDeviceCategory, list.GetAddressOf(), 0), S_OK);
    ComPtr<IMoniker> last;
    for (ComPtr<IMoniker> m; list->Next(1, m.GetAddressOf(), nullptr) == S_OK;)
        last = m;
    ASSERT_TRUE(last);
    ComPtr<IPropertyBag> bag;
    ASSERT_EQ(last->BindToStorage(nullptr, nullptr, IPropertyBag::iid, bag.ReleaseAndGetVoid()), S_OK);
    VARIANT name;
    ASSERT_EQ(bag->Read("FriendlyName", &name, nullptr), S_OK);
    EXPECT_EQ(name.bstrVal, kTestToneName);

    // Stored and loaded as the program keeps a chosen device.
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateMemoryStream(nullptr, 0, stream.GetAddressOf()), S_OK);
    ASSERT_EQ(OleSaveToStream(last.As<IPersistStream>().Get(), stream.Get()), S_OK);
    stream->Seek(0, STREAM_SEEK_SET, nullptr);
    ComPtr<IMoniker> loaded;
    ASSERT_EQ(OleLoadFromStream(stream.Get(), IMoniker::iid, loaded.ReleaseAndGetVoid()), S_OK);
    ComPtr<IAudioCaptureControl> source;
    ASSERT_EQ(loaded->BindToObject(nullptr, nullptr, IAudioCaptureControl::iid, source.ReleaseAndGetVoid()), S_OK);
    EXPECT_FALSE(source->InputLost());

    // Hidden with the test pattern.
    setenv("LUMORA_TEST_SOURCE", "0", 1);
    const auto inputs = EnumerateAudioInputDevices();
    for (const auto& d : inputs)
        EXPECT_NE(d.kind, "tone");
    EXPECT_EQ(loaded->BindToObject(nullptr, nullptr, IAudioCaptureControl::iid, source.ReleaseAndGetVoid()), MK_E_UNAVAILABLE);
    unsetenv("LUMORA_TEST_SOURCE");
}

} // namespace
