// One walker: its record, the single-medium tables shared by all walkers,
// cube sampling, interface clipping and the walk loop.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <vector>

#include "geometry.h"
#include "layers.h"
#include "mersenne.h"

class WalkMgr;
struct ChunkSums;

// Grid lines of a cube side used for interface positions.
const int CI_CUT_NUMX = 31;
const int CI_CUTS = 961;     // panels per full-cube face
const int CI_CUTS_H = 1024;  // panels per half-cube face
const int SS_DIV = 7;        // concentric zones per face

// Points the cube table at z between the nearest interface rows; shrinks the cube.
int CalcPos(double z, Cube& cube, bool lower);

// Reads exactly `size` doubles of the file at `path`.
void ReadAllContent(const char* path, double* buf, int size);

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

    void Build(const double* face_cdf, const std::vector<double>* panel_cdf, int panels);
    void Clear();
    // First entry >= the draw of word w, or the entry count when none is.
    // The next three entries are compared at once (the entries do not fall,
    // so the ones below the draw come first): a loop would stop after a
    // random number of steps and mispredict on most draws. About one draw in
    // a hundred needs more.
    int Find(uint32_t w) const
    {
        int i = first[w >> (32 - BUCKET_BITS)];
        const uint32_t* c = limit.data() + i;
        const int below = (int)(w > c[0]) + (int)(w > c[1]) + (int)(w > c[2]);
        i += below;
        if (__builtin_expect(below == PAD, 0))
            while (w > limit[i])
                ++i;
        return i;
    }
};

// Cache-line aligned, so that no two workers' records share a line: each
// writes its own cursor and generators on every hop.
class alignas(64) Randomwalk {
public:
    // Most walks a worker keeps before adding them under the lock.
    static constexpr int MAX_BATCH = 8;
    // --- per-worker record, filled by WalkMgr::StartAll ---
    int id;
    WalkMgr* mgr;
    pthread_t tid;
    Layers layers;
    int gauss_select;
    int weight_select;
    CRandomMersenne rand_seed;
    CRandomMersenne rand_walk;
    CRandomMersenne rand_gauss;

    // Hops made by this worker; added to the manager once when it ends.
    long long hop_count = 0;
    // Reproducible mode: the chunk this worker fills (owned by the manager).
    ChunkSums* chunk = nullptr;

    // --- single-medium tables, shared ---
    static std::vector<double> partial_sum_arr[6];
    static double partial_face_sum_arr[6];
    static std::vector<double> cdf_single_weight[3][6];
    static double cdf_face_single_weight[3][6];
    static double single_weight[3];
    static std::vector<int> strata_array;
    static std::vector<int> div_portion;
    // Search shortcuts of the homogeneous transition table and of the three
    // importance-sampling tables of the first hop.
    static SurfaceGuide surface_guide;
    static SurfaceGuide weight_guide[3];

    Randomwalk(int id_, WalkMgr* mgr_, const Layers& layers_, int gauss_select_, int weight_select_);

    // Loading.
    static bool LoadData(int weight_select);
    static int LoadPrmat(double* data, int size);
    static void RegisterSingleWeight(double* weights, double* gft, int drc_num, int face_num,
                                     int segnum, int weight_select);
    static void ResetTables();  // empties the static tables (tests)

    // Sampling.
    PointOnCube GetPoint(int clip, Cube& cube, double z_low, double z_high);
    // Where GetPoint(0, cube, ...) lands, as a point in space; or, when the
    // homogeneous table has a guide, where it lands for the entry `found`
    // that the guide gave for the draw PeekRandom shows.
    Vector3 HomogeneousPoint(const Cube& cube);
    Vector3 HomogeneousPoint(const Cube& cube, int found);
    int GetPointByWeight(PointOnCube& pt, double* faceCdf, std::vector<double>* panelCdf, int segnum);
    static PointOnCube idx2pt(int fno, int index, int segnum);
    template <typename Cu>
    static const Vector3 StructToVector3(const PointOnCube& pt, const Cu& cube);
    int GetStrata(int id_gss, int fno, int index);
    int FindOnTopFace(int index);
    int FindOnSideFace(int index, int a, int b);
    static void DivSS();

    // Interface clipping.
    int CheckInterface(const Layers& layers, const Vector3& pt, double layer_low, double layer_high,
                       double& diel_low, double& diel_up) const;
    int ClipTransDomain(const Layers& layers, Cube& cube, double& layer_low, double& layer_high,
                        bool shrink) const;
    // peeked: when >= 0, the entry that the guide of the single-medium
    // table this first hop searches gave for the draw PeekBRandom shows; a
    // cube that meets no interface then takes that draw and entry.
    double GetClipWeightAndPoint(int clip, Cube& cube, double layer_low, double layer_high,
                                 PointOnCube& pt, int id_gss, int peeked = -1);
    double GetClipHalfWeightAndPoint(int clip, Cube& cube, double layer_low, double layer_high,
                                     PointOnCube& pt, int id_gss);
    PointOnCube GetPointInHalf(const Layers& layers, bool& upper, double diel_low, double diel_up,
                               Cube& cube, double radius);
    static int GetClipSign(int id_gss, int fno, int index, int segnum);

    // Gaussian surface start point.
    Vector3 GetGaussPoint(const Cuboid& gauss, const std::vector<double>& sizes,
                          const std::vector<double>& diels, const std::vector<double>& g_endz,
                          const std::vector<std::vector<double>>& side_cdfs, int& id_gss, int& band);

    // What one walk brings back.
    struct WalkEnd {
        int slot;        // conductor reached; the last slot when the walk left the window
        double weight;   // of the first hop, times the Gaussian surface's factors
        int id_gss;      // start face on the Gaussian surface
        int strata;      // stratum of the first hop (selector 3); -1 for none
        long long hops;
    };
    // One walk from a fresh start point. Its result depends on the worker's
    // generators alone: every table the walk reads is selected for the walk's
    // own position first, never left from the walk before.
    WalkEnd Walk();

    // Thread plumbing and the walk loop.
    int Start();
    void Wait();
    static void* thread_proc(void* arg);
    int RandomwalkCore();
    // The walk loop of the reproducible mode: whole chunks of walks, each
    // from its own seeds, handed to the manager to merge in order.
    int ChunkCore();
    // Runs chunk k (`walks` walks) of the manager's master from the chunk's
    // own seeds into `out`; any thread, any process, same sums.
    void RunChunk(long long k, long long walks, ChunkSums& out);
    int Walk(WalkMgr& m, int n, double& weight, int& id_gss, int& strata, long long& hops);
    // Worker 0's stopping rule after its walk was counted as walk N (lock
    // held); returns whether the run stops.
    bool CheckConvergence(long long N, long long& last_check);
};

template <typename Cu>
const Vector3 Randomwalk::StructToVector3(const PointOnCube& pt, const Cu& cube)
{
    extern void StructToVector3BadFace();
    if (pt.fno < 0 || pt.fno > 5)
        StructToVector3BadFace();
    return FacePoint(cube, pt.fno, pt.u, pt.v);
}
