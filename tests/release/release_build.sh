#!/usr/bin/env bash
# The release: scripts/release.sh refuses a URL the program's policy refuses, and a working tree
# with changes not committed, before building; two fresh clones in different folders build
# byte-identical executables (static, stripped, no time stamp, version resource, the given URL
# and not the test build's; ASLR with high entropy, DEP, System32 as the only place its DLLs come
# from); --sign writes a detached signature of SHA256SUMS that gpg verifies (a throwaway key);
# a dwmapi.dll planted beside the executable is never loaded under Wine; the executable shows
# its main window and, through its own WinHTTP transport, refuses the real relay's certificate
# on loopback until a test CA is trusted by the system, then registers over wss://.
#   release_build.sh NATIVE_BUILD OUT_DIR    (needs DISPLAY, WINEPREFIX, KL_TEST_PORT; root for
#                                             the CA: without root the Wine part is skipped, 77)
set -uo pipefail
native=$(cd "$1" && pwd) kl_out=$2
src=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$kl_out"; mkdir -p "$kl_out"; : >"$kl_out/log.txt"
. "$src/tests/gui/lib.sh"
port=${KL_TEST_PORT:?KL_TEST_PORT is not set (ctest sets it from the windows build)}
url="wss://localhost:$port/ws"

work=$(mktemp -d /tmp/kl-release-test.XXXXXX)
ca_file=/usr/local/share/ca-certificates/kestrelink-test-$$.crt
relay_pid="" program_pid="" prefix=""
export GNUPGHOME=$work/gnupg
cleanup() {
  [ -z "$program_pid" ] || kill "$program_pid" 2>/dev/null
  [ -d "$GNUPGHOME" ] && gpgconf --kill gpg-agent 2>/dev/null
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null
  [ -z "$prefix" ] || WINEPREFIX=$prefix wineserver -k 2>/dev/null
  if [ -f "$ca_file" ]; then rm -f "$ca_file"; update-ca-certificates --fresh >/dev/null 2>&1; fi
  rm -rf "$work"
}
trap cleanup EXIT

refused=$(bash "$src/scripts/release.sh" "ws://relay.example.org/ws" 2>&1); rc=$?
check "release.sh refuses ws:// to another machine before building" \
  "$rc:$(echo "$refused" | grep -c 'permitted only on loopback'):$(echo "$refused" | grep -c 'Building')" "1:1:0"

# Two clones of this commit (with the working tree's uncommitted changes to tracked files
# committed on top, at the same time in both, since a release is built only from a commit).
git -C "$src" diff HEAD --binary >"$work/changes.patch"
stamp=$(git -C "$src" log -1 --format=%ct)
for clone in "$work/a" "$work/second/clone-b"; do
  git clone -q "$src" "$clone" && git -C "$clone" checkout -q --detach "$(git -C "$src" rev-parse HEAD)"
  if [ -s "$work/changes.patch" ]; then
    git -C "$clone" apply --binary "$work/changes.patch"
    GIT_AUTHOR_DATE="@$stamp" GIT_COMMITTER_DATE="@$stamp" git -C "$clone" -c user.name=test \
      -c user.email=test@kestrelink.invalid commit -qam "uncommitted changes under test"
  fi
  start=$(date +%s)
  (cd "$clone" && bash scripts/release.sh "$url") >"$kl_out/build-$(basename "$clone").log" 2>&1
  kl_log "release build in $clone: exit $?, $(( $(date +%s) - start )) s"
done
exe=$work/a/dist/kestrelink.exe
check "both clones build the same bytes" \
  "$(cmp "$exe" "$work/second/clone-b/dist/kestrelink.exe" >/dev/null 2>&1 && echo identical)" "identical"
check "SHA256SUMS verifies the executable" "$(cd "$work/a/dist" && sha256sum -c SHA256SUMS 2>&1)" "kestrelink.exe: OK"
cp "$exe" "$work/a/dist/SHA256SUMS" "$kl_out/" 2>/dev/null

