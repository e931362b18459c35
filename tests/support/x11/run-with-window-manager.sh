#!/bin/sh
# Runs a command on a private X server (Xvfb) with a window manager (openbox),
# so that what only a real window system does (a close from the title bar, a
# small screen) can be tested. The screen is LUMORA_X11_SCREEN (WxHxDepth,
# default 1280x1024x24). Without Xvfb or openbox the command runs all the same
# with LUMORA_NO_X11 set, and its tests that need X skip.
set -u

if ! command -v Xvfb >/dev/null 2>&1 || ! command -v openbox >/dev/null 2>&1; then
    LUMORA_NO_X11="Xvfb or openbox is not installed" exec "$@"
fi

work=$(mktemp -d)
cleanup() {
    [ -n "${wm_pid:-}" ] && kill "$wm_pid" 2>/dev/null
    [ -n "${x_pid:-}" ] && kill "$x_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The server picks a free display and writes its number when it is ready.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 "${LUMORA_X11_SCREEN:-1280x1024x24}" -nolisten tcp -noreset \
    3>"$work/display" >"$work/xvfb.log" 2>&1 &
x_pid=$!
if ! display=$(timeout 20 head -n 1 "$work/display"); then
    echo "run-with-window-manager: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$display"

openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm_pid=$!
# The manager is ready once it has claimed the screen.
tries=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ] || ! kill -0 "$wm_pid" 2>/dev/null; then
        echo "run-with-window-manager: openbox did not start" >&2
        cat "$work/openbox.log" >&2
        exit 1
    fi
    sleep 0.05
done

QT_QPA_PLATFORM=xcb "$@"
