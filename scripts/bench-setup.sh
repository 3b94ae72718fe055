#!/usr/bin/env bash
# Installs, from Debian's packages only, what the benchmarks use beyond the build and the tests:
# jack_capture (the baseline bench/jack_bench runs beside the recorder) and perf (profiling).
# Not part of scripts/test.sh. Idempotent and quiet when everything is present.
set -euo pipefail
exec bash "$(dirname "$0")/install-deps.sh" jack-capture linux-perf