echo "// an edit not committed" >>"$work/a/app/main.cpp"
dirty=$(cd "$work/a" && bash scripts/release.sh "$url" 2>&1); rc=$?
check "release.sh refuses a working tree with changes not committed, before building" \
  "$rc:$(echo "$dirty" | grep -c 'changes not committed'):$(echo "$dirty" | grep -c 'Building')" "1:1:0"
git -C "$work/a" checkout -q app/main.cpp

# Signed with a throwaway key in a keyring of this run only.
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-gen-key "Kestrelink release test <release@kestrelink.invalid>" ed25519 sign 1d \
  >"$kl_out/gpg.log" 2>&1
fpr=$(gpg --batch --with-colons --list-secret-keys 2>/dev/null | awk -F: '/^fpr:/ {print $10; exit}')
unknown=$(cd "$work/a" && bash scripts/release.sh --sign 0123456789ABCDEF0123456789ABCDEF01234567 "$url" 2>&1); rc=$?
check "release.sh refuses a key gpg does not hold, before building" \
  "$rc:$(echo "$unknown" | grep -c 'no secret key'):$(echo "$unknown" | grep -c 'Building')" "1:1:0"
(cd "$work/a" && bash scripts/release.sh --sign "$fpr" "$url") >"$kl_out/build-signed.log" 2>&1
check "a signed release is the same executable" "$(cmp "$exe" "$kl_out/kestrelink.exe" >/dev/null 2>&1 && echo same)" "same"
verified=$(cd "$work/a/dist" && gpg --batch --status-fd 1 --verify SHA256SUMS.asc SHA256SUMS 2>/dev/null)
check "gpg verifies the signature of SHA256SUMS by that key" \
  "$(echo "$verified" | grep -c "VALIDSIG $fpr")" "1"
cp "$work/a/dist/SHA256SUMS" "$work/forged"; sed -i 's/^./0/' "$work/forged"
check "a changed SHA256SUMS fails verification" \
  "$(gpg --batch --verify "$work/a/dist/SHA256SUMS.asc" "$work/forged" >/dev/null 2>&1; echo $?)" "1"

objdump -p "$exe" >"$kl_out/headers.txt" 2>&1
check "no link time stamp" "$(grep -c 'Time/Date.*Jan  1 00:00:00 1970' "$kl_out/headers.txt")" "1"
check "no debug directory" "$(grep -c 'Entry 6 0000000000000000 00000000 Debug Directory' "$kl_out/headers.txt")" "1"
# Resource types: icons (3), the icon group (14) as id 101, the version (16), the manifest (24).
check "resources: icons, icon group 101, version, manifest" \
  "$(grep -E '^[0-9a-f]{3}   Entry: ID:' "$kl_out/headers.txt" | awk '{printf "%s ", $4}'):$(grep -A2 'Entry: ID: 0x00000e' "$kl_out/headers.txt" | grep -c 'Entry: ID: 0x000065')" \
  "0x000003, 0x00000e, 0x000010, 0x000018, :1"
check "no time stamps in the resources" "$(grep -c 'Time: [0-9a-f]*[1-9a-f]' "$kl_out/headers.txt")" "0"
dlls=$(awk '/DLL Name:/ {print tolower($3)}' "$kl_out/headers.txt" | sort -u | tr '\n' ' ')
check "static: only system libraries imported" \
  "$(echo "$dlls" | tr ' ' '\n' | grep -vxE 'advapi32.dll|bcrypt.dll|comctl32.dll|dwmapi.dll|gdi32.dll|gdiplus.dll|kernel32.dll|msvcrt.dll|ole32.dll|shell32.dll|user32.dll|winhttp.dll|ws2_32.dll|api-ms-win-.*|' | tr '\n' ' ')" ""
