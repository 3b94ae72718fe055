#!/usr/bin/env bash
# Installs, from Debian's packages only, everything VELK needs to build, run and test.
# Idempotent and quiet: when every package is present it prints nothing and changes nothing.
# Further package names on the command line are installed with them (scripts/bench-setup.sh).
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # core libraries
  libpugixml-dev
  # audio platform: ALSA, JACK, codecs
  libasound2-dev libasound2-plugins alsa-utils libjack-jackd2-dev jackd2
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libmp3lame-dev
  # audio tools the tests read files back with
  ffmpeg sox libsox-fmt-mp3 lame sndfile-programs python3
  # windows
  qt6-base-dev xvfb xauth fonts-dejavu-core xdotool
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
# jackd2 asks whether to enable real-time priority; answer no non-interactively.
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo_cmd[@]}" debconf-set-selections
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
