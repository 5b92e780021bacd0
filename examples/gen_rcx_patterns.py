#!/usr/bin/env python3
"""Writes calibration patterns in the extractor's wires-file layout: a wire
between two neighbours over a ground plane and under a second one (the next
metal level as a plane), in one dielectric.

usage: gen_rcx_patterns.py OUT_DIR [--lengths 10,20] [--width W] [--space S]
       [--thickness T] [--height H] [--eps E] [--no-top]
       [--flow PROCESS [--spaces S1,S2,...] [--len N]]

One file OUT_DIR/<name>_L<length>/wires per length; the middle wire M1_w2 is
at voltage 1 (the master), its neighbours M1_w1 and M1_w3 at 0. The upper
plane lies as far above the wires as the lower one lies below them.

--flow PROCESS lays the patterns out as the rule generator does, one per
spacing, each N widths long:
OUT_DIR/PROCESS/<Over3|OverUnder3>/<metals>/W<w>_W<w>/S<s>_S<s>_L<N>/wires,
and lists every wires file under OUT_DIR/PROCESS in
OUT_DIR/patternFiles.PROCESS, the list a batch runs.
"""
import argparse
import os


def pattern(length, w, s, t, h, eps, upper, name=None):
    x = [-(w + s) - w / 2, -w / 2, w / 2 + s]
    top = h + t
    kind = "OverUnder/M1oM0uM2" if upper else "Over/M1oM0"
    lines = ["PATTERN " + (name or "%s/W%g_W%g/S%g_S%g" % (kind, w, w, s, s)), "",
             "GROUND_PLANE 0 M0_w0  HEIGHT -0.1 0.0  THICKNESS 0.1"]
    if upper:
        lines.append("GROUND_PLANE 2 M2_w0  HEIGHT %6.3f %6.3f  THICKNESS 0.1" % (top + h, top + h + 0.1))
    lines += ["DIELECTRIC oxide HEIGHT %6.3f %6.3f   EPSILON %6.3f" % (0.0, top + 2 * h, eps), ""]
    for i, x0 in enumerate(x, start=1):
        lines.append("WIRE %d M1_w%d  LL %6.3f %6.3f  LR %6.3f %6.3f  UR %6.3f %6.3f  UL %6.3f %6.3f"
                     "   LENGTH %6.3f   VOLTAGE %g"
                     % (i, i, x0, h, x0 + w, h, x0 + w, top, x0, top, length, 1 if i == 2 else 0))
    x_lo, x_hi = x[0] - s, x[2] + w + s
    lines += ["", "WINDOW_BBOX  LL %6.3f %6.3f UR %6.3f %6.3f LENGTH %6.3f"
              % (x_lo, 0.0, x_hi, top + 2 * h, length),
              "", "SIM_WIN_EXT  LL %6.3f %6.3f UR %6.3f %6.3f LENGTH %6.3f %6.3f"
              % (-(x_hi - x_lo), 0.0, x_hi - x_lo, 0.0, 0.0, 0.0)]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out")
    ap.add_argument("--lengths", default="10,20")
    ap.add_argument("--width", type=float, default=0.2)
    ap.add_argument("--space", type=float, default=0.2)
    ap.add_argument("--thickness", type=float, default=0.3)
    ap.add_argument("--height", type=float, default=0.4)
    ap.add_argument("--eps", type=float, default=3.9)
    ap.add_argument("--no-top", action="store_true", help="no upper plane")
    ap.add_argument("--flow", metavar="PROCESS", help="the rule generator's folder layout")
    ap.add_argument("--spaces", help="spacings, with --flow (default: --space)")
    ap.add_argument("--len", type=int, default=10, help="length in widths, with --flow")
    a = ap.parse_args()
    if a.flow:
        kind = "Over3/M1oM0" if a.no_top else "OverUnder3/M1oM0uM2"
        for s in (float(v) for v in (a.spaces or str(a.space)).split(",")):
            name = "%s/%s/W%g_W%g/S%g_S%g_L%d" % (a.flow, kind, a.width, a.width, s, s, a.len)
            os.makedirs(os.path.join(a.out, name), exist_ok=True)
            with open(os.path.join(a.out, name, "wires"), "w") as f:
                f.write(pattern(a.len * a.width, a.width, s, a.thickness, a.height, a.eps, not a.no_top, name))
            print(os.path.join(a.out, name, "wires"))
        found = [os.path.relpath(os.path.join(d, "wires"), a.out)
                 for d, _, files in os.walk(os.path.join(a.out, a.flow)) if "wires" in files]
        with open(os.path.join(a.out, "patternFiles." + a.flow), "w") as f:
            f.write("".join(p + "\n" for p in sorted(found)))
        return
    for length in (float(v) for v in a.lengths.split(",")):
        kind = "M1oM0" if a.no_top else "M1oM0uM2"
        d = os.path.join(a.out, "%s_W%g_S%g_L%g" % (kind, a.width, a.space, length))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "wires"), "w") as f:
            f.write(pattern(length, a.width, a.space, a.thickness, a.height, a.eps, not a.no_top))
        print(os.path.join(d, "wires"))


if __name__ == "__main__":
    main()
