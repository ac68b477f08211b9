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
# Node.js and npm run an independent client in the integration tests. A node that came from
# elsewhere with its own npm does as well, and Debian's npm would conflict with it.
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The npm client appium-ios-device, which tests/integration runs against keldo-devsim, goes into a
# cache directory outside the source tree, as its lock file pins it, with the fix of a bug of its
# own applied. Nothing is done when that very install is there already.
client_source="$(cd "$(dirname "$0")/.." && pwd)/tests/integration/node-client"
clients=${KELDO_NODE_CLIENTS:-${XDG_CACHE_HOME:-$HOME/.cache}/keldo/node-clients}
stamp="$clients/installed-from"
wanted=$(cat "$client_source/package.json" "$client_source/package-lock.json" "$client_source"/*.patch | sha256sum)
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  echo "Installing the npm client appium-ios-device into $clients"
  rm -rf "$clients/node_modules" "$stamp"
  mkdir -p "$clients"
  cp "$client_source/package.json" "$client_source/package-lock.json" "$clients/"
  (cd "$clients" && npm ci --omit=dev --no-audit --no-fund --loglevel=error)
  for fix in "$client_source"/*.patch; do
    patch --quiet --forward -p1 -d "$clients/node_modules/appium-ios-device" <"$fix"
  done
  echo "$wanted" >"$stamp"
fi
