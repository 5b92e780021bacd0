// The walk manager: run preparation, the Gaussian surface, the worker
// threads and the final capacitance row.
#pragma once

#include <pthread.h>

#include <string>
#include <vector>

#include "convergence.h"
#include "geometry.h"
#include "layers.h"

class Randomwalk;
class Spacemanager;

// Vacuum permittivity in F/um.
const double EPS0 = 8.854187817e-18;

class WalkMgr {
public:
    Layers* layers;
    std::vector<Randomwalk*> walkers;
    std::vector<const Cuboid*> cuboids;
    std::vector<Medium*> mediums;
    std::string is_dir, common_dir;
    char end_mode;
    long long target_walks;
    double target_err;
    pthread_mutex_t mutex;
    std::vector<double>* cap;
    std::vector<double>* cap2;
    std::vector<double>* err;
    double** is_sum2;
    double** is_sum;
    std::vector<long long>* is_count;
    double** ss_sum2;
    double** ss_sum;
    std::vector<long long>* ss_count;
    int converged_checks;
    long long walk_count;
    double rel_err;
    // Worker 0's latest estimate of the master capacitance in farads, shown
    // by the status line (the stratified modes never fill cap).
    double master_estimate;
    // What every walk reads starts on a fresh cache line, away from the
    // counters that the workers write under the lock after every walk.
    alignas(64) Cuboid gauss_surface;
    std::vector<double> diels, sizes, g_endz;
    std::vector<std::vector<double>> side_cdfs;
    double gauss_dist[6];
    double face_share[12];
    double gauss_total;
    Spacemanager* spacemgr;
    bool stop;
    int gauss_select;
    int weight_select;
    // Bounding box of all the master's blocks: the Gaussian surface encloses it.
    Cuboid master_box;
    // Hops of all finished workers (benchmarks).
    long long total_hops;

    WalkMgr();
    ~WalkMgr();

    int Prepare(char mode, std::vector<const Cuboid*> cuboids, std::vector<Medium*> media,
                long long walks, double precision, std::vector<double>& cap,
                std::vector<double>& cap2, std::vector<double>& err, double** ss_sum,
                double** ss_sum2, std::vector<long long>& ss_count, double** is_sum,
                double** is_sum2, std::vector<long long>& is_count, int threads, int gauss_select,
                int weight_select, Cuboid* window);

    const Cuboid GetGauss(Vector3 lo, Vector3 hi);
    bool CutGauss(Layers& layers, const Cuboid& gauss, const Cuboid* master, std::vector<double>& diels,
                  std::vector<double>& sizes, std::vector<double>& g_endz,
                  std::vector<std::vector<double>>& side_cdfs, double* dist) const;
    void FinishGauss();

    int StartAll(int n);
    void WaitEnd();
    void CalcResult();
    void ShowStatus() const;

    // Tests seed workers explicitly; the product seeds from the clock.
    bool fixed_seed;
    int seed_base;
    // Base seed of the last StartAll (worker i seeds from base + 57005 i).
    uint32_t seed_used;
    // Worker 0's stopping checks, for the run report.
    ConvergenceLog history;

    // Conductor names in list order, for messages; set by the driver.
    std::vector<std::string> names;
    std::string ConductorName(int id) const;
    // Bounding box of the blocks with id 0 into master_box.
    void SetMasterBox();
    // Ends the process (255) when a block of another conductor overlaps or
    // touches master_box.
    void CheckSeparation() const;
    // Ends the process (255) when a layer of the stack is thinner than 2 MIE.
    static void CheckLayerThickness();
    // The directory registered in bin/.gft_dir; ends the process (255) when
    // the file is missing or empty.
    static std::string ReadGftDir();
    void LoadMultiTables();
    // The capacitance table of the report.
    static void PrintOutputZone(const std::vector<std::string>& names, const std::vector<double>& cap,
                                const std::vector<double>& err);
};
