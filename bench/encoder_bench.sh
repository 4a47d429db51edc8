#!/bin/sh
# FFmpeg's AAC coders side by side on the recorder's two formats (48 kHz mono at 128 kbit/s,
# stereo at 192 kbit/s), over SECONDS of a tone in pink noise: CPU seconds per minute of audio
# and the decoded signal-to-noise ratio against the source, for the default two-loop coder
# and the fast coder the recorder uses.
#   bench/encoder_bench.sh [SECONDS]
set -eu
seconds=${1:-120}
out=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-encbench-XXXXXX")
trap 'rm -rf "$out"' EXIT

snr() {  # SOURCE.raw DECODED.raw: float32 samples
  python3 - "$1" "$2" <<'PY'
import array, math, sys
def read(path):
    a = array.array('f')
    with open(path, 'rb') as f:
        a.frombytes(f.read())
    return a
s, d = read(sys.argv[1]), read(sys.argv[2])
n = min(len(s), len(d))
signal = sum(x * x for x in s[:n])
noise = sum((d[i] - s[i]) ** 2 for i in range(n))
print("%.1f" % (10 * math.log10(signal / noise)))
PY
}

for layout in mono:128k stereo:192k; do
  channels=${layout%%:*}
  rate=${layout#*:}
  ffmpeg -v error -f lavfi -i "sine=f=440:d=$seconds" -f lavfi -i "anoisesrc=d=$seconds:c=pink:a=0.1:r=48000" \
    -filter_complex "[0][1]amix=inputs=2,aformat=sample_rates=48000:channel_layouts=$channels" \
    -y "$out/source.wav"
  ffmpeg -v error -i "$out/source.wav" -f f32le -y "$out/source.raw"
  for coder in twoloop fast; do
    /usr/bin/time -f "%U %S" -o "$out/time" ffmpeg -v error -threads 1 -i "$out/source.wav" \
      -c:a aac -aac_coder "$coder" -aac_pns 0 -b:a "$rate" -y "$out/$coder.m4a"
    ffmpeg -v error -i "$out/$coder.m4a" -f f32le -y "$out/$coder.raw"
    cpu=$(awk -v s="$seconds" '{ printf "%.3f", ($1 + $2) / (s / 60) }' "$out/time")
    echo "$channels $rate $coder: $cpu CPU-s per minute of audio, SNR $(snr "$out/source.raw" "$out/$coder.raw") dB"
  done
done
