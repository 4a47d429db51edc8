#!/bin/sh
# A private PulseAudio daemon with a virtual microphone, for tests, benchmarks and ./run.sh
# on machines without a sound server.
#
#   eval "$(scripts/pulse-private.sh start [--tone|--speech|--silence] [DIR])"
#       starts the daemon in DIR (a fresh temp folder by default) and prints the exports:
#       PULSE_SERVER (libpulse and the pa* tools use it) and LUMEWELL_PULSE_DIR.
#       --tone (default) loops a -6 dBFS 1 kHz sine into the microphone, --speech loops
#       espeak-ng speech, --silence feeds nothing.
#   scripts/pulse-private.sh play DIR FILE    loops FILE into the microphone instead
#   scripts/pulse-private.sh stop [DIR]       stops everything started in DIR, by pid
#
# Null sinks: "vsink" (default playback) and "micfeed", whose monitor is the default source.
# LUMEWELL_FEED_LATENCY_MS (default 20) is the latency of the player feeding the microphone:
# the null sink renders in quarters of it, so its monitor pushes 5 ms pieces by default, far
# more often than a real microphone, which delivers at the latency its recorder asks for.
set -eu

die() { echo "pulse-private: $*" >&2; exit 1; }

server_env() {  # DIR COMMAND...: the daemon and its clients see only the private folder
  d=$1
  shift
  env -i PATH="$PATH" HOME="$d" XDG_RUNTIME_DIR="$d/run" LC_ALL=C \
    PULSE_SERVER="unix:$d/run/pulse/native" PULSE_COOKIE="$d/.config/pulse/cookie" "$@"
}

exec_env() {  # like server_env, replacing the (sub)shell it runs in: its pid is the command's
  d=$1
  shift
  exec env -i PATH="$PATH" HOME="$d" XDG_RUNTIME_DIR="$d/run" LC_ALL=C \
    PULSE_SERVER="unix:$d/run/pulse/native" PULSE_COOKIE="$d/.config/pulse/cookie" "$@"
}

stop_pid_file() {
  [ -f "$1" ] || return 0
  pid=$(cat "$1")
  rm -f "$1"
  case "$pid" in ''|*[!0-9]*) return 0 ;; esac
  kill "$pid" 2>/dev/null || return 0
  i=0
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 30 ]; do sleep 0.1; i=$((i + 1)); done
  kill -9 "$pid" 2>/dev/null || true
}

stop_player() {
  stop_pid_file "$1/loop.pid"
  stop_pid_file "$1/player.pid"
}

start_player() {  # DIR FILE: loop FILE into micfeed (20 ms latency unless told)
  stop_player "$1"
  (
    trap 'exit 0' TERM
    while :; do
      (exec_env "$1" paplay --latency-msec=${LUMEWELL_FEED_LATENCY_MS:-20} -d micfeed "$2") &
      echo $! > "$1/player.pid"
      wait $! || sleep 0.2
    done
  ) </dev/null >/dev/null 2>&1 &
  echo $! > "$1/loop.pid"
}

cmd=${1:-}
[ -n "$cmd" ] && shift
case "$cmd" in
  start)
    feed=tone
    dir=
    for arg in "$@"; do
      case "$arg" in
        --tone) feed=tone ;;
        --speech) feed=speech ;;
        --silence) feed=silence ;;
        -*) die "unknown option $arg" ;;
        *) dir=$arg ;;
      esac
    done
    command -v pulseaudio >/dev/null || die "pulseaudio is not installed"
    [ -n "$dir" ] || dir=$(mktemp -d "${TMPDIR:-/tmp}/lumewell-pulse-XXXXXX")
    mkdir -p "$dir/run"
    chmod 700 "$dir" "$dir/run"
    dir=$(cd "$dir" && pwd)
    cat > "$dir/ci.pa" <<'PA'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=vsink rate=48000 channels=2
load-module module-null-sink sink_name=micfeed rate=48000 channels=1
set-default-sink vsink
set-default-source micfeed.monitor
PA
    # Background jobs run in a subshell whose own redirections leave no copy of our stdout
    # behind (a caller's $(...) would otherwise wait for them).
    (exec_env "$dir" pulseaudio -n -F "$dir/ci.pa" --daemonize=no --exit-idle-time=-1 \
      --log-target="file:$dir/pulse.log") </dev/null >"$dir/pulse.out" 2>&1 &
    echo $! > "$dir/server.pid"
    i=0
    until server_env "$dir" pactl info >/dev/null 2>&1; do
      i=$((i + 1))
      if [ $i -gt 100 ] || ! kill -0 "$(cat "$dir/server.pid")" 2>/dev/null; then
        stop_pid_file "$dir/server.pid"
        die "the daemon did not come up; see $dir/pulse.log"
      fi
      sleep 0.1
    done
    # An idle null sink only honours low-latency clients after its first ~2 s block; a
    # silent 20 ms player keeps it rendering promptly for the daemon's whole life.
    (exec_env "$dir" paplay --latency-msec=${LUMEWELL_FEED_LATENCY_MS:-20} -d micfeed --raw --rate=48000 --channels=1 \
      --format=s16le /dev/zero) </dev/null >/dev/null 2>&1 &
    echo $! > "$dir/keepalive.pid"
    case "$feed" in
      tone)
        sox -q -n -r 48000 -c 1 -b 16 "$dir/tone.wav" synth 10 sine 1000 gain -6
        start_player "$dir" "$dir/tone.wav" ;;
      speech)
        espeak-ng -w "$dir/speech.wav" \
          "This is the Lumewell Recorder virtual microphone. One, two, three, four, five." \
          >/dev/null 2>&1 || die "espeak-ng failed"
        start_player "$dir" "$dir/speech.wav" ;;
      silence) ;;
    esac
    sleep 2.2
    echo "export PULSE_SERVER='unix:$dir/run/pulse/native'"
    echo "export LUMEWELL_PULSE_DIR='$dir'"
    ;;
  play)
    [ $# -eq 2 ] || die "usage: $0 play DIR FILE"
    [ -f "$1/server.pid" ] || die "no daemon in $1"
    start_player "$1" "$2"
    ;;
  stop)
    dir=${1:-${LUMEWELL_PULSE_DIR:-}}
    [ -n "$dir" ] || die "usage: $0 stop DIR"
    [ -d "$dir" ] || exit 0
    stop_player "$dir"
    stop_pid_file "$dir/keepalive.pid"
    stop_pid_file "$dir/server.pid"
    case "$dir" in
      */lumewell-pulse-*) rm -rf "$dir" ;;
    esac
    ;;
  *)
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
