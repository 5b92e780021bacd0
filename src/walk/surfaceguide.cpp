// The bucket guide of a cumulative surface table; built wherever tables are
// taken in (the single-medium tables and the interface tables alike).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "singletables.h"

void SurfaceGuide::Build(const double* face_cdf, const std::vector<double>* panel_cdf, int panels)
{
    Clear();
    std::vector<double> cdf;
    for (int f = 0; f < 6; f++) {
        if ((int)panel_cdf[f].size() != panels)
            return;
        // The face search stops at the first face sum that reaches the draw;
        // the flat search agrees only if that sum is the face's last entry.
        if (f < 5 && face_cdf[f] != panel_cdf[f].back())
            return;
        cdf.insert(cdf.end(), panel_cdf[f].begin(), panel_cdf[f].end());
    }
    BuildFlat(cdf, BUCKET_BITS);
    if (usable)
        source = panel_cdf;
}

void SurfaceGuide::BuildFlat(const std::vector<double>& cdf, int bits)
{
    Clear();
    for (size_t i = 1; i < cdf.size(); i++)
        if (!(cdf[i - 1] <= cdf[i]))
            return;
    // A negative first entry has no limit: every draw would lie above it.
    if (cdf.empty() || !(cdf[0] >= 0.0) || cdf.size() >= PURE)
        return;
    // The entries do not fall, so one pass finds every bucket's first entry
    // (each interface table has thirty of these guides to build).
    const int buckets = 1 << bits;
    first.resize(buckets + 1);
    size_t e = 0;
    for (int b = 0; b <= buckets; b++) {
        const double edge = (double)b / buckets;
        while (e < cdf.size() && cdf[e] < edge)
            ++e;
        first[b] = (uint16_t)e;
    }
    // No entry reaches into a bucket whose successor starts at the same
    // entry, so every draw in it lands on that entry.
    for (int b = 0; b < buckets; b++)
        if ((first[b] & (PURE - 1)) == first[b + 1])
            first[b] |= PURE;
    // e * 2^32 is exact, and so is its floor; from 2^32 - 1 up no word lies above.
    for (double e : cdf)
        limit.push_back(e * 4294967296.0 >= 4294967295.0 ? UINT32_MAX : (uint32_t)std::floor(e * 4294967296.0));
    limit.insert(limit.end(), PAD, UINT32_MAX);
    shift = 32 - bits;
    usable = true;
}

void SurfaceGuide::Clear()
{
    limit.clear();
    first.clear();
    source = nullptr;
    usable = false;
    shift = 32 - BUCKET_BITS;
}
