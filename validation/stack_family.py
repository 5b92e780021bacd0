#!/usr/bin/env python3
"""Writes the guarded-plate stack family: one deck per dielectric stack and
a list of the cases with their one-dimensional references.

    stack_family.py OUT_DIR [--short]

Every deck is the guarded plate of validation/decks (a 10 x 10 um plate,
0.1 um thick, with a coplanar grounded guard 0.1 um away, between ground
planes at z <= 0 and z >= 2.1 um, in a 40 x 40 um window); only the
dielectric stack and the height of the plate change. Since the stack is
layered in z, the field under and over the plate is one-dimensional, and
each coupling is a series capacitor: eps0 * A / sum(t_i / eps_i) over the
layers between the plate and that ground plane, with A the plate grown by
half the guard gap (10.1 x 10.1 um).

OUT_DIR/cases.tsv holds, one case a line: name, stack, deck file, the
interface pairs (E_below:E_above), the bottom and top references in farads.
--short writes only the few cases the test suite runs.
"""
import os
import sys

EPS0 = 8.854187817e-18  # F/um
AREA = 10.1 * 10.1      # um^2
GROUND_TOP = 0.0        # top face of the bottom ground plane
GROUND_BOTTOM = 2.1     # bottom face of the top ground plane
PLATE_T = 0.1

# Permittivity pairs (below, above) across the plate's nearest interface.
CONTRASTS = [(1.0, 3.9), (2.5, 4.2), (1.0, 10.0), (10.0, 1.0), (3.9, 7.0)]
DISTANCES = [0.02, 0.04, 0.1, 0.3]

# Cases the test suite runs: each has an interface beyond the one next to
# the plate, which is where a walk with another layer's tables goes wrong.
SHORT = {"issue_10_above", "middle_3.9_1_10", "sheet_above_one_away_10"}


def fmt(x):
    s = "%.6f" % x
    s = s.rstrip("0").rstrip(".")
    return s if s not in ("-0", "") else "0"


class Case:
    def __init__(self, name, plate_z, stack):
        """stack: [eps0, z1, eps1, z2, eps2, ...] from the bottom; eps_k fills
        the space between interfaces z_k and z_(k+1)."""
        self.name = name
        self.plate_z = plate_z
        self.eps = stack[0::2]
        self.faces = stack[1::2]
        assert all(a < b for a, b in zip(self.faces, self.faces[1:])), name
        for z in self.faces:
            assert GROUND_TOP < z < GROUND_BOTTOM, name
            assert not (plate_z - 1e-9 <= z <= plate_z + PLATE_T + 1e-9), name

    def layer_bounds(self):
        zs = [-0.5] + self.faces + [GROUND_BOTTOM + 0.5]
        return [(zs[i], zs[i + 1], self.eps[i]) for i in range(len(self.eps))]

    def reference(self, lo, hi):
        series = 0.0
        for z0, z1, eps in self.layer_bounds():
            t = min(z1, hi) - max(z0, lo)
            if t > 0:
                series += t / eps
        return EPS0 * AREA / series

    def stack_text(self):
        # "3.9 |0.3| 1 |0.64| 10, plate 0.5": permittivities from the bottom
        # with the interface heights between them.
        parts = [fmt(self.eps[0])]
        for z, e in zip(self.faces, self.eps[1:]):
            parts.append("|%s| %s" % (fmt(z), fmt(e)))
        return " ".join(parts) + ", plate " + fmt(self.plate_z)

    def pairs(self):
        return " ".join("%s:%s" % (fmt(a), fmt(b)) for a, b in zip(self.eps, self.eps[1:]))

    def deck(self):
        zp = self.plate_z
        lines = ["// Guarded plate, stack from the bottom: " + self.stack_text() + ".",
                 "<vorn>",
                 "<window> v1 (-20,-20,-0.5) v2 (20,20,2.6) [/window]"]
        for i, (z0, z1, eps) in enumerate(self.layer_bounds()):
            lines += ["<medium> name m%d" % i,
                      "    <block> name m%d_blk basepoint (-20,-20,%s) v1 (40,0,0) v2 (0,40,0) "
                      "hvector (0,0,%s) [/block]" % (i, fmt(z0), fmt(z1 - z0)),
                      "  diel %s" % fmt(eps),
                      "[/medium]"]
        zs, h = fmt(zp), fmt(PLATE_T)

        def block(name, x, y, dx, dy, z, dz):
            return ("    <block> name %s basepoint (%s,%s,%s) v1 (%s,0,0) v2 (0,%s,0) "
                    "hvector (0,0,%s) [/block]" % (name, x, y, z, dx, dy, dz))
        lines += ["<conductor> name bottom", block("bottom_b0", -20, -20, 40, 40, -0.5, 0.5),
                  "[/conductor]",
                  "<conductor> name plate", block("plate_b0", -5, -5, 10, 10, zs, h), "[/conductor]",
                  "<conductor> name guard",
                  block("guard_b0", -15, -15, 9.9, 30, zs, h),
                  block("guard_b1", 5.1, -15, 9.9, 30, zs, h),
                  block("guard_b2", -5.1, -15, 10.2, 9.9, zs, h),
                  block("guard_b3", -5.1, 5.1, 10.2, 9.9, zs, h),
                  "[/conductor]",
                  "<conductor> name top", block("top_b0", -20, -20, 40, 40, 2.1, 0.5), "[/conductor]",
                  "<task> <capacitance> plate [/capacitance] [/task]",
                  "[/vorn]"]
        return "\n".join(lines) + "\n"


