#!/usr/bin/env bash
# Installs what is missing, builds the default and the sanitizer presets, and runs every
# test in both. The tests start the servers they need themselves (a private PulseAudio with
# a virtual microphone, a loopback HTTP server, a private D-Bus session) and stop them by
# process id. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh

logs=build-logs
mkdir -p "$logs"
build() {
  local preset=$1
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$logs/$preset.log" 2>&1; then
    tail -n 60 "$logs/$preset.log"
    echo "test.sh: the $preset build failed (full log: $logs/$preset.log)" >&2
    exit 1
  fi
}
build default
build asan

# GLib and libpulse keep a few process-lifetime allocations; leaks are not what this run checks.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
echo "== unit and integration tests (default build)"
ctest --preset default -j2 -LE integration || status=1
ctest --preset default -L integration || status=1
echo "== unit and integration tests (AddressSanitizer + UndefinedBehaviorSanitizer build)"
ctest --preset asan -j2 -LE integration || status=1
ctest --preset asan -L integration || status=1
exit $status
