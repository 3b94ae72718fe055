#!/usr/bin/env bash
# Installs, from Debian's packages only, what the benchmarks use beyond the build and the tests:
# jack_capture (the baseline bench/jack_bench runs beside the recorder) and perf (profiling).
# Not part of scripts/test.sh. Idempotent and quiet when everything is present.
set -euo pipefail

packages=(jack-capture linux-perf)

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
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo_cmd[@]}" debconf-set-selections
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
