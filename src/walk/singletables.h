// The single-medium cube tables a run samples its homogeneous hops and
// first hops from, and the search shortcuts built over them.
#pragma once

#include <cstdint>
#include <vector>

struct TableLedger;

// An exact shortcut for the panel search over a cumulative surface table,
// for draws of the walk's generator (multiples of 2^-32 below 1, given as
// the 32-bit word w of the draw w * 2^-32). The six faces' entries are laid
// end to end, and bucket b of a draw (b = floor(draw * BUCKETS)) records the
// first entry that reaches b / BUCKETS; the answer then lies between the
// bucket's first entry and the next bucket's, nearly always at most two
// entries on. It gives the same face and panel as the face-then-panel search
// whenever the table is non-decreasing and each face sum is its face's last
// entry; otherwise it stays unused.
class SurfaceGuide {
public:
    static const int BUCKET_BITS = 13;
    static const int BUCKETS = 1 << BUCKET_BITS;
    // Entry e lies below the draw of word w exactly when w > floor(e * 2^32):
    // 32-bit limits, so that the scan reads half the bytes of the doubles.
    // PAD limits of 2^32 - 1, which no word exceeds, end every scan.
    static const int PAD = 3;
    std::vector<uint32_t> limit;
    std::vector<uint16_t> first;  // half the bytes of int: more stays in cache
    const std::vector<double>* source = nullptr;  // the per-face table it mirrors
    bool usable = false;
    // Of the draw's word, the bits below the bucket's: BUCKET_BITS buckets
    // for Find, fewer for a short table searched by FindCold only.
    int shift = 32 - BUCKET_BITS;

    void Build(const double* face_cdf, const std::vector<double>* panel_cdf, int panels);
    // The same over one cumulative table of `cdf`, with 2^bits buckets.
    void BuildFlat(const std::vector<double>& cdf, int bits);
    void Clear();
    // First entry >= the draw of word w, or the entry count when none is.
    // The next three entries are compared at once (the entries do not fall,
    // so the ones below the draw come first): a loop would stop after a
    // random number of steps and mispredict on most draws. About one draw in
    // a hundred needs more.
    int Find(uint32_t w) const { return Scan(first[w >> (32 - BUCKET_BITS)] & (PURE - 1), w); }
    // The same, for a table read too seldom to stay in cache: a bucket that
    // no entry splits gives its entry without the second read. The branch
    // is a coin toss, cheaper than a miss but dearer than a hit.
    int FindCold(uint32_t w) const
    {
        const unsigned f = first[w >> shift];
        if (f & PURE)
            return (int)(f & (PURE - 1));
        return Scan((int)f, w);
    }
    // Marks a bucket whose draws all give its first entry.
    static const unsigned PURE = 0x8000;

private:
    int Scan(int i, uint32_t w) const
    {
        const uint32_t* c = limit.data() + i;
        const int below = (int)(w > c[0]) + (int)(w > c[1]) + (int)(w > c[2]);
        i += below;
        if (__builtin_expect(below == PAD, 0))
            while (w > limit[i])
                ++i;
        return i;
    }
};

// The single-medium tables of one run, filled once by LoadData; the
// walkers read them through their run's table set.
struct SingleTables {
    std::vector<double> partial_sum_arr[6];
    double partial_face_sum_arr[6] = {};
    std::vector<double> cdf_single_weight[3][6];
    double cdf_face_single_weight[3][6] = {};
    double single_weight[3] = {};
    std::vector<int> strata_array = std::vector<int>(7, 0);
    std::vector<int> div_portion = std::vector<int>(17, 0);
    // Search shortcuts of the homogeneous transition table and of the three
    // importance-sampling tables of the first hop.
    SurfaceGuide surface_guide;
    SurfaceGuide weight_guide[3];
    // Sum of the digests of the files read.
    uint64_t digest = 0;

    // Reads the tables of `weight_select` from the data folder, checked
    // against `ledger` when its checks are on.
    bool LoadData(int weight_select, TableLedger& ledger);
    int LoadPrmat(double* data, int size);
    void RegisterSingleWeight(double* weights, double* gft, int drc_num, int face_num, int segnum,
                              int weight_select);
    // The strata of the first transition cube (selector 3).
    void DivSS();
    void Reset();  // empties the tables
};
