#!/usr/bin/env python3
"""Keeps a host's screen changing for a stream test and says when what changed (libX11 by ctypes).

  screen_churn.py DISPLAY X Y SECONDS PERIOD
      shows a 200x150 patch at X,Y and gives it a new colour every PERIOD seconds for SECONDS,
      and samples the pointer every 20 ms. Prints one JSON line per event with the monotonic
      clock in ms (the clock klpeer's atMs uses): {"colour":"rrggbb","atMs":...} and
      {"pointerX":N,"atMs":...} when the pointer moves."""
import ctypes, itertools, json, sys, time

from xlib import x


def main(args):
    if len(args) != 5:
        print(__doc__)
        return 0 if args[:1] == ["--help"] else 2
    d = x.XOpenDisplay(args[0].encode())
    if not d:
        sys.exit("cannot open display " + args[0])
    root = x.XDefaultRootWindow(d)
    px, py, seconds, period = int(args[1]), int(args[2]), float(args[3]), float(args[4])
    # Every mix of 0, 128 and 255 per channel: 27 colours far apart even after JPEG.
    colours = [r << 16 | g << 8 | b for r, g, b in itertools.product((0, 128, 255), repeat=3)]
    patch = x.XCreateSimpleWindow(d, root, px, py, 200, 150, 0, 0, colours[0])
    x.XMapRaised(d, patch)
    x.XSync(d, 0)
    rx, ry, wx, wy = (ctypes.c_int() for _ in range(4))
    mask, child, rootw = ctypes.c_uint(), ctypes.c_ulong(), ctypes.c_ulong()
    start = time.monotonic()
    next_change, n, last_x = start, 0, None
    while time.monotonic() - start < seconds:
        now = time.monotonic()
        if now >= next_change:
            n += 1
            colour = colours[n % len(colours)]
            x.XRaiseWindow(d, patch)
            x.XSetWindowBackground(d, patch, colour)
            x.XClearWindow(d, patch)
            x.XSync(d, 0)
            print(json.dumps({"colour": "%06x" % colour, "atMs": time.monotonic() * 1000}), flush=True)
            next_change += period
        x.XQueryPointer(d, root, ctypes.byref(rootw), ctypes.byref(child), ctypes.byref(rx), ctypes.byref(ry),
                        ctypes.byref(wx), ctypes.byref(wy), ctypes.byref(mask))
        if (rx.value, ry.value) != last_x:
            last_x = (rx.value, ry.value)
            print(json.dumps({"pointerX": rx.value, "atMs": time.monotonic() * 1000}), flush=True)
        time.sleep(0.02)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
