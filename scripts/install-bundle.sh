#!/bin/sh
# Builds and installs Lumewell Recorder as a self-updating application bundle: a folder of
# its own, marked as ours, that the updater may replace as a whole.
#   --user    ~/.local/opt/lumewell-recorder, linked from ~/.local/bin and
#             ~/.local/share/applications (updates itself)
#   --system  /opt/lumewell-recorder, linked from /usr/local (run with sudo; owned by root,
#             so it is updated by running this again, not by the updater)
# The second argument is the build folder (default build-bundle). LUMEWELL_UPDATE_PUBLIC_KEY
# in the environment is compiled in as the update signing key.
set -eu
case "${1:-}" in
  --user) prefix="$HOME/.local/opt/lumewell-recorder" ;;
  --system) prefix=/opt/lumewell-recorder ;;
  *)
    echo "usage: $0 --user|--system [build folder]" >&2
    exit 2
    ;;
esac
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir="${2:-$source_dir/build-bundle}"
# A bundle carries its own FFmpeg (only what the host uses), linked in statically.
"$source_dir/scripts/build-ffmpeg.sh"
set -- -DCMAKE_BUILD_TYPE=Release -DLUMEWELL_BUNDLE=ON -DLUMEWELL_TESTS=OFF -DLUMEWELL_BENCH=OFF \
  -DLUMEWELL_FFMPEG_ROOT="$source_dir/.deps/ffmpeg"
if [ -n "${LUMEWELL_UPDATE_PUBLIC_KEY:-}" ]; then
  set -- "$@" -DLUMEWELL_UPDATE_PUBLIC_KEY="$LUMEWELL_UPDATE_PUBLIC_KEY"
fi
cmake -S "$source_dir" -B "$build_dir" -G Ninja "$@"
cmake --build "$build_dir"
cmake --install "$build_dir" --prefix "$prefix"
