// Searches of the cumulative tables a hop draws from: the face, then the
// panel of that face, for a uniform draw. Inline, as every hop of the walk
// loop runs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "singletables.h"

// The face is the first whose cumulative sum reaches r; the panel is the
// first cumulative entry of that face that reaches the same r. Ties resolve
// to the earliest entry. Sums that do not fall put the ones below r first,
// so their count is that face, found without a jump on the draw.
inline int FindFace(const double* face_cdf, double r)
{
    const double* s = face_cdf;
    if (__builtin_expect((s[0] <= s[1]) & (s[1] <= s[2]) & (s[2] <= s[3]) & (s[3] <= s[4]), 1))
        return (int)(s[0] < r) + (int)(s[1] < r) + (int)(s[2] < r) + (int)(s[3] < r) + (int)(s[4] < r);
    for (int f = 0; f < 5; f++)
        if (face_cdf[f] >= r)
            return f;
    return 5;
}

// b ? y : x by masks: a compiler may branch on a choice between doubles.
inline double Pick(size_t b, double x, double y)
{
    uint64_t u, v;
    std::memcpy(&u, &x, sizeof u);
    std::memcpy(&v, &y, sizeof v);
    const uint64_t m = 0 - (uint64_t)b;
    u = (u & ~m) | (v & m);
    double out;
    std::memcpy(&out, &u, sizeof out);
    return out;
}

// Lower bound without data-dependent branches: every hop searches a fresh
// uniform draw, so a branching search mispredicts about half its steps.
// Two halvings per round: the round loads the probe of the first and both
// probes the second may take, so that the loads of a round wait for one
// another only once. The probes taken are those of one halving at a time.
inline int FindPanel(const std::vector<double>& panel_cdf, double r)
{
    const double* data = panel_cdf.data();
    size_t n = panel_cdf.size();
    if (n == 0)
        return 0;
    const double* base = data;
    while (n > 2) {
        const size_t half = n / 2, rest = n - half, next = rest / 2;
        const double here = base[half], low = base[next], high = base[half + next];
        const size_t up = here < r;
        base += half & (0 - up);
        base += next & (0 - (size_t)(Pick(up, low, high) < r));
        n = rest - next;
    }
    if (n > 1)
        base = (base[1] < r) ? base + 1 : base;
    return (int)(base - data) + (*base < r);
}

// The guide of a single-medium table, when panel_cdf is one that has one.
inline const SurfaceGuide* GuideFor(const SingleTables& t, const std::vector<double>* panel_cdf)
{
    if (t.surface_guide.usable && panel_cdf == t.surface_guide.source)
        return &t.surface_guide;
    for (int d = 0; d < 3; d++)
        if (t.weight_guide[d].usable && panel_cdf == t.weight_guide[d].source)
            return &t.weight_guide[d];
    return nullptr;
}

// The single-medium tables are running sums of the file values as read, so a
// density with negative entries leaves them non-monotone and the guide
// declines them. Only the standard bisection's own probe order then picks
// the expected panel. The registry's tables keep the fast search: they hold
// transition probabilities and density magnitudes, which never fall.
inline bool IsSingleMediumTable(const SingleTables& t, const std::vector<double>* panel_cdf)
{
    return panel_cdf == t.partial_sum_arr ||
           panel_cdf == t.cdf_single_weight[0] ||
           panel_cdf == t.cdf_single_weight[1] ||
           panel_cdf == t.cdf_single_weight[2];
}
