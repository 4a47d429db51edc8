#!/bin/sh
# Runs the application-audio integration tests against PipeWire's pulse server (pipewire,
# wireplumber, pipewire-pulse) under a private session bus and a private runtime folder.
# Usage: app_audio_pipewire.sh <build>/bin/integration_tests [gtest args...]
set -eu
tests=$1
shift
work=$(mktemp -d /tmp/lumewell-pipewire-XXXXXX)
chmod 700 "$work"
mkdir -m 700 "$work/run" "$work/home"

cat > "$work/inner.sh" <<INNER
#!/bin/sh
export XDG_RUNTIME_DIR=$work/run HOME=$work/home
unset PULSE_SERVER
pipewire > $work/pipewire.log 2>&1 & pw=\$!
wireplumber > $work/wireplumber.log 2>&1 & wp=\$!
pipewire-pulse > $work/pipewire-pulse.log 2>&1 & pp=\$!
stopall() { kill \$pp \$wp \$pw 2>/dev/null; wait \$pp \$wp \$pw 2>/dev/null; }
trap stopall EXIT
i=0
until pactl info >/dev/null 2>&1; do
  i=\$((i + 1)); [ \$i -lt 100 ] || { echo "pipewire-pulse did not come up" >&2; exit 1; }
  sleep 0.1
done
pactl load-module module-null-sink sink_name=vsink rate=48000 channels=2 >/dev/null
pactl set-default-sink vsink
LUMEWELL_APP_AUDIO_SERVER=unix:$work/run/pulse/native "$tests" --gtest_filter='AppAudio*' "\$@"
INNER
chmod +x "$work/inner.sh"
rc=0
dbus-run-session -- "$work/inner.sh" "$@" || rc=$?
rm -rf "$work"
exit $rc
