// Capacitance per unit length of a 2-D cross-section by finite differences:
// rectangles of conductor in a piecewise-constant dielectric, inside a
// grounded box.
#pragma once

#include <vector>

struct Rect2 {
    double x0, z0, x1, z1;
};

// A rectangle of dielectric; where rectangles overlap the later one holds.
struct Medium2 {
    Rect2 r;
    double eps_r;
};

struct Fd2dProblem {
    std::vector<Rect2> conductors;  // conductor 0 is at 1 V, the others at 0 V
    Rect2 box;                      // grounded outer boundary
    double eps_r = 1.0;             // wherever no medium rectangle lies
    std::vector<Medium2> media;     // bands and bodies, in order
};

// Charges per micrometre (F/um) on every conductor with conductor 0 at 1 V,
// on a grid of step h (every rectangle edge must lie on the grid). Entry 0
// is the master's self capacitance, entry k > 0 minus its coupling to k.
std::vector<double> Fd2dCharges(const Fd2dProblem& p, double h);

// Charges on steps h, h/2, h/4 extrapolated to a zero step with the observed
// ratio of successive differences; `change` receives the relative size of
// the largest correction.
std::vector<double> Fd2dExtrapolate(const std::vector<double>& a, const std::vector<double>& b,
                                    const std::vector<double>& c, double& change);

// The same, extrapolated from steps h, h/2, h/4 with the observed order of
// convergence; `change` receives the relative size of the last correction.
std::vector<double> Fd2dExtrapolated(const Fd2dProblem& p, double h, double& change);
