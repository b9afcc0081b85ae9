#!/usr/bin/env bash
# The program's main job on this machine: a relay on loopback, the program under Wine on a
# virtual display, and klpeer on the other side, each step photographed.
#   demo.sh [host|viewer|both] [OUT_DIR]     (default: both, out/)
# host:   the program shares its screen; klpeer connects as viewer with the ID and key taken
#         from the program's clipboard, and the consent prompt is answered with a click.
# viewer: the program connects to a klpeer host (ID and key typed) and shows its picture.
# Writes OUT_DIR/<form>/NN-*.png, log.txt (each step and what the status line read) and the
# peer's JSON lines. Exits non-zero when a step did not turn out as expected.
set -euo pipefail
case "${1:-both}" in
  host|viewer|both) form=${1:-both} ;;
  --help|-h) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: $0 [host|viewer|both] [OUT_DIR]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
out=$(realpath -m "${2:-out}")
. scripts/env.sh
. scripts/with-display.sh

if [ -z "${KL_DEMO_BUILT:-}" ]; then
  echo "== build: relay and peer (native), program (windows)"
  cmake --preset native >/dev/null && cmake --build --preset native -j "$(nproc)" --target kestrelink-relay klpeer
  cmake --preset windows >/dev/null && cmake --build --preset windows -j "$(nproc)" --target kestrelink kllayout
  kl_read_test_port
  [ -f "$WINEPREFIX/.kestrelink-fonts" ] || bash scripts/wine-prefix.sh
  # The relay listens on the program's test port: in a network of its own (only loopback) where
  # the system allows one, so a test run's relay on that port outside is never in the way.
  if unshare -n true 2>/dev/null; then
    exec unshare -n env KL_DEMO_BUILT=1 bash -c 'ip link set lo up && exec bash "$@"' demo "$0" "$form" "$out"
  fi
  echo "(no network namespace here: the demo's relay needs port $KL_TEST_PORT free)"
fi
kl_start_display
status=0
for role in host viewer; do
  [ "$form" = both ] || [ "$form" = "$role" ] || continue
  echo "== the program as $role -> $out/$role"
  rm -rf "${out:?}/$role"
  bash "tests/e2e/program_$role.sh" build/windows/kestrelink.exe build/native "$out/$role" || status=1
  rm -f "$out/$role/shot.png" "$out/$role/status.png"
done
echo "screenshots and logs: $out"
exit $status
