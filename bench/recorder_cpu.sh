#!/bin/sh
# CPU seconds per recorded minute: the product's microphone recorder (libpulse + FFmpeg AAC,
# bench/mic_record_tool) against the ffmpeg program reading the same private PulseAudio
# source, each recording the same virtual microphone (a -6 dBFS 1 kHz tone) for SECONDS.
# ffmpeg's pulse input defaults to 2 channels, so the like-for-like ratios name the layout;
# the last line compares with the plain `ffmpeg -f pulse -i default -c:a aac -b:a 128k`.
#   bench/recorder_cpu.sh [BUILD_DIR] [SECONDS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
seconds=${2:-60}
tool=$build/bin/mic_record_tool
[ -x "$tool" ] || { echo "build mic_record_tool first (cmake --build $build --target mic_record_tool)" >&2; exit 1; }

out=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-bench-XXXXXX")
eval "$("$here/../scripts/pulse-private.sh" start --tone)"
trap '"$here/../scripts/pulse-private.sh" stop "$LUMEWELL_PULSE_DIR"; rm -rf "$out"' EXIT

cpu_of() {  # COMMAND...: user+system CPU seconds of the command (and its children)
  /usr/bin/time -f "%U %S" -o "$out/time" "$@" >"$out/log" 2>&1 || { cat "$out/log" >&2; exit 1; }
  awk '{ printf "%.3f", $1 + $2 }' "$out/time"
}
per_min() { awk -v c="$1" -v s="$seconds" 'BEGIN { printf "%.3f", c / (s / 60) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

ours1=$(cpu_of "$tool" "$out/ours-mono.m4a" "$seconds" 1)
ffm1=$(cpu_of ffmpeg -nostdin -v error -f pulse -channels 1 -sample_rate 48000 -i default \
  -c:a aac -b:a 128k -t "$seconds" -y "$out/ffmpeg-mono.m4a")
ours2=$(cpu_of "$tool" "$out/ours-stereo.m4a" "$seconds" 2)
ffm3=$(cpu_of ffmpeg -nostdin -v error -f pulse -channels 2 -sample_rate 48000 -i default \
  -c:a aac -b:a 192k -t "$seconds" -y "$out/ffmpeg-stereo.m4a")
ffm2=$(cpu_of ffmpeg -nostdin -v error -f pulse -i default -c:a aac -b:a 128k -t "$seconds" \
  -y "$out/ffmpeg-default.m4a")

echo "recorded ${seconds}s each; CPU seconds per recorded minute (user+sys)"
printf '%-44s %8s\n' "ours, mono 128k" "$(per_min "$ours1")"
printf '%-44s %8s\n' "ffmpeg -f pulse -channels 1 ... -b:a 128k" "$(per_min "$ffm1")"
printf '%-44s %8s\n' "ours, stereo 192k" "$(per_min "$ours2")"
printf '%-44s %8s\n' "ffmpeg -f pulse -channels 2 ... -b:a 192k" "$(per_min "$ffm3")"
printf '%-44s %8s\n' "ffmpeg -f pulse -i default -c:a aac -b:a 128k" "$(per_min "$ffm2")"
echo "ratio ours/ffmpeg, mono 128k:        $(ratio "$ours1" "$ffm1")"
echo "ratio ours/ffmpeg, stereo 192k:      $(ratio "$ours2" "$ffm3")"
echo "ratio ours mono / ffmpeg's defaults: $(ratio "$ours1" "$ffm2")"
