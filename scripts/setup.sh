#!/usr/bin/env bash
# Installs every Debian package that building, running and testing tovo-control needs.
# Safe to run again: when everything is already installed it does nothing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format clang-tidy
  nlohmann-json3-dev googletest libgtest-dev libgmock-dev
  libx11-dev libxrandr-dev libxinerama-dev libxext-dev libxfixes-dev libxdamage-dev libxss-dev
  libxtst-dev libxres-dev libxcomposite-dev libatspi2.0-dev libdbus-1-dev libturbojpeg0-dev libyuv-dev libicu-dev
  libavcodec-dev libavutil-dev libswscale-dev libssl-dev libavahi-client-dev libpng-dev libpulse-dev libopus-dev
  libxrender-dev libcairo2-dev libpango1.0-dev libgtk-3-dev libayatana-appindicator3-dev libqrencode-dev
  libx11-xcb-dev libxcb-xfixes0-dev libxcb-shm0-dev libgdk-pixbuf-2.0-dev
  libwayland-dev libwayland-bin wayland-protocols
  # running on a headless desktop
  xvfb openbox dbus dbus-x11 x11-utils avahi-daemon pulseaudio pulseaudio-utils
  # tests and benchmarks
  curl python3 procps python3-gi gir1.2-glib-2.0 gir1.2-gtk-3.0 libglib2.0-bin xdotool imagemagick scrot ffmpeg xterm
  openssl avahi-utils xclip opus-tools shared-mime-info zbar-tools x11-xserver-utils lintian chromium
  sway grim wtype wl-clipboard foot
)

# Node.js and npm run the MCP client tests; a Node.js already installed (with its own npm) is
# kept, Debian's is installed otherwise.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then packages+=(nodejs npm); fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: these packages are missing: ${missing[*]}" >&2
  echo "setup: run this once as root:  sudo $(realpath "$0")" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
