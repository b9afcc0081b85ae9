#!/usr/bin/env bash
# Real JPEG files from different encoders (cjpeg, ImageMagick) judged by the frame check:
# natively (built with ASan and UBSan) and, given a Windows build, decoded under Wine.
#   jpeg_files.sh native FRAME_CHECK        jpeg_files.sh windows FRAME_CHECK.exe
set -uo pipefail
mode=$1 tool=$(realpath "$2")
work=$(mktemp -d /tmp/kl-jpeg.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
cd "$work"
convert -size 320x240 plasma:fractal -seed 7 source.ppm 2>/dev/null || convert -size 320x240 gradient:red-blue source.ppm
convert source.ppm -quality 80 baseline.jpg
cjpeg -progressive source.ppm > progressive.jpg
cjpeg -arithmetic source.ppm > arithmetic.jpg
cjpeg -grayscale source.ppm > grey.jpg
convert source.ppm -colorspace CMYK cmyk.jpg
convert -size 1920x1080 gradient:black-white -interlace JPEG big-progressive.jpg
convert -size 7681x10 xc:gray wide.jpg
convert -size 10x4321 xc:gray tall.jpg
convert -size 7680x10 xc:gray widest.jpg
convert -size 7680x4320 xc:black black-8k.jpg
head -c 300 baseline.jpg > truncated.jpg   # ends inside a header segment
convert source.ppm source.png
# A 12-bit frame header: this libjpeg cannot write one, so the precision byte of a baseline
# file's SOF0 is set to 12 (the check must refuse before any decoder runs).
python3 - <<'PY'
data = bytearray(open("baseline.jpg", "rb").read())
at = data.index(b"\xff\xc0")
data[at + 4] = 12
open("precision12.jpg", "wb").write(data)
# Work that does not grow the file: the last scan of a progressive file 200 times more (each copy
# one more pass over the picture), and an 8K picture cut to its first kilobytes (the decoder
# would fill in the rest).
data = open("progressive.jpg", "rb").read()
last = data.rindex(b"\xff\xda")
open("repeated-scan.jpg", "wb").write(data[:-2] + data[last:-2] * 200 + b"\xff\xd9")
open("sparse-8k.jpg", "wb").write(open("black-8k.jpg", "rb").read()[:3000])
PY

expect() {  # expect FILE VERDICT
  local got
  if [ "$mode" = windows ]; then got=$(wine "$tool" "$1" 2>/dev/null | tr -d '\r'); else got=$("$tool" "$1"); fi
  if [ "$got" = "$2" ]; then echo "ok   $1: $got"; else echo "FAIL $1: $got, expected $2"; fail=1; fi
}
ok=accepted; [ "$mode" = windows ] && ok=decoded
expect baseline.jpg "$ok 320x240"
expect progressive.jpg "$ok 320x240"
expect grey.jpg "$ok 320x240"
expect big-progressive.jpg "$ok 1920x1080"
expect widest.jpg "$ok 7680x10"
expect black-8k.jpg "$ok 7680x4320"
[ "$mode" = native ] && expect cmyk.jpg "accepted 320x240"   # four components pass the check
expect arithmetic.jpg refused
expect wide.jpg refused
expect tall.jpg refused
expect precision12.jpg refused
expect truncated.jpg refused
expect source.png refused
expect repeated-scan.jpg refused
expect sparse-8k.jpg refused
exit $fail
