#!/bin/sh
# CPU seconds per recorded minute of the application capture (bench/app_capture_tool: one
# player's stream through its sink monitor, mixed and AAC-encoded at 192 kbit/s stereo)
# beside the microphone recorder in the same stereo 192k setting (bench/mic_record_tool), on
# a private PulseAudio. A paplay of a -6 dBFS 660 Hz tone is the captured application.
#   bench/app_capture_cpu.sh [BUILD_DIR] [SECONDS]
# app_capture_tool is compiled here from the build's libraries when the build has none.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$here/..
build=${1:-$root/build}
seconds=${2:-60}
mic=$build/bin/mic_record_tool
[ -x "$mic" ] || { echo "build mic_record_tool first" >&2; exit 1; }
out=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-appbench-XXXXXX")
app=$build/bin/app_capture_tool
if [ ! -x "$app" ]; then
  app=$out/app_capture_tool
  c++ -std=c++20 -O2 -I"$root/src" "$here/app_capture_tool.cc" -o "$app" \
    "$build/lib/liblumewell_app_audio.a" "$build/lib/liblumewell_media.a" \
    "$build/lib/liblumewell_runtime.a" \
    $(pkg-config --cflags --libs libpulse glib-2.0 gio-2.0 libavformat libavcodec libavutil \
      libswresample libcrypto) -pthread
fi

eval "$("$root/scripts/pulse-private.sh" start --tone)"
player=
cleanup() {
  [ -n "$player" ] && kill "$player" 2>/dev/null || true
  "$root/scripts/pulse-private.sh" stop "$LUMEWELL_PULSE_DIR"
  rm -rf "$out"
}
trap cleanup EXIT

sox -n -r 48000 -c 2 -b 16 "$out/tone.wav" synth $((seconds + 30)) sine 660 vol 0.5
paplay --client-name=Bench --latency-msec=20 -d vsink "$out/tone.wav" &
player=$!
sleep 1

cpu_of() {  # COMMAND...: its report line's cpu_s_per_min
  "$@" >"$out/log" 2>&1 || { cat "$out/log" >&2; exit 1; }
  sed -n 's/.*cpu_s_per_min=\([0-9.]*\).*/\1/p' "$out/log"
}
appcpu=$(cpu_of "$app" "$player" "$out/app.m4a" "$seconds")
miccpu=$(cpu_of "$mic" "$out/mic.m4a" "$seconds" 2)
echo "recorded ${seconds}s each; CPU seconds per recorded minute (user+sys of the process)"
printf '%-48s %8s\n' "application capture (1 stream, stereo 192k)" "$appcpu"
printf '%-48s %8s\n' "microphone recorder (stereo 192k)" "$miccpu"
awk -v a="$appcpu" -v m="$miccpu" 'BEGIN { printf "ratio app/mic: %.2f\n", a / m }'