check "the DLLs that are not known DLLs are not imported at start" \
  "$(echo "$dlls" | tr ' ' '\n' | grep -cxE 'bcrypt.dll|dwmapi.dll|gdiplus.dll|winhttp.dll')" "0"
check "ASLR with high entropy, DEP" \
  "$(grep -cE $'^\t+(HIGH_ENTROPY_VA|DYNAMIC_BASE|NX_COMPAT)$' "$kl_out/headers.txt")" "3"
# DependentLoadFlags of the load configuration, read through the header's directory entry.
load_flags=$(python3 - "$exe" <<'PY'
import struct, sys
b = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", b, 0x3C)[0]
count, optional_size = struct.unpack_from("<H12xH", b, pe + 6)
optional = pe + 24
rva, size = struct.unpack_from("<II", b, optional + 112 + 8 * 10)
for i in range(count):
    vsize, va, raw_size, raw = struct.unpack_from("<IIII", b, optional + optional_size + 40 * i + 8)
    if size and va <= rva < va + raw_size:
        print(hex(struct.unpack_from("<H", b, raw + rva - va + 0x4E)[0]))
        break
else:
    print("no load configuration")
PY
)
check "the loader resolves its imports from System32 only (DependentLoadFlags)" "$load_flags" "0x800"
check "stripped: no symbols, no debug sections" \
  "$(objdump -h "$exe" | grep -c '\.debug'):$(x86_64-w64-mingw32-nm "$exe" 2>&1 | grep -c 'no symbols')" "0:1"
# utf16_count FILE TEXT: how often TEXT occurs in FILE as UTF-16.
utf16_count() { python3 -c 'import sys; print(open(sys.argv[1], "rb").read().count(sys.argv[2].encode("utf-16-le")))' "$@"; }
check "the given URL is compiled in" "$(utf16_count "$exe" "$url")" "1"
check "the test build's loopback URL is not" "$(utf16_count "$exe" "ws://127.0.0.1")" "0"
# A version string: its UTF-16 key, NUL padding, its UTF-16 value.
version_text() {
  python3 -c 'import sys
b = open(sys.argv[1], "rb").read(); k = sys.argv[2].encode("utf-16-le") + b"\0\0"; i = b.find(k)
if i < 0: sys.exit()
i += len(k)
while b[i:i + 2] == b"\0\0": i += 2
j = i
while b[j:j + 2] != b"\0\0": j += 2
print(b[i:j].decode("utf-16-le"))' "$exe" "$1"
}
check "version resource: FileVersion" "$(version_text FileVersion)" "0.2.0.0"
check "version resource: ProductVersion" "$(version_text ProductVersion)" "0.2.0.0"
check "version resource: ProductName" "$(version_text ProductName)" "Kestrelink Native"
check "version resource: CompanyName" "$(version_text CompanyName)" "MIRROWEN LABS"

