#!/usr/bin/env bash
# Builds the Debian packages keldo (keldo-agent, keldo-device, their man pages, the bash completion,
# the user unit enabled for graphical sessions, the desktop file and icon) and keldo-devsim into
# OUTDIR (default build/packages), then runs lintian on them: an error fails the build, warnings
# are shown.
#
# The programs come from a release build of their own (build/package, with Debian's compiler
# flags), or from KELDO_BUILD_DIR, a build that is configured already (CI packages the build its
# tests ran on). Depends is computed by dpkg-shlibdeps from the libraries the programs link; the
# version is the one set in CMakeLists.txt, which packaging/changelog must carry.
# Usage: scripts/package.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/packages}")
umask 022

scripts/setup.sh dpkg-dev lintian

version=$(sed -n 's/^project([^ ]* VERSION \([^ ]*\).*/\1/p' CMakeLists.txt)
logged=$(sed -n '1s/^keldo (\([^)]*\)).*/\1/p' packaging/changelog)
[ "$version" = "$logged" ] || { echo "packaging/changelog's last entry is $logged, CMakeLists.txt says $version" >&2; exit 1; }
maintainer=$(sed -n 's/^ -- \(.*>\)  .*/\1/p' packaging/changelog | head -n 1)
arch=$(dpkg --print-architecture)

build=${KELDO_BUILD_DIR:-build/package}
if [ -z "${KELDO_BUILD_DIR:-}" ]; then
  # As a Debian build configures: no build type of CMake's, the flags of dpkg-buildflags (hardening).
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DKELDO_BUILD_TESTS=OFF -DKELDO_BUILD_BENCHMARKS=OFF \
          -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target keldo-agent keldo-device keldo-devsim

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# dpkg-shlibdeps reads the package names from a debian/control.
mkdir "$stage/debian"
printf 'Source: keldo\n\nPackage: keldo\nArchitecture: any\n\nPackage: keldo-devsim\nArchitecture: any\n' >"$stage/debian/control"
mkdir -p "$out"

for package in keldo keldo-devsim; do
  root=$stage/$package
  DESTDIR=$root cmake --install "$build" --prefix /usr --component "$package" --strip >/dev/null
  # What dh_strip also drops: the compiler's notes.
  strip --remove-section=.comment --remove-section=.note "$root"/usr/bin/*
  find "$root/usr/share/man" -type f -exec gzip -9n {} +
  doc=$root/usr/share/doc/$package
  mkdir -p "$doc"
  cp packaging/copyright "$doc/copyright"
  # A native package: the changelog is changelog.gz.
  gzip -9n <packaging/changelog >"$doc/changelog.gz"
  chmod -R u=rwX,go=rX "$root"

  programs=("$root"/usr/bin/*)
  depends=$(cd "$stage" && dpkg-shlibdeps -O "${programs[@]/#/-e}" 2>"$stage/shlibdeps.err" | sed -n 's/^shlibs:Depends=//p') \
    || { cat "$stage/shlibdeps.err" >&2; exit 1; }
  mkdir "$root/DEBIAN"
  (cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
  size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
  awk -v RS= -v ORS='\n' -v p="$package" '$1 == "Package:" && $2 == p' packaging/control.in |
    sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@MAINTAINER@|$maintainer|" \
        -e "s|@SIZE@|$size|" -e "s|@DEPENDS@|$depends|" >"$root/DEBIAN/control"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${package}_${version}_${arch}.deb" >/dev/null
  echo "$out/${package}_${version}_${arch}.deb"
done

lintian --fail-on error \
  "$out/keldo_${version}_${arch}.deb" "$out/keldo-devsim_${version}_${arch}.deb"
