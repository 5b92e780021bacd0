// Orbits of a cut cube's panels, and the folded search over them.
#include "cutguide.h"

#include <algorithm>
#include <cmath>

#include "log.h"
#include "tablecheck.h"

static const char KORVA_SOURCE[] = "src/cutguide";

const std::vector<uint16_t>& CutGuide::Orbits()
{
    static const std::vector<uint16_t> orbits = [] {
        const int n = 6 * SIDE * SIDE;
        std::vector<uint16_t> out;
        std::vector<bool> seen(n, false);
        // The eight mirrors and turns that keep the vertical axis: the
        // identity, x, y, both, and each of those followed by x <-> y.
        auto map = [](int g, int k) {
            if (g & 1)
                k = TableCheck::MirrorImage(0, SIDE, k);
            if (g & 2)
                k = TableCheck::MirrorImage(1, SIDE, k);
            if (g & 4)
                k = TableCheck::MirrorImage(2, SIDE, k);
            return k;
        };
        for (int k = 0; k < n; ++k) {
            if (seen[k])
                continue;
            for (int g = 0; g < 8; ++g) {
                const int m = map(g, k);
                seen[m] = true;
                out.push_back((uint16_t)m);
            }
        }
        return out;
    }();
    return orbits;
}

void CutGuide::Build(const double* face_cdf, const std::vector<double>* panel_cdf, int panels, bool fold)
{
    full.Build(face_cdf, panel_cdf, panels);
    folded.Clear();
    members = nullptr;
    if (!fold || panels != SIDE * SIDE || !full.usable)
        return;
    const std::vector<uint16_t>& orbits = Orbits();
    FATAL_CHECK(orbits.size() == 8 * (size_t)ORBITS);
    // Each panel's probability, from the running sums the walk searches.
    std::vector<double> p;
    double before = 0.0, big = 0.0;
    for (int f = 0; f < 6; ++f)
        for (double c : panel_cdf[f]) {
            p.push_back(c - before);
            big = std::max(big, c - before);
            before = c;
        }
    std::vector<double> cdf;
    double acc = 0.0;
    for (int o = 0; o < ORBITS; ++o) {
        const uint16_t* m = &orbits[8 * o];
        for (int g = 1; g < 8; ++g)
            if (!(std::fabs(p[m[g]] - p[m[0]]) <= SYMMETRY_TOL * big))
                return;
        // Each distinct member once: the eight list it 8 / size times.
        for (int g = 0; g < 8; ++g)
            if (std::find(m, m + g, m[g]) == m + g)
                acc += p[m[g]];
        cdf.push_back(acc);
    }
    // A draw above the last orbit's sum would find no orbit.
    if (!(acc * 4294967296.0 >= 4294967295.0))
        return;
    folded.BuildFlat(cdf, FOLDED_BITS);
    if (folded.usable)
        members = orbits.data();
}
