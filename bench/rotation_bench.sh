#!/bin/sh
# Segment rotation on the real services, each run against its own private PulseAudio
# (bench/rotation_bench): the seal latency (segment timer to "segment_sealed", ROTATIONS
# rotations of SEGMENT seconds, a -6 dBFS 1 kHz tone on the virtual microphone) in the
# microphone-only mode with the capture handed over and with stop-then-record, and in the
# application mode (a paplay player as the source, mixed in as it arrives); then the samples
# of the microphone lost at each join of 10 rotations, from -6 dBFS noise that is found again
# in the sealed files, in both modes.
#   bench/rotation_bench.sh [BUILD_DIR] [ROTATIONS] [SEGMENT]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rotations=${2:-20}
segment=${3:-1}
tool=$build/bin/rotation_bench
[ -x "$tool" ] || { echo "build rotation_bench first (cmake --build $build --target rotation_bench)" >&2; exit 1; }

out=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-rotation-XXXXXX")
trap 'rm -rf "$out"' EXIT

field() {  # FILE LINE-TAG KEY: the value of KEY= on the line starting with LINE-TAG
  awk -v tag="$2" -v key="$3" '$1 == tag { for (i = 2; i <= NF; i++) { split($i, kv, "=");
    if (kv[1] == key) print kv[2] } }' "$1"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "-"; else printf "%.2f", a / b }'; }

run() {  # NAME ARGS...: runs the tool, keeps its output in $out/NAME
  name=$1
  shift
  "$tool" "$@" >"$out/$name" 2>"$out/$name.err" || { cat "$out/$name" "$out/$name.err" >&2; exit 1; }
}

run mic-on --mode mic --handover on --rotations "$rotations" --segment "$segment"
run mic-off --mode mic --handover off --rotations "$rotations" --segment "$segment"
run app --mode app --rotations "$rotations" --segment "$segment"
run gap-on --mode mic --handover on --rotations 10 --segment "$segment" --signal noise
run gap-off --mode mic --handover off --rotations 10 --segment "$segment" --signal noise
run gap-app --mode app --rotations 10 --segment "$segment" --signal noise

echo "seal latency, segment timer -> \"segment_sealed\", $rotations rotations of ${segment}s (ms)"
printf '%-40s %8s %8s\n' "" median max
for name in mic-on mic-off app; do
  case $name in
    mic-on) label="mic-only, capture handed over" ;;
    mic-off) label="mic-only, stop-then-record (reference)" ;;
    app) label="application mode, live mix" ;;
  esac
  printf '%-40s %8s %8s\n' "$label" "$(field "$out/$name" SEAL median_ms)" \
    "$(field "$out/$name" SEAL max_ms)"
done
echo "ratio mic-only handed over / stop-then-record, median: $(ratio \
  "$(field "$out/mic-on" SEAL median_ms)" "$(field "$out/mic-off" SEAL median_ms)")"
for name in mic-on mic-off; do
  printf 'main-thread steps, %s (median ms): handover %s, stop %s, next record %s, sha256 %s, duration %s\n' \
    "$name" "$(field "$out/$name" STEPS handover_median_ms)" "$(field "$out/$name" STEPS stop_median_ms)" \
    "$(field "$out/$name" STEPS record_median_ms)" "$(field "$out/$name" STEPS sha256_median_ms)" \
    "$(field "$out/$name" STEPS duration_median_ms)"
done
echo "application mode steps (median ms): capture stop $(field "$out/app" APP_STEPS \
  capture_stop_median_ms)"
echo
echo "samples lost per join (48 kHz), 10 rotations of ${segment}s"
printf '%-40s %8s %8s %8s\n' "" min median max
for name in gap-on gap-off gap-app; do
  case $name in
    gap-on) label="capture handed over" ;;
    gap-off) label="stop-then-record (reference)" ;;
    gap-app) label="application mode, live mix" ;;
  esac
  printf '%-40s %8s %8s %8s\n' "$label" "$(field "$out/$name" GAPS min)" \
    "$(field "$out/$name" GAPS median)" "$(field "$out/$name" GAPS max)"
done
grep -h '^join' "$out/gap-on" | sed 's/^/  handed over:      /'
grep -h '^join' "$out/gap-off" | sed 's/^/  stop-then-record: /'
grep -h '^join' "$out/gap-app" | sed 's/^/  application mode: /'
