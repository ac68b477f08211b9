#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and those named as arguments, when any
# is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libfmt-dev
  libplist-dev libxml2-dev libglib2.0-dev libimobiledevice-dev libusbmuxd-dev libimobiledevice-utils
  libssl-dev ifuse fuse3
  clang libclang-rt-14-dev python3
  dbus dunst xvfb desktop-file-utils systemd
  bash-completion groff-base
  ideviceinstaller
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
