// What the walkers of one run share with the run and with each other: the
// lock and what it guards (the sums, the counters, the stop flag, the chunk
// queue of the reproducible mode) and what every walk reads and none writes
// (the space index, the Gaussian surface, the stopping rule's targets). The
// walk manager owns one and fills it; each walker holds a pointer to it and
// sees nothing else of the manager.
#pragma once

#include <pthread.h>
#include <time.h>

#include <vector>

#include "chunks.h"
#include "convergence.h"
#include "geometry.h"
#include "leafindex.h"

class DielBodies;
struct FloatingSet;
class GaussSurface;
class Spacemanager;
class StackBoxes;
class EdgeLaws;
class LayeredBoxLaws;

// Vacuum permittivity in F/um.
const double EPS0 = 8.854187817e-18;

struct WalkShared {
    WalkShared();
    ~WalkShared();
    WalkShared(const WalkShared&) = delete;
    WalkShared& operator=(const WalkShared&) = delete;

    // --- guarded by mutex while the walks run ---
    pthread_mutex_t mutex;
    // Result stores, owned by the caller that binds them.
    std::vector<double>* cap = nullptr;
    std::vector<double>* cap2 = nullptr;
    std::vector<double>* err = nullptr;
    double** is_sum2 = nullptr;
    double** is_sum = nullptr;
    std::vector<long long>* is_count = nullptr;
    double** ss_sum2 = nullptr;
    double** ss_sum = nullptr;
    std::vector<long long>* ss_count = nullptr;
    int converged_checks = 0;
    long long walk_count = 1;
    double rel_err = 0.0;
    // Worker 0's latest estimate of the master capacitance in farads, shown
    // by the status line (the stratified modes never fill cap).
    double master_estimate = 0.0;
    bool stop = false;
    // Whether the target was met.
    bool converged = false;
    // Hops of all finished workers (benchmarks).
    long long total_hops = 0;
    // Worker 0's stopping checks, for the run report.
    ConvergenceLog history;
    // The floating conductors' potentials, owned by the caller that binds
    // them; null when none floats.
    PotentialTallies* potentials = nullptr;

    // Reproducible mode (chunks.h): workers take chunk indices in turn and
    // hand back their sums; the merger takes them in index order.
    ChunkMerger* merger = nullptr;
    long long next_chunk = 0;
    std::vector<ChunkSums> chunk_pool;
    std::vector<ChunkSums*> free_chunks, pending_chunks;
    pthread_cond_t chunk_cond;
    // Next chunk index, or -1 when the walks are over (lock held).
    long long TakeChunk();
    // Merges or parks a finished chunk and returns a buffer for the next
    // one (lock held; may wait for the chunk in front to arrive).
    ChunkSums* DeliverChunk(ChunkSums* done);
    // The walk count and estimates the report shows, once merging ends.
    void MergeChunk(ChunkSums* c);

    // The status line (lock held).
    void ShowStatus() const;

    // --- read by every walk, written only before the walks start ---
    // What every walk reads starts on a fresh cache line, away from the
    // counters that the workers write under the lock after every walk.
    alignas(64) Cuboid gauss_surface;
    std::vector<double> diels, sizes, g_endz;
    std::vector<std::vector<double>> side_cdfs;
    double gauss_dist[6] = {};
    double face_share[12] = {};
    double gauss_total = 0.0;
    // The surface around a master of several blocks; null for a single
    // block, whose surface is the box and band tables above.
    GaussSurface* block_surface = nullptr;
    Spacemanager* spacemgr = nullptr;
    // Where the descent of spacemgr's index begins for a start on each face
    // of gauss_surface; empty with a block surface.
    FaceStarts gauss_starts;
    // The run's dielectric bodies; null when its media are bands only.
    const DielBodies* bodies = nullptr;
    // Boxes holding several interfaces of the stack; null when it has
    // fewer than two.
    StackBoxes* stack_boxes = nullptr;
    // The same with planes close to every interface, for first hops.
    StackBoxes* first_boxes = nullptr;
    // Cubes about the edges of dielectric bodies, and boxes layered across
    // bodies' faces for first hops; null without bodies.
    EdgeLaws* edge_laws = nullptr;
    // Boxes between the horizontal planes of bands and bodies alike, for
    // hops through films that lie flat (over the field, over wires).
    StackBoxes* body_boxes = nullptr;
    LayeredBoxLaws* flat_laws = nullptr;  // their laws
    LayeredBoxLaws* layered_laws = nullptr;
    // An open window: a walk farther than twice far_radius from far_centre
    // (a sphere holding every conductor) returns to that sphere or escapes
    // by the exact law of its exterior. far_radius 0: the window's faces
    // absorb.
    double far_radius = 0.0;
    Vector3 far_centre;
    // The run's floating conductors; null when none floats.
    const FloatingSet* floating = nullptr;

    // The stopping rule's targets and budgets (0: none).
    char end_mode = 't';
    long long target_walks = 0;
    double target_err = 0.0;
    long long max_walks = 0;
    double time_limit = 0.0;
    double coupling_error = 0.0;  // the coupling target (0: none)
    double coupling_min = 0.0;
    timespec run_start = {};
    double RunSeconds() const;

    bool chunked = false;
    // Walks a worker finishes before it adds them under the lock: one when
    // it runs alone, a few when others would take the lock between them.
    int walk_batch = 1;
    uint64_t run_seed = 0;
    uint64_t master_key = 0;
};
