#pragma once
// Reaching the emulated camera from a test program it is preloaded into: its
// control functions are looked up at run time, so the test links nothing of
// it and reports plainly when it was not preloaded.

#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace fakecamctl {

template <class F>
F Function(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_DEFAULT, name));
}

inline bool Loaded() { return Function<int (*)()>("fakecam_device_count") != nullptr; }

// Replaces the emulated devices (FAKECAM_DEVICES form); false while one is open.
inline bool Configure(const std::string& devices)
{
    ::setenv("FAKECAM_DEVICES", devices.c_str(), 1);
    auto reload = Function<int (*)()>("fakecam_reload");
    return reload && reload() == 0;
}

inline void SetPresent(int device, bool present)
{
    if (auto f = Function<int (*)(int, int)>("fakecam_set_present"))
        f(device, present ? 1 : 0);
}

// The device's value of a control (by its configuration name), or -99999.
inline int Control(int device, const char* name)
{
    int value = -99999;
    if (auto f = Function<int (*)(int, const char*, int*)>("fakecam_control"))
        f(device, name, &value);
    return value;
}

// The selected input; `sets` receives how often VIDIOC_S_INPUT was called.
inline int Input(int device, int* sets)
{
    auto f = Function<int (*)(int, int*)>("fakecam_input");
    return f ? f(device, sets) : -1;
}

// Frames the device has delivered so far.
inline long Frames(int device)
{
    auto f = Function<long (*)(int)>("fakecam_frames");
    return f ? f(device) : -1;
}

// CPU time (ns) this process spent drawing the device's frames.
inline long long DrawNs(int device)
{
    auto f = Function<long long (*)(int)>("fakecam_draw_ns");
    return f ? f(device) : -1;
}

} // namespace fakecamctl
