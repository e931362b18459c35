#pragma once
// What a viewer sees on screen: a player plays the stream in a real window
// on the X display named by DISPLAY (Xvfb with a window manager, see
// tests/support/x11/run-with-window-manager.sh), the screen is grabbed
// about 60 times a second (ffmpeg's x11grab), and the test pattern's frame
// code is read from the player's window: the window of exactly the
// picture's size whose area carries a code.

#include "tests/wmf/LiveRig.h"

#include <chrono>
#include <string>
#include <vector>

namespace wmflive {

struct ScreenWatch {
    bool ok = false;
    std::string error;
    Clock::time_point connected; // player started
    // Each frame code as it first appeared on screen, in order: the time of
    // the first grab that showed it.
    struct Change {
        Clock::time_point at;
        int code;
    };
    std::vector<Change> changes;
    double grabInterval = 0; // seconds between grabs, as grabbed
};

// The player joins `url` in a window and is watched for `watch` after its
// first picture (30 s at most for the first picture). Player::Ffmpeg is
// ffplay here. `options` go before the address. VLC runs as nobody when we
// are root. The player and the grabber are stopped and reaped.
ScreenWatch WatchOnScreen(Player player, const std::string& url, int width, int height,
    const std::vector<std::string>& options, std::chrono::milliseconds watch);

} // namespace wmflive
