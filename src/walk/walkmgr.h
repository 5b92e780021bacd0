// The walk manager: run preparation and the Gaussian surface (walkmgr.cpp),
// the worker threads, chunk handing and the final capacitance row
// (scheduler.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "geometry.h"
#include "dielbodies.h"
#include "layers.h"
#include "mersenne.h"
#include "walkshared.h"

class BoxGrid;
class GaussSurface;
class Randomwalk;
class Spacemanager;

class WalkMgr {
public:
    // The run's tables and stack; every walker reads them through its cursor.
    TableSet tables;
    Layers* layers;
    std::vector<Randomwalk*> walkers;
    std::vector<const Cuboid*> cuboids;
    std::vector<Medium*> mediums;
    // Media that do not span the window, in precedence order; set before
    // PrepareShared, which builds `bodies` from them and the stack.
    std::vector<const Medium*> body_media;
    DielBodies bodies;
    std::unique_ptr<StackBoxes> stack_boxes, first_boxes, body_boxes;
    std::unique_ptr<EdgeLaws> edge_laws;
    std::unique_ptr<LayeredBoxLaws> layered_laws, flat_laws;
    std::string is_dir, common_dir;
    // What the walkers share with the run: the lock, the sums and counters,
    // the space index (owned here) and the Gaussian surface (its multi-block
    // surface owned here).
    WalkShared shared;
    int gauss_select;
    int weight_select;
    // Bounding box of all the master's blocks: the Gaussian surface encloses it.
    Cuboid master_box;

    WalkMgr();
    ~WalkMgr();

    // Prepare in two steps, for runs of several masters over one deck: what
    // every master shares (tables, space index, layer stack), then the
    // master's own Gaussian surface. Bind the result stores first.
    void BindRun(char mode, long long walks, double precision, std::vector<double>& cap,
                 std::vector<double>& cap2, std::vector<double>& err, double** ss_sum,
                 double** ss_sum2, std::vector<long long>& ss_count, double** is_sum,
                 double** is_sum2, std::vector<long long>& is_count);
    void PrepareShared(std::vector<const Cuboid*> cuboids, std::vector<Medium*> media,
                       int gauss_select, int weight_select, Cuboid* window);
    // The conductor with id 0 is the master. Returns false with the reason
    // when no Gaussian surface can be placed around it.
    bool PrepareMaster(std::string& error);

    const Cuboid GetGauss(Vector3 lo, Vector3 hi);
    // Block m grown by the margin rule of the Gaussian box; report: say so
    // when the master is the only conductor of a multi-dielectric deck.
    const Cuboid GaussBoxAround(const Cuboid& m, Vector3 lo, Vector3 hi, bool report);
    // The boxes whose union's boundary is the Gaussian surface: one per
    // block of a master of several blocks, else the one box.
    std::vector<Cuboid> GaussBoxes(Vector3 lo, Vector3 hi);
    std::vector<Cuboid> gauss_boxes;  // of the master prepared last
    // The surface around every block of the master, into block_surface,
    // face_share and gauss_total; false when it cannot be placed.
    bool BuildBlockSurface(Vector3 lo, Vector3 hi);
    // The half-space tables for start points on an interface.
    bool LoadHalfTables();
    bool CutGauss(Layers& layers, const Cuboid& gauss, const Cuboid* master, std::vector<double>& diels,
                  std::vector<double>& sizes, std::vector<double>& g_endz,
                  std::vector<std::vector<double>>& side_cdfs, double* dist);
    void FinishGauss();

    int StartAll(int n);
    void WaitEnd();
    void CalcResult();

    // Tests seed workers explicitly; otherwise StartAll draws a fresh seed.
    bool fixed_seed;
    uint64_t seed_base;
    // A 64-bit seed from the system's random source, mixed with the
    // nanosecond clock and the process id, so that runs started together
    // differ and a farm's runs practically never share one.
    static uint64_t FreshSeed();
    // The generator worker i seeds its walk generators from: a base below
    // 2^32 seeds it as it always has (so fixed seeds keep their walks), a
    // larger one by both of its words.
    static CRandomMersenne WorkerSeeder(uint64_t base, int i);

    // Base seed of the last StartAll (worker i seeds from base + 57005 i).
    uint64_t seed_used;

    // Conductor names in list order, for messages; set by the driver.
    std::vector<std::string> names;
    std::string ConductorName(int id) const;
    // Deck line of a block, for messages; 0 (or unset) for none.
    std::function<int(const Cuboid*)> deck_line;
    // Bounding box of the blocks with id 0 into master_box, and those blocks
    // into master_blocks.
    void SetMasterBox();
    std::vector<const Cuboid*> master_blocks;
    // The blocks near every master, once PrepareShared has seen many: what
    // a master's surface and checks look at, instead of every block.
    std::unique_ptr<BoxGrid> near_blocks;
    // The blocks of other conductors that overlap or touch r, in list order.
    const std::vector<const Cuboid*>& OthersNear(const Cuboid& r) const;
    mutable std::vector<const Cuboid*> others_near;
    mutable std::vector<size_t> near_index;
    bool SeparationError(std::string& why) const;
    Cuboid window_box;        // the window the Gaussian surface sees
    mutable bool half_tables_loaded;  // the half-cube tables, loaded once per run
    // Throws InputError when a layer of the stack is thinner than 2 MIE.
    void CheckLayerThickness() const;
    // The directory registered in bin/.gft_dir; throws InputError when
    // the file is missing or empty.
    static std::string ReadGftDir();
    void LoadMultiTables();
    // The capacitance table of the report.
    static void PrintOutputZone(const std::vector<std::string>& names, const std::vector<double>& cap,
                                const std::vector<double>& err);
};
