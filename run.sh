#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts the host and records from the
# default microphone for RUN_SECONDS (65 by default, so a 30-second rotation is seen),
# printing each sealed segment and a live level bar. With no sound server answering, a
# private PulseAudio with a virtual microphone (a test tone) stands in, and we say so.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build-ffmpeg.sh

mkdir -p build-logs
if ! { cmake --preset default && cmake --build --preset default --target lumewell-recorder lumewellctl; } \
    >build-logs/run-build.log 2>&1; then
  tail -n 60 build-logs/run-build.log
  echo "run.sh: the build failed (full log: build-logs/run-build.log)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-run-XXXXXX")
host_pid=""
cleanup() {
  if [[ -n "$host_pid" ]] && kill -0 "$host_pid" 2>/dev/null; then
    kill -TERM "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
  fi
  if [[ -n "${LUMEWELL_PULSE_DIR:-}" ]]; then scripts/pulse-private.sh stop "$LUMEWELL_PULSE_DIR"; fi
  rm -rf "$work"
}
trap cleanup EXIT

if ! pactl info >/dev/null 2>&1; then
  echo "No sound server answers here: starting a private PulseAudio whose virtual microphone"
  echo "plays a -6 dBFS 1 kHz test tone (set RUN_FEED=--speech for spoken words)."
  eval "$(scripts/pulse-private.sh start "${RUN_FEED:---tone}")"
fi

socket="$work/host.sock"
build/bin/lumewell-recorder --socket "$socket" >"$work/host.log" 2>&1 &
host_pid=$!
for _ in $(seq 100); do
  [[ -S "$socket" ]] && break
  if ! kill -0 "$host_pid" 2>/dev/null; then
    # A host already runs in this session: our launch handed over to it. Use that one.
    host_pid=""
    socket="${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/lumewell-recorder/host.sock"
    echo "Using the Lumewell Recorder host already running in this session."
    break
  fi
  sleep 0.1
done

build/bin/lumewellctl --socket "$socket" record --seconds "${RUN_SECONDS:-65}"
