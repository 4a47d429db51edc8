#!/bin/sh
# The recorder's AAC encode with two builds of the FFmpeg copy (scripts/build-ffmpeg.sh), side
# by side on a tone, a noise and speech: CPU seconds per minute of audio (best of RUNS), their
# ratio, and whether the two builds write the same packets. A build is named by its compiler,
# with "-unpatched" for the release as Debian ships it (LUMEWELL_FFMPEG_PATCHES=none):
#   bench/ffmpeg_builds.sh [SECONDS] [RUNS] [BUILD_A BUILD_B]
#   bench/ffmpeg_builds.sh 60 3 gcc clang                # the compiler
#   bench/ffmpeg_builds.sh 60 3 clang-unpatched clang    # the encoder patches
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-60}
runs=${2:-3}
a=${3:-gcc}
b=${4:-clang}
out=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-ffbuilds-XXXXXX")
trap 'rm -rf "$out"' EXIT
for build in "$a" "$b"; do
  case $build in
    *-unpatched) cc=${build%-unpatched} patches=none ;;
    *) cc=$build patches= ;;
  esac
  LUMEWELL_FFMPEG_CC=$cc LUMEWELL_FFMPEG_PATCHES=$patches \
    "$here/../scripts/build-ffmpeg.sh" "$out/$build" >/dev/null
  c++ -std=c++20 -O2 "$here/aac_encode_cpu.cc" -I"$out/$build/include" \
    "$out/$build/lib/libavcodec.a" "$out/$build/lib/libswresample.a" \
    "$out/$build/lib/libavutil.a" -lm -lpthread -o "$out/encode-$build"
done
espeak-ng -w "$out/speech.wav" "We are recording the weekly meeting. The numbers for the third \
quarter are in, and the plan for next year follows after a short break." >/dev/null 2>&1
sox "$out/speech.wav" -r 48000 -c 1 -t f32 "$out/speech.f32"
best() {  # build signal: the lowest CPU of RUNS encodes
  lowest=""
  i=0
  while [ $i -lt "$runs" ]; do
    cpu=$("$out/encode-$1" "$2" "$seconds" "$out/$1.aac")
    lowest=$(awk -v x="$cpu" -v y="${lowest:-$cpu}" 'BEGIN { print (x < y ? x : y) }')
    i=$((i + 1))
  done
  echo "$lowest"
}
for signal in tone noise "$out/speech.f32"; do
  cpu_a=$(best "$a" "$signal")
  cpu_b=$(best "$b" "$signal")
  same=$(cmp -s "$out/$a.aac" "$out/$b.aac" && echo "identical packets" || echo "packets differ")
  echo "$(basename "$signal" .f32): $a $cpu_a, $b $cpu_b CPU-s per minute of audio;" \
    "$b/$a $(awk -v x="$cpu_b" -v y="$cpu_a" 'BEGIN { printf "%.2f", x / y }'); $same"
done
