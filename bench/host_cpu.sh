#!/bin/sh
# The host process itself recording as the Dart side drives it (lumewellctl record: one
# client listening to the level events), beside `ffmpeg -f pulse` recording the same private
# PulseAudio microphone at the same time:
#   - a 5 s recording started 0.3 s after the host launches: the length it holds;
#   - CPU seconds per recorded minute of the host (from /proc, the client excluded) and of
#     ffmpeg, and their ratio; the host's RSS each minute and its growth from minute 5 on;
#   - with MODE "both", the same in the application mode (a paplay player as the
#     application), as a ratio to the microphone-only run.
# The microphone is paced like a real one: its feed plays with a 200 ms latency, so the
# source delivers at the lowest latency its recorders ask for (ffmpeg's 50 ms here; the host
# asks for 100 ms pieces), not in the 5 ms pieces of the tests' low-latency feed
# (LUMEWELL_FEED_LATENCY_MS=20 measures that case).
#   bench/host_cpu.sh [BUILD_DIR] [SECONDS] [mic|both]
set -eu
export LUMEWELL_FEED_LATENCY_MS="${LUMEWELL_FEED_LATENCY_MS:-200}"
echo "microphone feed latency: ${LUMEWELL_FEED_LATENCY_MS} ms"
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
seconds=${2:-180}
mode=${3:-mic}
host=$build/bin/lumewell-recorder
ctl=$build/bin/lumewellctl
[ -x "$host" ] && [ -x "$ctl" ] || { echo "build lumewell-recorder and lumewellctl first" >&2; exit 1; }

out=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-hostbench-XXXXXX")
eval "$("$here/../scripts/pulse-private.sh" start --tone)"
host_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; wait "$host_pid" 2>/dev/null || true; fi
  "$here/../scripts/pulse-private.sh" stop "$LUMEWELL_PULSE_DIR"
  rm -rf "$out"
}
trap cleanup EXIT
export XDG_DATA_HOME="$out/data" XDG_RUNTIME_DIR="$out/run" XDG_CONFIG_HOME="$out/config"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$out/no-bus"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
socket=$out/host.sock
tick=$(getconf CLK_TCK)

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
lengths() {  # LOG: the seconds of every sealed segment lumewellctl printed
  awk '$1 == "segment" { print $3 }' "$1"
}

# A recording started 0.3 s after the launch.
"$host" --socket "$socket" >"$out/host.log" 2>&1 &
host_pid=$!
sleep 0.3
"$ctl" --socket "$socket" record --seconds 5 --id early >"$out/early.log" 2>&1 || { cat "$out/early.log" >&2; exit 1; }
early=$(lengths "$out/early.log" | awk '{ s += $1 } END { printf "%.0f", s * 1000 }')
echo "5 s recording started 0.3 s after launch holds: ${early} ms"

record() {  # NAME [--app NAME]: records $seconds beside ffmpeg; prints CPU/min and RSS
  name=$1
  shift
  before=$(cpu_ticks "$host_pid")
  "$ctl" --socket "$socket" record --seconds "$seconds" --id "$name" "$@" >"$out/$name.log" 2>&1 &
  ctl_pid=$!
  : >"$out/$name.rss"
  elapsed=0
  while kill -0 "$ctl_pid" 2>/dev/null; do
    sleep 1
    elapsed=$((elapsed + 1))
    [ $((elapsed % 60)) -eq 0 ] && echo "$((elapsed / 60)) $(rss_kib "$host_pid")" >>"$out/$name.rss"
  done
  wait "$ctl_pid" || { cat "$out/$name.log" >&2; exit 1; }
  after=$(cpu_ticks "$host_pid")
  recorded=$(lengths "$out/$name.log" | awk '{ s += $1 } END { print s }')
  host_cpu=$(awk -v a="$before" -v b="$after" -v t="$tick" -v s="$recorded" \
    'BEGIN { printf "%.3f", (b - a) / t / (s / 60) }')
  echo "$name: recorded ${recorded} s; host ${host_cpu} CPU-s per recorded minute"
  echo "$host_cpu" >"$out/$name.cpu"
  awk 'NR == 1 { first = $2 } { printf "  minute %d: RSS %.1f MiB\n", $1, $2 / 1024; if ($1 == 5) five = $2; last = $2 }
       END { if (five) printf "  RSS growth from minute 5 to the end: %.2f MiB\n", (last - five) / 1024 }' "$out/$name.rss"
}

# ffmpeg recording the same source at the same time, its CPU from the time program.
/usr/bin/time -f "%U %S" -o "$out/ffmpeg.time" ffmpeg -nostdin -v error -f pulse -channels 1 \
  -sample_rate 48000 -i default -c:a aac -b:a 128k -t "$seconds" -y "$out/ffmpeg.m4a" &
ffmpeg_pid=$!
record mic
wait "$ffmpeg_pid" || true
ffmpeg_cpu=$(awk -v s="$seconds" '{ printf "%.3f", ($1 + $2) / (s / 60) }' "$out/ffmpeg.time")
mic_cpu=$(cat "$out/mic.cpu")
echo "ffmpeg -f pulse -channels 1 -c:a aac -b:a 128k: ${ffmpeg_cpu} CPU-s per recorded minute"
echo "ratio host/ffmpeg (MIC_ONLY): $(awk -v a="$mic_cpu" -v b="$ffmpeg_cpu" 'BEGIN { printf "%.2f", a / b }')"

if [ "$mode" = both ]; then
  sox -q -n -r 48000 -c 2 -b 16 "$out/app.wav" synth 600 sine 440 gain -12
  env PULSE_SERVER="$PULSE_SERVER" paplay --client-name="Bench Player" -d vsink "$out/app.wav" &
  app_pid=$!
  sleep 1
  record app --app "Bench Player"
  app_cpu=$(cat "$out/app.cpu")
  echo "ratio MIC_PLUS_APP_AUDIO / MIC_ONLY: $(awk -v a="$app_cpu" -v b="$mic_cpu" 'BEGIN { printf "%.2f", a / b }')"
fi
