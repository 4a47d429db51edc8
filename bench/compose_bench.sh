#!/usr/bin/env bash
# Times the composition (bench/compose_tool) beside the ffmpeg program doing the same work:
# assembly of SEGMENTS stereo 30-second segments (240 = 2 hours), against ffmpeg's concat
# filter with a per-input atrim re-encode, and ffmpeg's packet copy (-f concat -c copy)
# timed beside it with the samples it inserts at every join.
# Inputs are generated once into WORK and reused by later runs.
#   usage: bench/compose_bench.sh [BUILD_DIR] [WORK]   (env SEGMENTS)
set -euo pipefail

BUILD=${1:-build}
WORK=${2:-/tmp/lumewell-compose-bench}
SEGMENTS=${SEGMENTS:-240}
TOOL=$(realpath "$BUILD/bin/compose_tool")
mkdir -p "$WORK/segments" "$WORK/out"
cd "$WORK"

# Runs a command; sets WALL and CPU (user + sys, all threads and children) in seconds. On a
# shared machine the CPU time is the steadier figure; both are printed.
timed() {
  local f
  f=$(mktemp)
  /usr/bin/time -f '%e %U %S' -o "$f" "$@" >/dev/null
  read -r WALL u s < "$f"
  CPU=$(echo "$u + $s" | bc -l)
  rm -f "$f"
}
duration_ts() { ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts -of csv=p=0 "$1"; }

# A continuous two-tone signal with pink noise; segment i holds seconds [30 i, 30 i + 30).
make_segment() {
  local i=$1 out=$2 channels=$3 rate=$4 off
  off=$((i * 30))
  ffmpeg -v error -y -filter_complex \
    "aevalsrc=exprs='0.25*sin(2*PI*440*(t+$off))+0.1*sin(2*PI*1375*(t+$off))|0.25*sin(2*PI*660*(t+$off))+0.1*sin(2*PI*1375*(t+$off))':s=48000:d=30[t];anoisesrc=color=pink:amplitude=0.1:seed=$((i + 1)):r=48000:d=30,aformat=channel_layouts=stereo[n];[t][n]amix=inputs=2:normalize=0,aformat=channel_layouts=$channels" \
    -c:a aac -b:a "$rate" "$out"
}
export -f make_segment

if [ ! -s segments/done ]; then
  echo "generating $SEGMENTS segments of 30 s into $WORK/segments ..."
  seq 0 $((SEGMENTS - 1)) | xargs -P 2 -I{} bash -c \
    'f=$(printf "segments/%06d.m4a" {}); [ -s "$f" ] || make_segment {} "$f" stereo 192k'
  touch segments/done
fi

ratio() { echo "scale=3; $1 / $2" | bc -l; }

echo "== assembly of $SEGMENTS stereo 30-second segments"
ls segments/*.m4a | sort > segments.txt
sum=0
filter="" labels=""
args=()
n=0
while read -r seg; do
  d=$(duration_ts "$seg")
  sum=$((sum + d))
  args+=(-i "$seg")
  filter+="[$n:a]atrim=end_sample=$d[a$n];"
  labels+="[a$n]"
  n=$((n + 1))
done < segments.txt
filter+="${labels}concat=n=$n:v=0:a=1[out]"
sed "s/.*/file '&'/" segments.txt > concat.txt

timed "$TOOL" sequence out/assembled.m4a @segments.txt
o=$WALL oc=$CPU
timed ffmpeg -v error -y "${args[@]}" -filter_complex "$filter" -map '[out]' -c:a aac \
  -b:a 192k -movflags +faststart out/assembled_ffmpeg.m4a
f=$WALL fc=$CPU
timed ffmpeg -v error -y -f concat -safe 0 -i concat.txt -c copy -movflags +faststart \
  out/copy.m4a
c=$WALL

ours_ts=$(duration_ts out/assembled.m4a)
ff_ts=$(duration_ts out/assembled_ffmpeg.m4a)
copy_ts=$(duration_ts out/copy.m4a)
copy_decoded=$(( $(ffmpeg -v error -i out/copy.m4a -f s16le -ac 1 - | wc -c) / 2 ))
printf 'wall: ours %.3f s   ffmpeg concat+atrim %.3f s   ratio %.3f\n' "$o" "$f" "$(ratio "$o" "$f")"
printf 'cpu:  ours %.3f s   ffmpeg concat+atrim %.3f s   ratio %.3f\n' "$oc" "$fc" "$(ratio "$oc" "$fc")"
printf 'ffmpeg -f concat -c copy %.3f s (ratio ours/copy %.3f)\n' "$c" "$(ratio "$o" "$c")"
echo "samples: inputs' durations sum $sum; ours $ours_ts; ffmpeg concat+atrim $ff_ts"
# Every input brings its encoder priming and padding into a packet copy; the first priming
# and the last padding sit at the ends, the others meet at every join.
per_input=$(( (copy_decoded - sum) / n ))
echo "packet copy: decodes to $copy_decoded samples, $((copy_decoded - sum)) more than the" \
  "inputs' durations: $per_input per input (priming + padding), so $per_input samples" \
  "inserted at each of the $((n - 1)) joins"
