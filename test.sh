#!/usr/bin/env bash
# Installs what is missing, builds the default, the sanitizer and the release presets, and runs
# every test of the first two. The tests start the servers they need themselves (a private
# PulseAudio or PipeWire with a virtual microphone, a loopback HTTP server, a private D-Bus
# session) and stop them by process id. The sound-server tests run once against PulseAudio and
# once against PipeWire's pulse server. Ends with one line per preset and test group, and exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build-ffmpeg.sh

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
build release # -O3, warnings as errors: built, not run

# GLib and libpulse keep a few process-lifetime allocations; leaks are not what this run checks.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

summary=()
total_passed=0
total_failed=0
# run PRESET GROUP CTEST-ARGS...: runs one group and notes its counts from ctest's own summary.
run() {
  local preset=$1 group=$2
  shift 2
  local log="$logs/ctest-$preset-$group.log"
  echo "== $preset: $group"
  ctest --preset "$preset" "$@" 2>&1 | tee "$log" || true
  local line passed failed
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [[ -z "$line" ]]; then
    passed=0
    failed=1 # ctest did not get as far as running tests
  else
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
    passed=$(($(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line") - failed))
  fi
  summary+=("$preset-$group: $passed passed, $failed failed")
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
}
for preset in default asan; do
  run "$preset" unit -j2 -L unit
  run "$preset" host -L host
  run "$preset" pulseaudio -L pulseaudio
  run "$preset" pipewire -L pipewire
done

echo
printf '%s\n' "${summary[@]}"
echo "total: $total_passed passed, $total_failed failed"
[[ $total_failed -eq 0 ]]
