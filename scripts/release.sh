#!/usr/bin/env bash
# Builds the program's release for one relay:
#   scripts/release.sh wss://relay.example.org/ws
# checks the URL with the program's own policy, builds dist/kestrelink.exe (static, stripped,
# reproducible: the same bytes from any clone of the same commit) and dist/SHA256SUMS.
# KL_NO_CCACHE=1 builds without ccache (to verify a release from nothing).
set -euo pipefail

usage() {
  sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'
  echo "Needs the packages of scripts/setup.sh. The build folder is build/release, the output dist/."
}
case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  "") echo "release: give the relay URL, e.g. wss://relay.example.org/ws (see --help)" >&2; exit 2 ;;
esac
[ $# -eq 1 ] || { echo "release: give exactly one relay URL (see --help)" >&2; exit 2; }
url=$1
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The URL check is built from the program's own policy source, natively, in seconds.
tools=build/release-tools
mkdir -p "$tools"
c++ -std=c++20 -O1 -Wall -Wextra -I. tools/relay_url_check.cpp net/relay_url.cpp net/url_cracker_native.cpp \
  -o "$tools/relay_url_check"
"$tools/relay_url_check" "$url" || { echo "release: relay URL refused, nothing built" >&2; exit 1; }

# Timestamps follow the commit, not the clock (for any tool that reads it).
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C

launcher=()
if [ -z "${KL_NO_CCACHE:-}" ] && command -v ccache >/dev/null; then
  # Paths relative to the clone, so clones in other folders share the cache.
  export CCACHE_BASEDIR=$root
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake --preset windows-release -DKL_RELAY_URL="$url" "${launcher[@]}" >/dev/null
cmake --build --preset windows-release --target kestrelink -j "${KL_JOBS:-$(nproc)}"

mkdir -p dist
cp build/release/kestrelink.exe dist/kestrelink.exe
(cd dist && sha256sum kestrelink.exe >SHA256SUMS)
echo "release: dist/kestrelink.exe for $url"
cat dist/SHA256SUMS
