#!/usr/bin/env bash
# The check for threaded changes: builds the core, recording-files, engine and program suites
# with ThreadSanitizer in build/tsan and runs them. A report fails the run; tests/tsan.supp
# silences only what uninstrumented third-party libraries (JACK) synchronise out of its sight.
# Arguments go to every suite (for example --gtest_filter=...).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_SANITIZE=thread -DVELK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target velk_core_tests velk_recfiles_tests velk_engine_tests velk_app_tests
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}
export TZ=Europe/Berlin
for suite in core recfiles engine app; do
    "$build/tests/velk_${suite}_tests" "$@"
done
