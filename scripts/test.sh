#!/usr/bin/env bash
# Builds both presets and runs every test: native (plain, sanitised, fuzzers) and the
# Windows binaries under Wine (CTest starts the build tree's own virtual display, Wine prefix and
# server around them: scripts/wine-session.sh). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# With ccache, paths relative to the tree: the release test's fresh clones reuse these objects.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$PWD
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
echo "== build: native"
cmake --preset native "${launcher[@]}" >/dev/null
cmake --build --preset native -j "$jobs"
echo "== build: windows"
cmake --preset windows "${launcher[@]}" >/dev/null
cmake --build --preset windows -j "$jobs"

status=0
echo "== tests: native"
ctest --preset native -j "$jobs" || status=1
echo "== tests: windows (Wine)"
ctest --preset windows || status=1
exit $status