# A dwmapi.dll beside the executable, as a download lands next to a planted file: its DllMain
# would leave a mark in the folder. The program must start without ever loading it.
mkdir -p "$work/planted"
cp "$exe" "$work/planted/kestrelink.exe"
cat >"$work/planted.c" <<'C'
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) CloseHandle(CreateFileA("planted-dll-ran", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    return TRUE;
}
__declspec(dllexport) HRESULT WINAPI DwmSetWindowAttribute(HWND w, DWORD a, LPCVOID v, DWORD n) { return S_OK; }
__declspec(dllexport) HRESULT WINAPI DwmIsCompositionEnabled(BOOL* on) { *on = TRUE; return S_OK; }
C
x86_64-w64-mingw32-gcc-posix -shared -O1 "$work/planted.c" -o "$work/planted/dwmapi.dll"
start_planted() {
  (cd "$work/planted" && exec wine ./kestrelink.exe) >>"$kl_out/program-planted.log" 2>&1 </dev/null &
  program_pid=$!
}
start_planted
# A first start of a new executable has once taken longer than the wait on a loaded machine:
# that is said, and the start tried once more; a program that never shows still fails.
if ! kl_find_window; then
  kl_log "note planted: no window after the wait (the program has $(kill -0 "$program_pid" 2>/dev/null && echo 'not ended' || echo ended)); starting it again"
  kill "$program_pid" 2>/dev/null; wait "$program_pid" 2>/dev/null
  start_planted
  kl_find_window || kl_log "FAIL planted: the main window did not appear"
fi
[ -z "${WIDTH:-}" ] || shot planted-start
check "a dwmapi.dll beside the program is not loaded" "$(ls "$work/planted/planted-dll-ran" 2>/dev/null | wc -l)" "0"
kill "$program_pid" 2>/dev/null; wait "$program_pid" 2>/dev/null; program_pid=""

if [ "$(id -u)" -ne 0 ]; then
  kl_log "skipped: trusting a test CA needs root"
  [ $kl_fail -eq 0 ] && exit 77 || exit 1
fi

# The relay over TLS on the compiled-in port, with a certificate from a CA of this run.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "/CN=Kestrelink test CA $$" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
  -keyout "$work/key.pem" -out "$work/req.pem" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >"$work/ext.cnf"
openssl x509 -req -in "$work/req.pem" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 1 \
  -extfile "$work/ext.cnf" -out "$work/cert.pem" 2>/dev/null
"$native/kestrelink-relay" --port "$port" --metrics-port off --cert "$work/cert.pem" --key "$work/key.pem" \
  >"$kl_out/relay.out" 2>"$kl_out/relay.log" &
relay_pid=$!
wait_for 10 eval 'test -s "$kl_out/relay.out" || ! kill -0 $relay_pid 2>/dev/null'
[ -s "$kl_out/relay.out" ] || kl_log "FAIL the relay did not start: $(grep -v '^[0-9-]*T' "$kl_out/relay.log" | tail -1)"

# Wine reads the system's roots when its server starts: a prefix and server of this test's own.
prefix="$WINEPREFIX-release"
[ -d "$prefix" ] || cp -a --reflink=auto "$WINEPREFIX" "$prefix"
export WINEPREFIX=$prefix
# start_program NAME: a fresh server for the prefix, then the release with its window found.
start_program() {
  # The old server gone first: a new one reads the system's roots afresh.
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  wineserver -p >/dev/null 2>&1 </dev/null
  wine cmd /c exit >/dev/null 2>&1 </dev/null
  wine "$exe" >"$kl_out/program-$1.log" 2>&1 </dev/null &
  program_pid=$!
  kl_find_window || kl_log "FAIL $1: the main window did not appear"
  shot "$1-start"
}
stop_program() { kill "$program_pid" 2>/dev/null; wait "$program_pid" 2>/dev/null; program_pid=""; }

# Before the CA is trusted, the program drops the connection after the TLS handshake, before
# its upgrade request (the relay sees the stream end), and never registers.
start_program untrusted
refused='conn=1 .*(tls handshake failed|http request failed)'
wait_for 60 grep -qE "$refused" "$kl_out/relay.log"
check "without the CA the program refuses the relay's certificate" \
  "$(grep -qE "$refused" "$kl_out/relay.log" && echo refused):$(grep -c 'open$\|registered host' "$kl_out/relay.log")" "refused:0"
stop_program

# Wine trusts what update-ca-certificates writes to the system bundle (package ca-certificates).
command -v update-ca-certificates >/dev/null || kl_log "FAIL update-ca-certificates is missing (package ca-certificates)"
cp "$work/ca.pem" "$ca_file"
update-ca-certificates >"$kl_out/update-ca.log" 2>&1 || kl_log "FAIL update-ca-certificates: exit $?"
start_program trusted
expect_status trusted-registered "Bağlantıya hazır" 30
check "with the CA the relay registered the host over TLS" \
  "$(grep -q 'registered host [1-9][0-9]\{8\}$' "$kl_out/relay.log" && echo registered)" "registered"
exit $kl_fail
