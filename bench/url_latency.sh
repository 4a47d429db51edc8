#!/bin/sh
# Median time from opening a lumewell: URL to the "auth_callback" event at a listening
# client, in a private desktop session (own session bus, XDG folders): through `gio open`,
# through `xdg-open`, and by launching the host directly (its own share). Also times a
# restart. Usage: bench/url_latency.sh [RUNS] (default 20); BUILD_DIR overrides the
# build folder (default build).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
cmake --build "$build" --target url_latency_probe >/dev/null
exec "$build/bin/url_latency_probe" "${1:-20}"
