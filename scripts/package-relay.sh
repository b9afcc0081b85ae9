#!/usr/bin/env bash
# Builds the relay's Debian package: kestrelink-relay and klpeer compiled at -O2 throughout
# (the relay-release preset), the systemd unit, /etc/default/kestrelink-relay.
#   scripts/package-relay.sh [--from BUILD_DIR] [OUT_DIR]
# OUT_DIR defaults to dist/; the package's path is printed last. --from packages the programs
# of an existing build folder instead of building (the package test uses the native preset's).
# KL_NO_CCACHE=1 builds without ccache.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
from=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --from) [ $# -ge 2 ] || { echo "package-relay: --from needs a build folder" >&2; exit 2; }
            from=$(cd "$2" && pwd); shift 2 ;;
    -*) echo "package-relay: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
cd "$root"

if [ -z "$from" ]; then
  launcher=()
  if [ -z "${KL_NO_CCACHE:-}" ] && command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$root
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake --preset relay-release "${launcher[@]}" >/dev/null
  cmake --build --preset relay-release --target kestrelink-relay klpeer -j "${KL_JOBS:-$(nproc)}" >&2
  from=$root/build/relay-release
fi
for program in kestrelink-relay klpeer; do
  [ -x "$from/$program" ] || { echo "package-relay: $from/$program is missing" >&2; exit 1; }
done

version=$(sed -n 's/^project(KestrelinkNative VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
work=$out/.kestrelink-relay-deb
stage=$work/kestrelink-relay
rm -rf "$work"
install -d "$stage/DEBIAN" "$stage/usr/bin" "$stage/lib/systemd/system" "$stage/etc/default" \
  "$stage/usr/share/doc/kestrelink-relay"
for program in kestrelink-relay klpeer; do
  install -m 0755 "$from/$program" "$stage/usr/bin/$program"
  strip --strip-unneeded "$stage/usr/bin/$program"
done
install -m 0644 packaging/kestrelink-relay.service "$stage/lib/systemd/system/kestrelink-relay.service"
install -m 0640 packaging/kestrelink-relay.default "$stage/etc/default/kestrelink-relay"
install -m 0644 README.md "$stage/usr/share/doc/kestrelink-relay/README"
install -m 0755 packaging/deb/postinst packaging/deb/prerm packaging/deb/postrm "$stage/DEBIAN/"
echo /etc/default/kestrelink-relay >"$stage/DEBIAN/conffiles"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH
doc=$stage/usr/share/doc/kestrelink-relay
cat >"$doc/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Kestrelink Native

Files: *
Copyright: MIRROWEN LABS
License: unstated
 The source repository states no licence.
EOF
printf 'kestrelink-relay (%s) unstable; urgency=medium\n\n  * Release %s of the relay and klpeer.\n\n -- %s  %s\n' \
  "$version" "$version" "Kestrelink maintainers <maintainers@kestrelink.example>" \
  "$(date -u -R -d "@$SOURCE_DATE_EPOCH")" | gzip -9n >"$doc/changelog.gz"

# Library dependencies as the binaries need them (dpkg-shlibdeps wants a debian/control).
mkdir -p "$work/debian"
printf 'Source: kestrelink\n\nPackage: kestrelink-relay\nArchitecture: any\n' >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O kestrelink-relay/usr/bin/kestrelink-relay kestrelink-relay/usr/bin/klpeer \
  2>/dev/null | sed -n 's/^shlibs:Depends=//p')
cat >"$stage/DEBIAN/control" <<EOF
Package: kestrelink-relay
Version: $version
Architecture: $arch
Maintainer: Kestrelink maintainers <maintainers@kestrelink.example>
Depends: $shlibs, adduser
Section: net
Priority: optional
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Description: Kestrelink relay and headless peer
 kestrelink-relay pairs Kestrelink hosts and viewers over WebSocket with TLS
 and forwards their encrypted traffic; it runs as the kestrelink-relay
 service under its own user. klpeer speaks the whole protocol headless and
 serves as a health check of a relay (klpeer probe wss://HOST/ws).
EOF

# File times follow the commit, so the same commit gives the same package.
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
deb="$out/kestrelink-relay_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >&2
rm -rf "$work"
echo "$deb"
