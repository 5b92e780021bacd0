// One walker: its record, cube sampling over the run's tables,
// interface clipping and the walk loop.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <vector>

#include "floating.h"
#include "geometry.h"
#include "layers.h"
#include "mersenne.h"
#include "stackbox.h"
#include "walkshared.h"

// Grid lines of a cube side used for interface positions.
const int CI_CUT_NUMX = 31;
const int CI_CUTS = 961;     // panels per full-cube face
const int CI_CUTS_H = 1024;  // panels per half-cube face
const int SS_DIV = 7;        // concentric zones per face

// Points the cube table at z between the nearest interface rows; shrinks the cube.
int CalcPos(double z, Cube& cube, bool lower);

// Where the point p drawn in box c about start lies in space; its bottom
// and top are planes of the stack, landed on exactly.
Vector3 BoxToSpace(const StackBoxes& boxes, const StackBoxChoice& c, const Vector3& start, const BoxPoint& p,
                   bool swap_xy);

// Reads exactly `size` doubles of the file at `path`; returns their digest.
// With `check`, a short or irregular file is refused (InputError).
uint64_t ReadAllContent(const char* path, double* buf, int size, bool check);

// Axis normal to each face of the Gaussian surface (0 = x, 1 = y, 2 = z),
// and +1 where the face's outward normal points along +axis.
inline constexpr int GAUSS_FACE_AXIS[6] = {2, 1, 0, 1, 0, 2};
inline constexpr int GAUSS_FACE_SIGN[6] = {-1, -1, 1, 1, -1, 1};

// Cache-line aligned, so that no two workers' records share a line: each
// writes its own cursor and generators on every hop.
class alignas(64) Randomwalk {
public:
    // Most walks a worker keeps before adding them under the lock.
    static constexpr int MAX_BATCH = 8;
    // --- per-worker record, filled by WalkMgr::StartAll ---
    int id;
    // What this worker shares with the run and the other workers.
    WalkShared* shared;
    pthread_t tid;
    Layers layers;
    int gauss_select;
    // The layers of a first hop's box, kept so that the hop allocates
    // nothing once they have grown.
    std::vector<double> layer_cuts, layer_media;
    int weight_select;
    CRandomMersenne rand_seed;
    CRandomMersenne rand_walk;
    CRandomMersenne rand_gauss;

    // Hops made by this worker; added to the run's total once when it ends.
    long long hop_count = 0;
    // What the last walk's weight is multiplied by for the conductor it
    // reached: 1 unless it passed floating conductors on the way.
    double carry = 1.0;
    // Reproducible mode: the chunk this worker fills (from the run's pool).
    ChunkSums* chunk = nullptr;
    // The walk under way's events on floating conductors (PotentialTallies):
    // per floating conductor their count and their sum of 1 / carry, and
    // the conductors it met; sized with the worker, so no walk allocates.
    std::vector<int> met_count;
    std::vector<double> met_inverse;
    std::vector<int> met;
    int met_n = 0;
    // Reproducible runs whose floating conductors all have shells: the
    // chunk's shared continuations, and the floating conductor that absorbed
    // the walk under way first (-1: none yet).
    ContinuationPool* pool = nullptr;
    ContinuationPool own_pool;
    int pool_hit = -1;
    double pool_weight = 0.0;
    // This worker's potentials in a run of free-running workers.
    PotentialTallies potentials;
    // Adds the walk that just ended in `slot` to `into` and forgets it.
    void FoldPotentials(int slot, PotentialTallies& into)
    {
        const double end = slot == 0 ? carry : 0.0;
        for (int i = 0; i < met_n; ++i) {
            const int k = met[i];
            into.Add(k, end * met_inverse[k], met_count[k]);
            met_count[k] = 0;
            met_inverse[k] = 0.0;
        }
        met_n = 0;
    }

    // The run's single-medium tables (those of layers' table set).
    SingleTables* st;

    Randomwalk(int id_, WalkShared* shared_, const Layers& layers_, int gauss_select_, int weight_select_);

