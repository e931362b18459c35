// The audio input category: the sound server's sources (asked through
// libpulse's introspection, which also gives each source's sysfs path for
// matching a camera's microphone), ALSA capture devices when no server
// answers, and the test tone.

#include "platform/dshow/AudioCapture.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

bool TestToneEnabled()
{
    const char* v = std::getenv("LUMORA_TEST_SOURCE");
    return !(v && std::strcmp(v, "0") == 0);
}

struct PulseQuery {
    std::vector<AudioInput> sources;
    bool done = false;
};

void OnSource(pa_context*, const pa_source_info* info, int eol, void* user)
{
    auto* q = static_cast<PulseQuery*>(user);
    if (eol) {
        q->done = true;
        return;
    }
    if (!info || !info->name)
        return;
    AudioInput input;
    DeviceIdentity& d = input.identity;
    d.kind = "pulse";
    d.path = info->name;
    d.friendlyName = info->description && *info->description ? info->description : info->name;
    d.clsid = CLSID_AudioCaptureSource;
    if (const char* sysfs = pa_proplist_gets(info->proplist, "sysfs.path"))
        input.sysfsPath = std::string("/sys") + sysfs;
    q->sources.push_back(std::move(input));
}

// The server's sources; false when no server answers within the deadline.
bool ListPulseSources(std::vector<AudioInput>& out)
{
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop)
        return false;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Lumora");
    PulseQuery query;
    bool answered = false;
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        pa_operation* op = nullptr;
        while (std::chrono::steady_clock::now() < deadline) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && !op)
                op = pa_context_get_source_info_list(context, &OnSource, &query);
            if (query.done) {
                answered = true;
                break;
            }
            // Bounded waits: a server that stops answering cannot hold us.
            if (pa_mainloop_prepare(loop, 100000) < 0 || pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0)
                break;
        }
        if (op)
            pa_operation_unref(op);
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    if (answered)
        out = std::move(query.sources);
    return answered;
}

// ALSA capture devices from /proc/asound/pcm ("CC-DD: id : name : playback 1 : capture 1").
std::vector<AudioInput> ListAlsaCaptureDevices()
{
    std::vector<AudioInput> out;
    std::ifstream pcm("/proc/asound/pcm");
    std::string line;
    while (std::getline(pcm, line)) {
        if (line.find("capture") == std::string::npos || line.size() < 6 || line[2] != '-')
            continue;
        const int card = std::atoi(line.substr(0, 2).c_str()), device = std::atoi(line.substr(3, 2).c_str());
        std::string name;
        const size_t a = line.find(": "), b = a == std::string::npos ? a : line.find(" : ", a + 2);
        if (b != std::string::npos) {
            const size_t c = line.find(" : ", b + 3);
            name = line.substr(b + 3, c == std::string::npos ? std::string::npos : c - b - 3);
        }
        AudioInput input;
        DeviceIdentity& d = input.identity;
        d.kind = "alsa";
        d.path = "plughw:" + std::to_string(card) + "," + std::to_string(device);
        d.friendlyName = (name.empty() ? std::string("ALSA") : name) + " (hw:" + std::to_string(card) + "," +
                         std::to_string(device) + ")";
        d.clsid = CLSID_AudioCaptureSource;
        input.sysfsPath = "/sys/class/sound/card" + std::to_string(card) + "/device";
        out.push_back(std::move(input));
    }
    return out;
}

std::string RealPath(const std::string& path)
{
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

} // namespace

std::vector<AudioInput> EnumerateAudioInputs()
{
    std::vector<AudioInput> inputs;
    if (!ListPulseSources(inputs))
        inputs = ListAlsaCaptureDevices();
    if (TestToneEnabled()) {
        AudioInput tone;
        tone.identity.kind = "tone";
        tone.identity.friendlyName = kTestToneName;
        tone.identity.clsid = CLSID_LumoraTestTone;
        inputs.push_back(std::move(tone));
    }
    return inputs;
}

std::vector<DeviceIdentity> EnumerateAudioInputDevices()
{
    std::vector<DeviceIdentity> devices;
    for (AudioInput& input : EnumerateAudioInputs())
        devices.push_back(std::move(input.identity));
    return devices;
}

std::string UsbDeviceOfSysfsPath(const std::string& path)
{
    // A USB interface directory is named after its device: "1-1.4:1.2" under
    // "1-1.4". The device is the directory just above the first interface.
    std::vector<std::string> parts;
    std::stringstream in(path);
    for (std::string part; std::getline(in, part, '/');)
        parts.push_back(part);
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string& parent = parts[i - 1];
        const std::string& name = parts[i];
        if (!parent.empty() && name.size() > parent.size() + 1 && name.compare(0, parent.size(), parent) == 0 &&
            name[parent.size()] == ':') {
            std::string device;
            for (size_t j = 0; j < i; ++j)
                device += (j ? "/" : "") + parts[j];
            return device;
        }
    }
    return {};
}

std::vector<AudioInput> AudioInputsForCamera(std::vector<AudioInput> inputs, const std::string& videoPath)
{
    if (videoPath.rfind("/dev/", 0) != 0)
        return inputs;
    const std::string node = videoPath.substr(5);
    const std::string camera = UsbDeviceOfSysfsPath(RealPath("/sys/class/video4linux/" + node + "/device"));
    if (camera.empty())
        return inputs;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].sysfsPath.empty())
            continue;
        const std::string real = RealPath(inputs[i].sysfsPath);
        if (UsbDeviceOfSysfsPath(real.empty() ? inputs[i].sysfsPath : real) == camera) {
            AudioInput mic = std::move(inputs[i]);
            inputs.erase(inputs.begin() + static_cast<std::ptrdiff_t>(i));
            inputs.insert(inputs.begin(), std::move(mic));
            break;
        }
    }
    return inputs;
}
