#!/usr/bin/env bash
# Installs what is missing, makes a release build and starts the recorder.
# Usage: scripts/run.sh [velkasio|velkwdm] [program options]; the default is velkasio.
# Without a display the program runs headless and records every configured channel (on a machine
# without sound hardware: one virtual card); stop it with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELK_BUILD_TESTS=OFF -DVELK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
program=velkasio
if [[ $# -gt 0 && ( "$1" == velkasio || "$1" == velkwdm ) ]]; then
  program=$1
  shift
fi
args=("$@")
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  args=(--headless --record "${args[@]}")
fi
exec "$build/gui/$program" "${args[@]}"
