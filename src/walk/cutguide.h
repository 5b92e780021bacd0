// The search of a cut cube's transition table, folded by the cube's mirrors.
#pragma once

#include <cstdint>
#include <vector>

#include "singletables.h"

// A cube cut by a horizontal interface is its own image under the mirrors
// x -> -x, y -> -y and x <-> y about its vertical axis, and so is its table:
// the panels of one orbit of those mirrors share one probability. The
// folded guide searches the orbits' sums (768 entries instead of 5766, about
// 5 KB instead of 40), and a second word picks one of the orbit's members.
// A pair's thirty cut positions then stay in cache, where the end-to-end
// guides missed it on most interface hops. The same law as the end-to-end
// search, by other draws.
class CutGuide {
public:
    SurfaceGuide full;    // the end-to-end search
    SurfaceGuide folded;  // over the orbits' cumulative sums; unusable when the table is not symmetric
    // Orbit o's members are members[8 * o] to members[8 * o + 7], each as
    // often as the mirrors map the orbit's first panel onto it.
    const uint16_t* members = nullptr;

    // `fold`: whether the table is a full cube's cut, which the mirrors keep.
    void Build(const double* face_cdf, const std::vector<double>* panel_cdf, int panels, bool fold);
    // Entry of the end-to-end table for word w (the orbit) and word pick (the member).
    int Find(uint32_t w, uint32_t pick) const { return members[8 * folded.FindCold(w) + (pick >> 29)]; }

    // Panels a side of a folded cube, its orbits, and the difference
    // within an orbit (relative to the largest panel) still taken for
    // rounding, as the load checks take it.
    static const int SIDE = 31;
    static const int ORBITS = 768;
    static constexpr double SYMMETRY_TOL = 1e-9;
    // Buckets of the folded guide, 2^10: about one orbit each.
    static const int FOLDED_BITS = 10;
    // The orbits of SIDE panels a side: eight members each, as above.
    static const std::vector<uint16_t>& Orbits();
};
