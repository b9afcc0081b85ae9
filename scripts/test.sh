#!/usr/bin/env bash
# Builds both presets and runs every test: native (plain, sanitised, fuzzers) and the
# Windows binaries under Wine on a private virtual display. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/env.sh
. scripts/with-display.sh

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

kl_start_display
status=0
echo "== tests: native"
ctest --preset native -j "$jobs" || status=1
echo "== tests: windows (Wine, DISPLAY=$DISPLAY)"
ctest --preset windows || status=1
exit $status
