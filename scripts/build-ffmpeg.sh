#!/usr/bin/env bash
# Builds the part of FFmpeg the host uses (AAC encode and decode, a few decoders for files
# from elsewhere, the mov/mp4 demuxer and muxer, the file protocol, libswresample) as static
# libraries in .deps/ffmpeg, from Debian's source of the FFmpeg release the machine has.
# Debian's shared FFmpeg pulls in about 150 libraries (video codecs, SVG, TLS, ...) that the
# host never calls and that cost it ~16 MiB of resident memory and ~150 ms at every start.
# The presets build against this copy; a plain configure uses the system's FFmpeg.
# Quick when the copy is already there. Needs deb.debian.org (the source index is checked
# against Debian's signed release files by apt).
#   scripts/build-ffmpeg.sh [PREFIX]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-$top/.deps/ffmpeg}
cc=${LUMEWELL_FFMPEG_CC:-clang}
version=$(dpkg-query -W -f='${Version}' libavcodec-dev)
# Built with clang: FFmpeg turns gcc's loop vectoriser off, and clang's build of the AAC
# encoder runs about a fifth faster on the same input with bit-identical packets
# (bench/ffmpeg_builds.sh; LUMEWELL_FFMPEG_CC=gcc builds the other).
flags=(--cc="$cc" --disable-everything --disable-programs --disable-doc --disable-network
  --disable-autodetect --disable-avdevice --disable-avfilter --disable-swscale
  --disable-postproc --enable-swresample --enable-pic --enable-static --disable-shared
  --enable-encoder=aac
  --enable-decoder=aac,alac,mp3,mp3float,flac,opus,pcm_s16le,pcm_s16be,pcm_s24le,pcm_s32le,pcm_f32le
  --enable-muxer=ipod,mp4,mov --enable-demuxer=mov --enable-protocol=file --enable-parser=aac)
# Local fixes to the encoder's speed, applied in name order (scripts/ffmpeg-patches/*.patch);
# LUMEWELL_FFMPEG_PATCHES=none builds the release as Debian ships it, to compare.
patches=("$top"/scripts/ffmpeg-patches/*.patch)
[[ ${LUMEWELL_FFMPEG_PATCHES:-} == none ]] && patches=()
stamp="ffmpeg $version ${flags[*]} $(cat /dev/null "${patches[@]}" | sha256sum | cut -c1-16)"
if [[ -f "$prefix/lib/libavcodec.a" && "$(cat "$prefix/.stamp" 2>/dev/null)" == "$stamp" ]]; then
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-ffmpeg-XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "Building FFmpeg $version (static, only what the host uses) into $prefix"
# A private apt configuration with Debian's source index: the machine's own is left alone.
mkdir -p "$work/apt/parts" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
for suite in bookworm bookworm-updates; do
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\n' "$suite"
done >"$work/apt/parts/debian.sources"
printf 'Types: deb-src\nURIs: http://deb.debian.org/debian-security\nSuites: bookworm-security\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
  >>"$work/apt/parts/debian.sources"
apt=(apt-get -qq -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/apt/parts"
  -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache"
  -o APT::Sandbox::User=root)
"${apt[@]}" update
cd "$work"
# The installed release's source; the newest one when the mirror has moved on.
"${apt[@]}" source --download-only "ffmpeg=$version" >/dev/null 2>&1 ||
  "${apt[@]}" source --download-only ffmpeg >/dev/null
tar -xf ffmpeg_*.orig.tar.xz
cd ffmpeg-*/
for patch in "${patches[@]}"; do
  # A release whose source moved on builds without the fix: each one only saves time.
  if patch -p1 --forward --dry-run --quiet <"$patch" >/dev/null; then
    patch -p1 --forward --quiet <"$patch"
  else
    echo "warning: $(basename "$patch") does not apply to FFmpeg $version; built without it" >&2
  fi
done
./configure --prefix="$prefix" "${flags[@]}" >"$work/configure.log" 2>&1 ||
  { tail -n 30 "$work/configure.log" >&2; exit 1; }
make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 30 "$work/make.log" >&2; exit 1; }
rm -rf "$prefix"
make install >/dev/null
echo "$stamp" >"$prefix/.stamp"
