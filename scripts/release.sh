#!/usr/bin/env bash
# Builds the program's release for one relay:
#   scripts/release.sh [--sign KEYID] wss://relay.example.org/ws
# checks the URL with the program's own policy, builds dist/kestrelink.exe (static, stripped,
# reproducible: the same bytes from any clone of the same commit) and dist/SHA256SUMS; with
# --sign, also dist/SHA256SUMS.asc, a detached OpenPGP signature by that key (gpg).
# Refuses a working tree with changes not committed: a release is a commit's bytes.
# KL_NO_CCACHE=1 builds without ccache (to verify a release from nothing).
set -euo pipefail

usage() {
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
  echo "Needs the packages of scripts/setup.sh. The build folder is build/release, the output dist/."
}
sign=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --sign) [ $# -ge 2 ] && [ -n "$2" ] || { echo "release: --sign needs a key id (see --help)" >&2; exit 2; }
            sign=$2; shift 2 ;;
    -*) echo "release: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { echo "release: give the relay URL, e.g. wss://relay.example.org/ws (see --help)" >&2; exit 2; }
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

# What is released is exactly a commit: no edits, no files git does not know of (a build picks
# up files by pattern).
git rev-parse --verify -q HEAD >/dev/null || { echo "release: not a git checkout with a commit, nothing built" >&2; exit 1; }
if [ -n "$(git status --porcelain)" ]; then
  echo "release: the working tree has changes not committed, nothing built:" >&2
  git status --short >&2
  exit 1
fi
if [ -n "$sign" ] && ! gpg --batch --list-secret-keys "$sign" >/dev/null 2>&1; then
  echo "release: no secret key $sign for gpg, nothing built" >&2
  exit 1
fi

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
rm -f dist/SHA256SUMS.asc  # never a signature of an earlier build beside this one
cp build/release/kestrelink.exe dist/kestrelink.exe
(cd dist && sha256sum kestrelink.exe >SHA256SUMS)
if [ -n "$sign" ]; then
  gpg --batch --yes --local-user "$sign" --armor --detach-sign --output dist/SHA256SUMS.asc dist/SHA256SUMS
  echo "release: dist/SHA256SUMS.asc signed by $sign"
fi
echo "release: dist/kestrelink.exe for $url"
cat dist/SHA256SUMS
