#!/usr/bin/env bash
# The virtual display and Wine server the Windows tests of one build tree run on: a Wine prefix
# of that tree (BUILD_DIR/wine/prefix), an Xvfb on a display number the server picks and one
# persistent wineserver. Two build trees, or the tests and scripts/demo.sh, never share one, and
# stopping it stops only this prefix's server. CTest starts it before the first Windows test and
# stops it after the last (fixture windows_session); every Windows test runs through "run".
#   wine-session.sh up BUILD_DIR              start it (one left by an aborted run is stopped first)
#   wine-session.sh down BUILD_DIR            stop it
#   wine-session.sh run BUILD_DIR COMMAND...  COMMAND on that display and prefix
#   wine-session.sh shell BUILD_DIR [COMMAND...]
#                                             up, COMMAND (default: an interactive shell), down
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage() { sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; }
case "${1:-}" in
  up|down|run|shell) ;;
  --help|-h) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac
[ $# -ge 2 ] || { usage >&2; exit 2; }
what=$1
[ -d "$2" ] || { echo "wine-session: no build tree at $2" >&2; exit 2; }
build=$(cd "$2" && pwd)
shift 2
session=$build/wine/session
export KL_BUILD=$build
# One locale whatever the caller's: xdotool matches the program's Turkish window titles only
# under a UTF-8 one.
export LANG=C.UTF-8
unset LC_ALL
export WINEPREFIX=$build/wine/prefix
. "$here/env.sh"
. "$here/with-display.sh"

# A session left running stops only when both its display and its server are gone.
stop_session() {
  if [ -f "$session" ]; then
    local pid
    pid=$(sed -n 's/^KL_XVFB_PID=//p' "$session")
    [ -z "$pid" ] || kill "$pid" 2>/dev/null
    rm -f "$session"
  fi
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  # Now and then a service of this prefix outlives its server; such a Windows process (its
  # command line names an .exe) whose prefix is this one is ended too.
  local proc
  for proc in /proc/[0-9]*; do
    [ "${proc#/proc/}" != $$ ] || continue
    tr '\0' '\n' 2>/dev/null <"$proc/cmdline" | head -1 | grep -qi '\.exe' || continue
    tr '\0' '\n' 2>/dev/null <"$proc/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && kill -9 "${proc#/proc/}" 2>/dev/null
  done
  return 0
}

start_session() {
  mkdir -p "$build/wine"
  stop_session
  if [ ! -f "$WINEPREFIX/.kestrelink-fonts" ]; then
    # A copy of the shared prefix that scripts/setup.sh made is much quicker than a new one.
    local template="$KL_STATE/wineprefix"
    rm -rf "$WINEPREFIX"
    if [ -f "$template/.kestrelink-fonts" ]; then
      echo "wine-session: copying $template to $WINEPREFIX"
      cp -a --reflink=auto "$template" "$WINEPREFIX.tmp" && mv "$WINEPREFIX.tmp" "$WINEPREFIX"
    fi
    bash "$here/wine-prefix.sh" </dev/null || return 1
  fi
  # Xvfb and the server outlive this script: nothing of them may hold the caller's output open
  # (CTest waits for it to close).
  kl_new_display "${KL_SCREEN:-1280x800x24}" </dev/null
  if [ "$kl_new_display_name" = ":" ]; then
    echo "wine-session: Xvfb did not start" >&2
    kill "$kl_new_display_pid" 2>/dev/null
    return 1
  fi
  export DISPLAY=$kl_new_display_name
  printf 'DISPLAY=%s\nKL_XVFB_PID=%s\n' "$DISPLAY" "$kl_new_display_pid" >"$session"
  wineserver -p </dev/null >/dev/null 2>&1
  # Wine's own services start here, outside any test: they live as long as the server, and a
  # test runner that spawned them would wait on their inherited output pipes.
  wine cmd /c exit </dev/null >/dev/null 2>&1
  echo "wine-session: display $DISPLAY, prefix $WINEPREFIX, test port $KL_TEST_PORT"
}

run_in_session() {
  if [ ! -f "$session" ]; then
    echo "wine-session: no test display for $build. CTest starts it (fixture windows_session, test" \
         "windows.session_up); by hand: scripts/wine-session.sh shell $build" >&2
    return 2
  fi
  DISPLAY=$(sed -n 's/^DISPLAY=//p' "$session")
  export DISPLAY
  exec "$@"
}

case $what in
  up) start_session ;;
  down) stop_session ;;
  run)
    [ $# -ge 1 ] || { usage >&2; exit 2; }
    run_in_session "$@"
    ;;
  shell)
    start_session || exit 1
    trap stop_session EXIT
    if [ $# -eq 0 ]; then run_in_session "${SHELL:-bash}"; else run_in_session "$@"; fi
    ;;
esac
