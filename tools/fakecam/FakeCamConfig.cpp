#include "FakeCamConfig.h"

#include <linux/videodev2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fakecam {
namespace {

// Ranges and names as a typical USB webcam reports them.
const ControlInfo kAllControls[] = {
    {V4L2_CID_BRIGHTNESS, "brightness", -64, 64, 1, 0, false, "Brightness"},
    {V4L2_CID_CONTRAST, "contrast", 0, 95, 1, 32, false, "Contrast"},
    {V4L2_CID_HUE, "hue", -2000, 2000, 1, 0, false, "Hue"},
    {V4L2_CID_SATURATION, "saturation", 0, 100, 1, 55, false, "Saturation"},
    {V4L2_CID_SHARPNESS, "sharpness", 0, 7, 1, 2, false, "Sharpness"},
    {V4L2_CID_GAMMA, "gamma", 100, 300, 1, 165, false, "Gamma"},
    {V4L2_CID_AUTO_WHITE_BALANCE, "white_balance_automatic", 0, 1, 1, 1, true, "White Balance, Automatic"},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, "white_balance", 2800, 6500, 10, 4600, false, "White Balance Temperature"},
    {V4L2_CID_BACKLIGHT_COMPENSATION, "backlight", 0, 2, 1, 1, false, "Backlight Compensation"},
    {V4L2_CID_GAIN, "gain", 0, 100, 1, 0, false, "Gain"},
};

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> Split(const std::string& s, const char* separators)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= s.size()) {
        const size_t end = s.find_first_of(separators, start);
        const std::string part = Trim(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (!part.empty())
            parts.push_back(part);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

bool ToLong(const std::string& s, long& out)
{
    char* end = nullptr;
    errno = 0;
    out = std::strtol(s.c_str(), &end, 10);
    return !s.empty() && *end == '\0' && errno == 0;
}

void Warn(const std::string& what) { std::fprintf(stderr, "fakecam: %s\n", what.c_str()); }

bool ParseSize(const std::string& text, FrameSize& size)
{
    unsigned w = 0, h = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%ux%u%n", &w, &h, &used) != 2 || w < 16 || h < 16 || w > 4096 || h > 4096 || w % 2)
        return false;
    size.width = w;
    size.height = h;
    const std::string rest = text.substr(static_cast<size_t>(used));
    if (rest.empty()) {
        size.fps = {30};
        return true;
    }
    if (rest[0] != '@')
        return false;
    for (const auto& f : Split(rest.substr(1), "/")) {
        long fps = 0;
        if (!ToLong(f, fps) || fps < 1 || fps > 240)
            return false;
        size.fps.push_back(static_cast<uint32_t>(fps));
    }
    return !size.fps.empty();
}

DeviceConfig DefaultDevice()
{
    DeviceConfig d;
    d.formats = {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG};
    d.sizes = {{640, 480, {30, 15}}, {1280, 720, {30}}, {320, 240, {15}}};
    d.controls.assign(std::begin(kAllControls), std::end(kAllControls));
    d.inputs = {"Camera 1", "Composite", "S-Video"};
    return d;
}

void SetKey(DeviceConfig& d, const std::string& key, const std::string& value)
{
    long n = 0;
    if (key == "node" && ToLong(value, n) && n >= 0 && n < 256) {
        d.node = static_cast<int>(n);
    } else if (key == "card") {
        d.card = value.substr(0, 31);
    } else if (key == "bus") {
        d.bus = value.substr(0, 31);
    } else if (key == "formats") {
        d.formats.clear();
        for (const auto& f : Split(value, " ,")) {
            if (f == "YUYV")
                d.formats.push_back(V4L2_PIX_FMT_YUYV);
            else if (f == "MJPG" || f == "MJPEG")
                d.formats.push_back(V4L2_PIX_FMT_MJPEG);
            else
                Warn("unknown format " + f);
        }
    } else if (key == "sizes") {
        d.sizes.clear();
        for (const auto& s : Split(value, " ,")) {
            FrameSize size;
            if (ParseSize(s, size))
                d.sizes.push_back(size);
            else
                Warn("bad frame size " + s);
        }
    } else if (key == "controls") {
        d.controls.clear();
        for (const auto& name : Split(value, " ,")) {
            if (name == "none")
                continue;
            bool found = false;
            for (const auto& c : kAllControls) {
                const bool wb = name == "white_balance" && c.id == V4L2_CID_AUTO_WHITE_BALANCE;
                if (name == "all" || name == c.name || wb) {
                    d.controls.push_back(c);
                    found = true;
                }
            }
            if (!found)
                Warn("unknown control " + name);
        }
    } else if (key.rfind("ctrl.", 0) == 0) {
        const std::vector<std::string> v = Split(value, ":");
        long r[4];
        bool ok = v.size() == 4;
        for (size_t i = 0; ok && i < 4; ++i)
            ok = ToLong(v[i], r[i]);
        ok = ok && r[0] <= r[3] && r[3] <= r[1] && r[2] > 0;
        bool found = false;
        for (auto& c : d.controls)
            if (ok && c.name == key.substr(5)) {
                c.minimum = static_cast<int32_t>(r[0]);
                c.maximum = static_cast<int32_t>(r[1]);
                c.step = static_cast<int32_t>(r[2]);
                c.def = static_cast<int32_t>(r[3]);
                found = true;
            }
        if (!found)
            Warn("bad control range " + key + "=" + value);
    } else if (key == "inputs") {
        d.inputs = Split(value, ",");
    } else if (key == "lose_after" && ToLong(value, n) && n >= 0) {
        d.loseAfter = n;
    } else if (key == "lose_times" && ToLong(value, n) && n >= 0) {
        d.loseTimes = static_cast<int>(n);
    } else if (key == "on_signal") {
        d.onSignal = value == "1";
    } else if (key == "return_after_ms" && ToLong(value, n) && n >= 0) {
        d.returnAfterMs = n;
    } else if (key == "return_node" && ToLong(value, n) && n >= 0 && n < 256) {
        d.returnNode = static_cast<int>(n);
    } else if (key == "busy") {
        d.busy = value == "1";
    } else if (key == "refuse_format") {
        d.refuseFormat = value == "1";
    } else {
        Warn("unknown or malformed setting " + key + "=" + value);
    }
}

} // namespace

const char* ControlName(uint32_t id)
{
    for (const auto& c : kAllControls)
        if (c.id == id)
            return c.name.c_str();
    return "unknown";
}

std::vector<DeviceConfig> ParseConfig(const std::string& text, bool oneLine)
{
    std::vector<DeviceConfig> devices;
    auto apply = [&](const std::string& line) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            Warn("no '=' in " + line);
            return;
        }
        if (devices.empty())
            devices.push_back(DefaultDevice());
        SetKey(devices.back(), Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    };
    if (oneLine) {
        for (const auto& device : Split(text, "|")) {
            devices.push_back(DefaultDevice());
            for (const auto& kv : Split(device, ";"))
                apply(kv);
        }
    } else {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            line = Trim(line.substr(0, line.find('#')));
            if (line.empty())
                continue;
            if (line == "[device]")
                devices.push_back(DefaultDevice());
            else
                apply(line);
        }
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        auto& d = devices[i];
        if (d.bus.empty())
            d.bus = "usb-fakecam-" + std::to_string(i + 1);
        if (d.formats.empty())
            d.formats = {V4L2_PIX_FMT_YUYV};
        if (d.sizes.empty())
            d.sizes = {{640, 480, {30}}};
        if (d.inputs.empty())
            d.inputs = {"Camera 1"};
    }
    return devices;
}

std::vector<DeviceConfig> LoadConfig()
{
    if (const char* file = std::getenv("FAKECAM_CONFIG"); file && *file) {
        std::ifstream in(file);
        if (!in) {
            Warn(std::string("cannot read ") + file);
            return {};
        }
        std::stringstream text;
        text << in.rdbuf();
        return ParseConfig(text.str(), false);
    }
    if (const char* line = std::getenv("FAKECAM_DEVICES"); line && *line)
        return std::strcmp(line, "none") == 0 ? std::vector<DeviceConfig>{} : ParseConfig(line, true);
    return {DefaultDevice()};
}

} // namespace fakecam
