#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo need.
# Idempotent: asks apt only for what is missing, and updates the package lists only then.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config g++ clang
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # media
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  # key masking script
  python3
  # crypto and archives
  libssl-dev openssl libzip-dev zip unzip
  # X11 capture
  libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-randr0-dev libxcb-composite0-dev
  libxcb-xfixes0-dev xvfb x11-utils
  # sound
  libpulse-dev pulseaudio pulseaudio-utils
  # Intel Media SDK types for the native QSV encoder (headers only; no dispatcher is linked)
  libvpl-dev
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

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
