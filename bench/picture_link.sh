#!/usr/bin/env bash
# The picture on a slow uplink (a benchmark, not a test): the slow-uplink scenario
# (tests/e2e/program_host_slow_uplink.sh: the program as host under Wine behind throttle_proxy,
# busy 1920x1080 screen, a patch changing colour every 0.3 s for 40 s, then still) run with two
# builds of the program in turn at each uplink rate, one after the other in the same run.
# Prints per run: frames a second, the median time from a colour change on the host to a frame
# showing it, first and last 10 s medians, the widths and qualities sent, and how long after
# the screen stopped a frame 1920 wide at the best quality arrived.
#   bench/picture_link.sh BEFORE.exe AFTER.exe [KBIT...]     default 1000 2000 5000 0 (0: unlimited)
#   KL_BUILD=DIR   the Windows build tree whose Wine session to use (default build/windows);
#   KL_NATIVE=DIR  klpeer, kestrelink-relay, throttle_proxy (default build/native).
# Both programs must dial the same loopback port (KL_TEST_PORT of their build trees).
# KL_SAVE_FRAMES=1 keeps the frames of each run under the output folder.
set -uo pipefail
case "${1:-}" in -h|--help|"") sed -n '2,14p' "$0"; exit 0 ;; esac
here=$(cd "$(dirname "$0")/.." && pwd)
build=${KL_BUILD:-$here/build/windows}
native=${KL_NATIVE:-$here/build/native}
before=$(realpath "$1") after=$(realpath "$2"); shift 2
rates=("$@"); [ ${#rates[@]} -gt 0 ] || rates=(1000 2000 5000 0)
out=${KL_BENCH_OUT:-$build/bench-picture}
mkdir -p "$out"
if [ -z "${KL_IN_BENCH_SESSION:-}" ]; then
  KL_IN_BENCH_SESSION=1 exec bash "$here/scripts/wine-session.sh" shell "$build" bash "$0" "$before" "$after" "${rates[@]}"
fi
[ -n "${KL_TEST_PORT:-}" ] || { . "$here/scripts/env.sh"; }
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)   $(nproc) cores"
printf '%-10s %-7s %8s %10s %10s %10s  %-22s %-10s %s\n' uplink build frames/s median first10s last10s widths qualities "sharp after still"
for kbit in "${rates[@]}"; do
  for which in before after; do
    exe=$before; [ $which = after ] && exe=$after
    dir="$out/$kbit-$which"
    KL_UPLINK_KBIT=$kbit bash "$here/tests/e2e/program_host_slow_uplink.sh" "$exe" "$native" "$dir" >/dev/null 2>&1
    verdict=$(sed -n 's/.*stream: //p' "$dir/log.txt" | tail -1)
    fails=$(grep -c FAIL "$dir/log.txt")
    python3 - "$kbit" "$which" "$verdict" "$fails" <<'PY'
import json, sys
kbit, which, verdict, fails = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
rate = f"{int(kbit) / 1000:g} Mbit/s" if int(kbit) else "unlimited"
if not verdict:
    print(f"{rate:<10} {which:<7} (no result; see the run's log.txt)"); sys.exit()
v = json.loads(verdict)
ms = lambda x: f"{x / 1000:.2f} s" if x is not None else "-"
sharp = f"{ms(v['sharpMs'])} ({v['sharpWidth']} q{v['sharpQuality']})" if v.get("sharpMs") is not None else "none"
print(f"{rate:<10} {which:<7} {v['framesPerSecond']:8.2f} {ms(v['medianMs']):>10} {ms(v['firstMedianMs']):>10} "
      f"{ms(v['lastMedianMs']):>10}  {','.join(map(str, v['widths'])):<22} {','.join(map(str, v['qualities'])):<10} {sharp}"
      + (f"   [{fails} failed checks]" if fails else ""))
PY
  done
done
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