def family():
    P0, P1 = 1.0, 1.1  # plate bottom and top
    two = []
    # Two layers: the nearest interface above a plate in the lower layer, or
    # below a plate in the upper one, at every distance and contrast.
    for lo, hi in CONTRASTS:
        for d in DISTANCES:
            two.append(Case("two_lowest_%s_%s_d%s" % (fmt(lo), fmt(hi), fmt(d)), P0,
                              [lo, P1 + d, hi]))
            two.append(Case("two_top_%s_%s_d%s" % (fmt(lo), fmt(hi), fmt(d)), P0,
                              [lo, P0 - d, hi]))
    # Three layers, plate in the middle one, interfaces on both sides.
    cases = []
    for (lo, mid, hi), (db, da) in [((3.9, 1.0, 10.0), (0.3, 0.04)),
                                    ((10.0, 1.0, 3.9), (0.02, 0.1)),
                                    ((4.2, 2.5, 4.2), (0.04, 0.02)),
                                    ((1.0, 10.0, 1.0), (0.1, 0.3)),
                                    ((7.0, 3.9, 7.0), (0.02, 0.02)),
                                    ((1.0, 3.9, 10.0), (0.1, 0.1))]:
        cases.append(Case("middle_%s_%s_%s" % (fmt(lo), fmt(mid), fmt(hi)), P0,
                          [lo, P0 - db, mid, P1 + da, hi]))
    # The cases that showed the fault: plate at 0.5, 3.9 to 0.3, 1 above it.
    cases.append(Case("issue_10_above", 0.5, [3.9, 0.3, 1.0, 0.64, 10.0]))
    cases.append(Case("issue_3.9_above", 0.5, [3.9, 0.3, 1.0, 0.64, 3.9]))
    cases.append(Case("issue_sheet_10", 0.5, [3.9, 0.3, 1.0, 0.64, 10.0, 0.84, 3.9]))
    cases.append(Case("issue_far_10", 0.5, [3.9, 0.3, 1.0, 0.8, 10.0]))
    # Thin high-permittivity sheets (0.05 to 0.2 um) next to the plate...
    for eps, t, d, above in [(10.0, 0.05, 0.02, True), (7.0, 0.1, 0.04, False),
                             (10.0, 0.2, 0.1, False), (7.0, 0.05, 0.3, True),
                             (10.0, 0.1, 0.02, False)]:
        if above:
            stack = [3.9, P1 + d, eps, P1 + d + t, 3.9]
        else:
            stack = [3.9, P0 - d - t, eps, P0 - d, 2.5]
        cases.append(Case("sheet_%s_next_%s_t%s_d%s" % ("above" if above else "below", fmt(eps),
                                                         fmt(t), fmt(d)), P0, stack))
    # ...and one layer away from it, with the plate's layer in between.
    cases.append(Case("sheet_above_one_away_10", P0, [3.9, P1 + 0.1, 1.0, P1 + 0.3, 10.0,
                                                      P1 + 0.35, 3.9]))
    cases.append(Case("sheet_below_one_away_7", P0, [2.5, P0 - 0.34, 7.0, P0 - 0.24, 1.0,
                                                     P0 - 0.04, 2.5]))
    cases.append(Case("sheet_below_one_away_10_top", P0, [3.9, P0 - 0.5, 10.0, P0 - 0.3, 1.0]))
    # Five layers as a process builds them: oxide, etch stop, low-k around
    # the plate, a high-k cap, oxide; and the same with an air gap.
    cases.append(Case("five_lowk_caps", P0, [3.9, P0 - 0.15, 7.0, P0 - 0.1, 2.5, P1 + 0.04, 4.2,
                                             P1 + 0.14, 3.9]))
    cases.append(Case("five_airgap", P0, [3.9, P0 - 0.12, 10.0, P0 - 0.02, 1.0, P1 + 0.02, 10.0,
                                          P1 + 0.22, 3.9]))
    cases.append(Case("five_plate_lowest", 0.3, [2.5, 0.5, 10.0, 0.6, 1.0, 1.2, 7.0, 1.3, 3.9]))
    cases.append(Case("five_plate_top", 1.6, [3.9, 0.5, 10.0, 0.7, 1.0, 1.2, 7.0, 1.3, 2.5]))
    # The stacks of three or more layers first: they are the ones a walk
    # with another layer's tables gets wrong.
    return cases + two


def main(argv):
    if len(argv) < 2 or len(argv) > 3 or (len(argv) == 3 and argv[2] != "--short"):
        sys.stderr.write("usage: stack_family.py OUT_DIR [--short]\n")
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    cases = family()
    if len(argv) == 3:
        cases = [c for c in cases if c.name in SHORT]
    names = [c.name for c in cases]
    assert len(set(names)) == len(names)
    with open(os.path.join(out, "cases.tsv"), "w") as manifest:
        for c in cases:
            deck = c.name + ".kd"
            with open(os.path.join(out, deck), "w") as f:
                f.write(c.deck())
            zp = c.plate_z
            manifest.write("\t".join([c.name, c.stack_text(), deck, c.pairs(),
                                      "%.9e" % c.reference(GROUND_TOP, zp),
                                      "%.9e" % c.reference(zp + PLATE_T, GROUND_BOTTOM)]) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