    // Sampling.
    PointOnCube GetPoint(int clip, Cube& cube, double z_low, double z_high);
    // Where GetPoint(0, cube, ...) lands, as a point in space; or, when the
    // homogeneous table has a guide, where it lands for the entry `found`
    // that the guide gave for the draw PeekRandom shows.
    Vector3 HomogeneousPoint(const Cube& cube);
    Vector3 HomogeneousPoint(const Cube& cube, int found);
    // Where GetPoint(clip, cube, z_low, z_high) lands, as a point in space
    // (clip -1 or 1); the cube shrinks as GetPoint shrinks it.
    Vector3 CutPoint(int clip, Cube& cube, double z_low, double z_high);
    int GetPointByWeight(PointOnCube& pt, double* faceCdf, std::vector<double>* panelCdf, int segnum);
    static PointOnCube idx2pt(int fno, int index, int segnum);
    template <typename Cu>
    static const Vector3 StructToVector3(const PointOnCube& pt, const Cu& cube);
    int GetStrata(int id_gss, int fno, int index);
    int FindOnTopFace(int index);
    int FindOnSideFace(int index, int a, int b);

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
        double carry;    // factor of the floating conductors passed; the credit is weight x carry
    };
    // One walk from a fresh start point. Its result depends on the worker's
    // generators alone: every table the walk reads is selected for the walk's
    // own position first, never left from the walk before.
    WalkEnd Walk();

    // A walk's leg ended on `slot`. `leg`: the floating conductor whose
    // Gaussian surface the leg started from with a signed weight, -1 for
    // none, and `leg_weight` its first hop's weight. Returns End when the
    // walk ends there; Shell when it goes on from floating conductor
    // `shell`'s shell (leg is then -1); Leg when a signed leg starts from
    // floating conductor `leg`, carry having taken the last leg's factor.
    enum class FloatingNext { End, Shell, Leg };
    FloatingNext FloatingEnd(const FloatingSet& fs, int slot, int& leg, double leg_weight, int& shell);
    // What both walk loops do when a walk reaches `slot`: the slot to end
    // in, or NEW_LEG, or ON_SHELL with pt moved onto a floating conductor's
    // shell to go on from.
    static const int NEW_LEG = -2, ON_SHELL = -1;
    int EndOrGoOn(const WalkShared& m, int slot, int& leg, double leg_weight, Vector3& pt);
    // The point a hop through box c about pt lands on: with the stack's
    // own law of that box, or with `law` where the box's layers differ
    // from place to place.
    Vector3 BoxLanding(StackBoxes& boxes, const StackBoxChoice& c, const Vector3& pt)
    {
        return BoxLanding(boxes, c, boxes.Law(c), pt);
    }
    Vector3 BoxLanding(const StackBoxes& boxes, const StackBoxChoice& c, const StackBoxLaw& law, const Vector3& pt);

    // Thread plumbing and the walk loop.
    int Start();
    void Wait();
    static void* thread_proc(void* arg);
    int RandomwalkCore();
    // The walk loop of the reproducible mode: whole chunks of walks, each
    // from its own seeds, handed to the run's merger in order.
    int ChunkCore();
    // Runs chunk k (`walks` walks) of the run's master from the chunk's
    // own seeds into `out`; any thread, any process, same sums.
    void RunChunk(long long k, long long walks, ChunkSums& out);
    int Walk(WalkShared& m, int n, double& weight, int& id_gss, int& strata, long long& hops);
    // The same walk in a run whose media include dielectric bodies
    // (bodywalk.cpp): only whole-medium cubes, half cubes centred on one
    // planar piece of interface, and finite-volume steps at body edges.
    int WalkBodies(WalkShared& m, int n, double& weight, int& id_gss, int& strata, long long& hops);
    // A hop from pt by the body rules; false when pt is on no conductor-free
    // ground (never: the caller searched the conductors first).
    void BodyHop(const WalkShared& m, Vector3& pt, double reach);
    // A hop through the cube about the edge of `patch` nearest pt when one
    // reaches at least twice r (and the step floor); false otherwise.
    bool EdgeHop(const WalkShared& m, Vector3& pt, double reach, int patch, double r, double floor);
    // A box between horizontal planes that holds only horizontal
    // interfaces, when it reaches at least twice as far as the cube r.
    bool FlatBoxHop(const WalkShared& m, Vector3& pt, double reach, double r);
    // A first hop through the box about pt layered along the normal of
    // start face `face`, `along` to either side (the conductors' distance);
    // its weight as the band walk's first-hop boxes give it. False when the
    // box is not layered there.
    bool LayeredFirstHop(const WalkShared& m, Vector3& pt, double along, int face, double eps, double& weight);
    // A first hop through a box centred on planar piece `patch` near pt and
    // layered along its normal, from start face `face`; false when none fits.
    bool PlaneFirstHop(const WalkShared& m, Vector3& pt, double reach, int patch, int face, double eps,
                       double& weight);
    // The first hop through a box of `law` layered along n, its middle at
    // centre_n on n and at pt across, L to either side along n and aspect
    // times that across (bx the box's x); returns the weight.
    double LayeredBoxHop(const StackBoxLaw& law, Vector3& pt, double centre_n, int n, int bx, double L, double aspect,
                         int face, double eps);
    // A hop through a box of several interfaces when it reaches much
    // farther than the cube of one; false when it does not.
    bool StackBoxHop(StackBoxes& boxes, Vector3& pt, double r, int intf, double& layer_low, double& layer_high);
    // The same for a first hop from the Gaussian surface, with its weight.
    bool StackBoxFirstHop(StackBoxes& boxes, Vector3& pt, double r, int id_gss, double& layer_low,
                          double& layer_high, double& weight);
    // An open window's step from there: true and pt on the sphere, or false
    // when the walk escapes.
    bool FarStep(const WalkShared& m, Vector3& pt);
    // The first hop's box and weight once chosen; eps is the start's permittivity.
    double BoxFirstHop(StackBoxes& boxes, const StackBoxChoice& c, Vector3& pt, int id_gss, double eps);
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
