// One extraction behind a library call: a prepared deck (tables, space
// index and layer stack built once) that gives the capacitance row of any of
// its conductors, with errors, counts and whether the target was met. The
// console driver, the output files and any batch front end call it; nothing
// in it ends the process over a master that cannot be extracted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chunks.h"
#include "floating.h"
#include "parser.h"
#include "runrecord.h"
#include "walkmgr.h"

struct ExtractionSettings {
    char end_mode = 't';          // 't': walk count, 'p': relative error of the master
    long long target_walks = 2000;
    double target_error = 0.1;
    int threads = 1;
    // seeded: reproducible chunked walks from `seed`; otherwise `seed` is
    // the base of the per-worker generators, as a plain run uses them.
    bool seeded = false;
    uint64_t seed = 0;
    double time_limit = 0.0;      // seconds per master, 0: none
    long long max_walks = 0;      // per master, 0: none
    double coupling_error = 0.0;  // the coupling target (0: none)
    double coupling_min = 0.0;
    bool console = true;          // print the report's preparation lines
};

class Extraction {
public:
    // Builds what every master shares from the parsed deck, whose window
    // it enlarges in place. A deck-wide fault (tables, window, stack) leaves
    // its message in Error() and the extraction unusable.
    explicit Extraction(const DeckLists& lists);
    const std::string& Error() const { return error_; }
    Extraction(const Extraction&) = delete;
    Extraction& operator=(const Extraction&) = delete;

    // Names of the conductors held at fixed potentials, in byte order: the
    // rows and columns of the results.
    const std::vector<std::string>& Conductors() const { return fixed_; }
    // Every conductor, floating ones too, in byte order.
    const std::vector<std::string>& AllConductors() const { return sorted_; }
    // The floating conductors, in byte order.
    const std::vector<std::string>& Floating() const { return floating_.names; }
    // Drops the floating conductors' entries (always zero) from a row whose
    // conductors are in the slot order of its master.
    void Eliminate(MasterRow& row) const;

    // The row of `master`; `index` (its place in the run) only varies the
    // unseeded generators between masters.
    MasterRow Run(const std::string& master, const ExtractionSettings& s, int index = 0);

    // For callers that spread chunks over processes: select the master
    // (its Gaussian surface; throws InputError when its tables fail), then
    // run any chunk of it. Merging the chunks
    // in index order with a ChunkMerger over StratumStores gives the same
    // sums as Run with the same seed.
    bool SelectMaster(const std::string& master, std::string& error);
    void RunChunk(uint64_t seed, long long chunk, long long walks, ChunkSums& out);
    // The same for several threads at once: BeginChunks once after
    // SelectMaster, then RunSharedChunk from any thread.
    void BeginChunks(uint64_t seed);
    void RunSharedChunk(long long chunk, long long walks, ChunkSums& out);
    const double* FaceShare() const { return mgr_.shared.face_share; }
    // For pictures and reports: the Gaussian surface of the master selected
    // last (the bounding box of its blocks when it has several), and the
    // stopping checks of its last Run.
    const Cuboid& GaussianSurface() const { return mgr_.shared.gauss_surface; }
    // The boxes whose union the surface of that master bounds.
    const std::vector<Cuboid>& GaussianBoxes() const { return mgr_.gauss_boxes; }
    std::vector<ConvergencePoint> History() const { return mgr_.shared.history.Snapshot(); }
    // Where a run would place the Gaussian surface around the deck's task
    // master (id 0), within the enlarged window, from the layer stack alone:
    // no table is read, so a deck can be drawn before any walk. Leaves the
    // deck's layer stack built.
    // `faces` receives the stack's faces, for the picture's shading.
    // `boxes`, when given, receives the boxes whose union it bounds.
    static Cuboid PlannedGaussianSurface(const DeckLists& lists, const Cuboid& enlarged,
                                         std::vector<Layer>& faces, std::vector<Cuboid>* boxes = nullptr);
    // Digest of every table this extraction loaded.
    uint64_t TablesDigest() const { return mgr_.tables.Digest(); }
    // The faces of the layer stack the walks run in.
    const std::vector<Layer>& StackFaces() const { return mgr_.tables.layers; }
    int Slots() const { return (int)sorted_.size() + 1; }

private:
    // The floating conductors' surfaces; an error leaves its message in error_.
    void PrepareFloating(const DeckLists& lists);
    DeckLists deck_;  // keeps the boxes the manager and the space index point to
    WalkMgr mgr_;
    std::vector<std::string> sorted_;
    std::vector<std::string> fixed_;
    FloatingSet floating_;
    std::vector<std::vector<Cuboid*>> blocks_;  // per conductor, byte order
    std::vector<std::string> order_;            // slot order of the selected master
    std::string selected_;
    std::vector<double> chunk_slots_;  // gives RunChunk its slot count
    double shared_seconds_ = 0.0;  // preparation not yet shown in a report
    std::string error_;
};

// Stratified stores of one master, laid out as the walk manager reads them
// (a stratum's rows of weights and of squared weights side by side).
struct StratumStores {
    std::vector<double> cap, cap2, err;
    std::vector<double> rows;
    double* is_sum[12];
    double* is_sum2[12];
    std::vector<long long> is_count;
    double* ss_sum[17] = {};
    double* ss_sum2[17] = {};
    std::vector<long long> ss_count;
    explicit StratumStores(size_t slots);
};
