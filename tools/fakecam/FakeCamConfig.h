#pragma once
// What each emulated camera offers, read from FAKECAM_CONFIG (a file) or
// FAKECAM_DEVICES (the same keys on one line). Without either, one camera
// "Lumora Fake Camera": YUYV and MJPEG at 640x480 and 1280x720 at 30 fps and
// 320x240 at 15 fps, every picture control, three video inputs.
//
// File form: a "[device]" line starts each device, then "key = value" lines;
// '#' starts a comment. One-line form: devices separated by '|', keys by ';'.
//
//   node            N: the device is /dev/videoN (default: the first free number)
//   card            card name reported by VIDIOC_QUERYCAP
//   bus             bus info (default "usb-fakecam-K", K counting from 1)
//   formats         pixel formats in order: YUYV, MJPG (or MJPEG)
//   sizes           frame sizes with their rates, the first is the current one:
//                   "640x480@30/15 1280x720@30 320x240@15"
//   controls        "all", "none" or names: brightness contrast hue saturation
//                   sharpness gamma white_balance (with its auto control)
//                   backlight gain
//   ctrl.NAME       "min:max:step:default" replaces a control's range
//   inputs          video input names separated by ',' ("Camera 1" if empty)
//   lose_after      the device disappears after delivering this many frames
//   lose_times      how often lose_after applies (default 1)
//   on_signal       1: SIGUSR1 makes the device disappear, the next one return
//   return_after_ms a lost device comes back after this many milliseconds
//   return_node     N: a returning device comes back as /dev/videoN
//   busy            1: another program holds the device (S_FMT/REQBUFS: EBUSY)
//   refuse_format   1: S_FMT refuses every format (EINVAL)

#include <cstdint>
#include <string>
#include <vector>

namespace fakecam {

struct FrameSize {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint32_t> fps; // frames per second, first is the default
};

struct ControlInfo {
    uint32_t id = 0;
    std::string name;
    int32_t minimum = 0, maximum = 0, step = 1, def = 0;
    bool boolean = false;
    std::string label; // the name VIDIOC_QUERYCTRL answers, as uvcvideo gives it
};

struct DeviceConfig {
    int node = -1;
    std::string card = "Lumora Fake Camera";
    std::string bus;
    std::vector<uint32_t> formats;
    std::vector<FrameSize> sizes;
    std::vector<ControlInfo> controls;
    std::vector<std::string> inputs;
    long loseAfter = -1;
    int loseTimes = 1;
    bool onSignal = false;
    long returnAfterMs = -1;
    int returnNode = -1;
    bool busy = false;
    bool refuseFormat = false;
};

// Parses configuration text; `oneLine` selects the FAKECAM_DEVICES form.
// Unknown keys and malformed values are reported on stderr and skipped.
std::vector<DeviceConfig> ParseConfig(const std::string& text, bool oneLine);
// The configuration of this process (environment, or the default camera).
std::vector<DeviceConfig> LoadConfig();

const char* ControlName(uint32_t id);

} // namespace fakecam
