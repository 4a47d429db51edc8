#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the main job need; quiet and quick
# when nothing is missing. PipeWire's pulse server (pipewire, pipewire-pulse, wireplumber)
# installs beside PulseAudio without removing it; pipewire-alsa (from
# pipewire-audio-client-libraries) would, so it is not asked for.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang clang-format
  libglib2.0-dev libglib2.0-bin libpulse-dev
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev
  libssl-dev libcurl4-openssl-dev libpugixml-dev libarchive-dev
  nlohmann-json3-dev libcli11-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  nasm xz-utils patch
  pulseaudio pulseaudio-utils ffmpeg sox espeak-ng dbus dbus-bin xdg-utils python3 time
  pipewire pipewire-pulse wireplumber
  ${LUMEWELL_EXTRA_PACKAGES:-}
)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
