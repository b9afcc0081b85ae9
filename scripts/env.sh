# Shared settings for the scripts that run the Windows program under Wine. Source it.
export KL_STATE="${KL_STATE:-$HOME/.cache/kestrelink}"
export WINEPREFIX="${WINEPREFIX:-$KL_STATE/wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: the program needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# The loopback port of the test relay the Windows build (KL_BUILD, default build/windows) was
# configured with; the script server of the network tests takes the next one. CTest passes it,
# scripts read the build's cache (empty before the build is configured: kl_read_test_port again).
kl_read_test_port() {
  KL_TEST_PORT=$(sed -n 's/^KL_TEST_PORT:STRING=//p' "${KL_BUILD:-$(dirname "${BASH_SOURCE[0]}")/../build/windows}/CMakeCache.txt" 2>/dev/null || true)
  export KL_TEST_PORT
}
[ -n "${KL_TEST_PORT:-}" ] || kl_read_test_port
export KL_TEST_PORT
