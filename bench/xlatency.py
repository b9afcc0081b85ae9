#!/usr/bin/env python3
"""Latencies between two X displays, read straight from the X servers (libX11 by ctypes).

  xlatency.py frame HOST_DISPLAY VIEWER_DISPLAY HX HY VX VY N
      paints a 200x200 square centred on HX,HY of the host's screen (over every window) in a
      new colour and waits until the viewer's screen shows it at VX,VY: screen change to
      viewer paint, N times.
  xlatency.py churn DISPLAY X Y SECONDS
      repaints a 96x96 square at X,Y in a new colour every 40 ms for SECONDS: a busy screen.
  xlatency.py input VIEWER_DISPLAY HOST_DISPLAY VX1 VY1 VX2 VY2 HX1 HY1 HX2 HY2 N
      moves the viewer's pointer between two points of the remote picture and waits until
      the host's pointer reaches the matching point: viewer input to host injection.
Prints one JSON line with the samples' p50 and p99 in milliseconds."""
import ctypes, json, os, random, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from xlib import x  # noqa: E402

ZPIXMAP, ALL_PLANES, INCLUDE_INFERIORS = 2, 0xFFFFFFFF, 1


class Display:
    def __init__(self, name):
        self.d = x.XOpenDisplay(name.encode())
        if not self.d:
            sys.exit("cannot open display " + name)
        self.root = x.XDefaultRootWindow(self.d)

    def pixel(self, px, py):
        image = x.XGetImage(self.d, self.root, px, py, 1, 1, ALL_PLANES, ZPIXMAP)
        value = x.XGetPixel(image, 0, 0)
        # XImage's data pointer sits after width, height, xoffset, format (4 ints).
        data = ctypes.cast(image + 16, ctypes.POINTER(ctypes.c_void_p))[0]
        x.XFree(data)
        x.XFree(image)
        return value & 0xFFFFFF

    def fill(self, px, py, w, h, rgb):
        # Drawn on the root over every window, as a change of what the screen shows.
        gc = x.XDefaultGC(self.d, 0)
        x.XSetSubwindowMode(self.d, gc, INCLUDE_INFERIORS)
        x.XSetForeground(self.d, gc, rgb)
        x.XFillRectangle(self.d, self.root, gc, px, py, w, h)
        x.XSync(self.d, 0)

    def warp(self, px, py):
        x.XWarpPointer(self.d, 0, self.root, 0, 0, 0, 0, px, py)
        x.XSync(self.d, 0)

    def pointer(self):
        rx, ry, wx, wy = (ctypes.c_int() for _ in range(4))
        mask = ctypes.c_uint()
        child = ctypes.c_ulong()
        root = ctypes.c_ulong()
        x.XQueryPointer(self.d, self.root, ctypes.byref(root), ctypes.byref(child), ctypes.byref(rx),
                        ctypes.byref(ry), ctypes.byref(wx), ctypes.byref(wy), ctypes.byref(mask))
        return rx.value, ry.value


def close(a, b):
    return all(abs(((a >> s) & 255) - ((b >> s) & 255)) < 40 for s in (0, 8, 16))


def wait_until(test, limit=3.0):
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if test():
            return (time.monotonic() - start) * 1000
        time.sleep(0.0005)
    return None


def report(samples, n):
    s = sorted(samples)
    pick = lambda p: round(s[min(len(s) - 1, int(len(s) * p / 100))], 1) if s else None
    print(json.dumps({"samples": len(s), "missed": n - len(s), "p50": pick(50), "p99": pick(99)}))


def frame(args):
    host, viewer = Display(args[0]), Display(args[1])
    hx, hy, vx, vy, n = map(int, args[2:7])
    # Eight colours far apart: a viewer lagging by fewer than eight changes never matches an old one.
    colours = [0xE01010, 0x1010E0, 0x10C010, 0xE0E010, 0xE010E0, 0x10E0E0, 0xF0F0F0, 0x804000]
    samples = []
    for i in range(n):
        colour = colours[i % len(colours)]
        host.fill(hx - 100, hy - 100, 200, 200, colour)
        t = wait_until(lambda: close(viewer.pixel(vx, vy), colour))
        if t is not None:
            samples.append(t)
        time.sleep(random.uniform(0.1, 0.3))
    report(samples, n)


def pointer(args):
    viewer, host = Display(args[0]), Display(args[1])
    v = [(int(args[2]), int(args[3])), (int(args[4]), int(args[5]))]
    h = [(int(args[6]), int(args[7])), (int(args[8]), int(args[9]))]
    n = int(args[10])
    samples = []
    for i in range(n):
        viewer.warp(*v[i % 2])
        tx, ty = h[i % 2]
        t = wait_until(lambda: abs(host.pointer()[0] - tx) <= 6 and abs(host.pointer()[1] - ty) <= 6)
        if t is not None:
            samples.append(t)
        time.sleep(random.uniform(0.1, 0.2))
    report(samples, n)


def churn(args):
    d = Display(args[0])
    px, py, seconds = int(args[1]), int(args[2]), float(args[3])
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        d.fill(px, py, 96, 96, random.randrange(0x1000000))
        time.sleep(0.04)


if __name__ == "__main__":
    modes = {"frame": frame, "input": pointer, "churn": churn}
    if len(sys.argv) < 2 or sys.argv[1] not in modes:
        print(__doc__)
        sys.exit(0 if len(sys.argv) > 1 and sys.argv[1] == "--help" else 2)
    modes[sys.argv[1]](sys.argv[2:])
