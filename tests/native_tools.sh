#!/usr/bin/env bash
# Whether the native build holds the programs the Windows tests start beside the program (the
# relay, klpeer, the test servers); says what to build when it does not.
#   native_tools.sh NATIVE_BUILD PROGRAM...
set -uo pipefail
case "${1:-}" in
  ''|-h|--help) echo "usage: native_tools.sh NATIVE_BUILD PROGRAM..."; [ -n "${1:-}" ]; exit $? ;;
esac
native=$1; shift
missing=()
for program in "$@"; do [ -x "$native/$program" ] || missing+=("$program"); done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "the native build at $native lacks ${missing[*]}; build it first:" >&2
echo "  cmake --preset native && cmake --build --preset native --target ${missing[*]}" >&2
exit 1
