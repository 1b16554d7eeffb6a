#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Pavonix needs.
# Quick when everything is present: only missing packages go to apt.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake pkg-config git
  # libraries the program links
  libbullet-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev libopencv-videoio-dev
  libpng-dev zlib1g-dev libdeflate-dev
  freeglut3-dev libglu1-mesa-dev libgl-dev libgl1-mesa-dri
  libgtk-3-dev
  # sound: songs decoded with FFmpeg's libraries, played through SDL's audio
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libsdl2-dev
  # recording: pictures converted for the encoders (H.264 comes with Debian's libavcodec)
  libswscale-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg-dev libapriltag-dev libopencv-calib3d-dev
  xvfb xauth xdotool
  ffmpeg
  desktop-file-utils
  # the house check reads the includes with a small script
  python3
  # the Debian package: cpack's dependency scan runs dpkg-shlibdeps (dpkg-dev) on the
  # programs it finds with file
  dpkg-dev file
  # sanitizers and fuzzing
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
