#!/bin/sh
# The recorder's AAC encode with FFmpeg built by gcc and by clang (scripts/build-ffmpeg.sh,
# LUMEWELL_FFMPEG_CC), side by side on a tone, a noise and speech: CPU seconds per minute of
# audio (best of RUNS), their ratio, and whether the two builds write the same packets.
#   bench/ffmpeg_compiler.sh [SECONDS] [RUNS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-60}
runs=${2:-3}
out=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-ffcc-XXXXXX")
trap 'rm -rf "$out"' EXIT
for cc in gcc clang; do
  LUMEWELL_FFMPEG_CC=$cc "$here/../scripts/build-ffmpeg.sh" "$out/$cc" >/dev/null
  c++ -std=c++20 -O2 "$here/aac_encode_cpu.cc" -I"$out/$cc/include" "$out/$cc/lib/libavcodec.a" \
    "$out/$cc/lib/libswresample.a" "$out/$cc/lib/libavutil.a" -lm -lpthread -o "$out/encode-$cc"
done
espeak-ng -w "$out/speech.wav" "We are recording the weekly meeting. The numbers for the third \
quarter are in, and the plan for next year follows after a short break." >/dev/null 2>&1
sox "$out/speech.wav" -r 48000 -c 1 -t f32 "$out/speech.f32"
for signal in tone noise "$out/speech.f32"; do
  name=$(basename "$signal" .f32)
  for cc in gcc clang; do
    best=""
    i=0
    while [ $i -lt "$runs" ]; do
      cpu=$("$out/encode-$cc" "$signal" "$seconds" "$out/$cc.aac")
      best=$(awk -v a="$cpu" -v b="${best:-$cpu}" 'BEGIN { print (a < b ? a : b) }')
      i=$((i + 1))
    done
    eval "cpu_$cc=$best"
  done
  same=$(cmp -s "$out/gcc.aac" "$out/clang.aac" && echo "identical packets" || echo "PACKETS DIFFER")
  echo "$name: gcc $cpu_gcc, clang $cpu_clang CPU-s per minute of audio;" \
    "clang/gcc $(awk -v a="$cpu_clang" -v b="$cpu_gcc" 'BEGIN { printf "%.2f", a / b }'); $same"
done
