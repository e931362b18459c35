#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking Lumora
# needs. Idempotent: when everything is present it only runs dpkg-query.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libavdevice-dev libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
  libswresample-dev
  ffmpeg
  libpugixml-dev
  libjpeg62-turbo-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  fonts-liberation fontconfig
  python3 python3-pyftpdlib python3-openssl
  libgif-dev imagemagick curl
  clang libclang-rt-14-dev
  libssl-dev
  cmark
  vsftpd nginx libnginx-mod-rtmp chromium nodejs firefox-esr
  desktop-file-utils appstream man-db librsvg2-bin
  mpv vlc-bin vlc-plugin-base vlc-plugin-video-output iproute2
  libpulse-dev pulseaudio pulseaudio-utils
  lintian
  libminiupnpc-dev libnatpmp-dev nftables miniupnpc natpmpc miniupnpd-nftables
  xvfb xauth openbox wmctrl x11-utils xdotool
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
