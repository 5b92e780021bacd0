// Reproducible runs: walks come in fixed chunks, each drawn from generators
// seeded from (run seed, master, chunk index) and merged into the sums in
// chunk order, so that neither the thread count nor which thread ran which
// chunk changes a bit of the result. A caller outside this process (a batch
// or a cluster front end) can run chunks anywhere and merge them here.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

const long long CHUNK_WALKS = 1000;
const int CHUNK_STRATA = 12;  // start face x weight sign

// Seeds of the two walk generators of one chunk.
struct ChunkSeeds {
    int walk;
    int gauss;
};
ChunkSeeds SeedsOfChunk(uint64_t run_seed, uint64_t master_key, long long chunk);
// Key of a master in the seeding: its name, so that the row of a conductor
// does not depend on which other masters the same run extracts.
uint64_t MasterKey(const std::string& name);

// Mean and standard error of one slot from per-stratum sums, weighted by
// `prob` (or 1); strata without walks add nothing, and with none both are
// not a number.
void StratifiedEstimate(double* const* sum, double* const* sum2, const long long* count,
                        const double* prob, int strata, int slot, double& mean, double& err);

// What walks saw of the floating conductors' potentials, the master at 1 V
// and every other fixed conductor at 0 V. Each time a walk is absorbed by
// floating conductor k and goes on, the value its continuation ends with
// (the master's 1 or 0, times the factor signed legs multiply on the way)
// has mean V_k whatever came before; the walk's sum of those values s and
// its count of such events c are summed per walk, and V_k = sum s / sum c
// takes its error from the spread of s - V_k c over the walks, which are
// independent where events within one walk are not.
struct PotentialTallies {
    struct Tally {
        double s = 0.0, c = 0.0, ss = 0.0, cc = 0.0, sc = 0.0;
    };
    std::vector<Tally> tally;  // per floating conductor
    std::vector<int> touched;  // those with c > 0, in the order first seen

    // Room for `floating` conductors, all zero (allocates).
    void Size(int floating);
    // Zeroes what was added; allocates nothing.
    void Clear();
    void Add(int k, double s, double c)
    {
        Tally& t = tally[k];
        if (t.c == 0.0)
            touched.push_back(k);
        t.s += s;
        t.c += c;
        t.ss += s * s;
        t.cc += c * c;
        t.sc += s * c;
    }
    // Adds every tally of `o` (same size) to this one.
    void Merge(const PotentialTallies& o);
    // V_k and its standard error; false when no walk reached k.
    bool Estimate(int k, double& potential, double& error) const;
};

// Stratified sums of one chunk of walks: CHUNK_STRATA rows of `slots`
// entries each, of halved walk weights and of their squares.
struct ChunkSums {
    long long chunk = -1;
    long long walks = 0;
    long long hops = 0;
    int slots = 0;
    std::vector<double> sum, sum2;
    long long count[CHUNK_STRATA] = {};
    // The chunk's floating potentials (sized by the run when some float).
    PotentialTallies potentials;
    // The slots the chunk's walks ended in, in the order they first did:
    // the only ones a chunk zeroes again and merges, so that a chunk of a
    // large layout costs its walks, not its slots. With `every` set (rows
    // copied in whole) any slot may hold a sum.
    std::vector<int> touched;
    std::vector<char> marked;
    bool every = true;

    // Sizes the rows (allocates only when `slots` changes) and zeroes them.
    void Begin(long long chunk_index, int slot_count);
    void Add(int stratum, int slot, double half_weight)
    {
        AddShare(stratum, slot, half_weight);
        count[stratum] += 1;
    }
    // A part of a walk's credit, the walk counted apart.
    void AddShare(int stratum, int slot, double half_weight)
    {
        if (!marked[slot]) {
            marked[slot] = 1;
            touched.push_back(slot);  // within the capacity Begin reserved
        }
        sum[stratum * slots + slot] += half_weight;
        sum2[stratum * slots + slot] += half_weight * half_weight;
    }
};

// When a master's walks end; 0 turns a budget off.
struct StopRule {
    char mode = 't';             // 't': walk count, 'p': relative error of the master
    long long target_walks = 0;
    double target_error = 0.0;
    long long max_walks = 0;
    double time_limit = 0.0;     // seconds
    // With coupling_error > 0, the target is met only when, besides, every
    // coupling larger than coupling_min times the self capacitance has a
    // relative error below coupling_error; the walks then go on past a walk
    // target, up to the budgets.
    double coupling_error = 0.0;
    double coupling_min = 0.0;

    // The one stopping rule of every mode, after a check over `walks` walks
    // whose master has mean weight `mean` with standard error `err`,
    // `elapsed` seconds after the walks began. `met` counts the checks in a
    // row that met the relative error (four stop the walks); `converged`
    // tells whether the target was met. Returns whether the walks stop.
    bool Stop(long long walks, double mean, double err, double elapsed, int& met, bool& converged) const;
    // Whether a walk or time budget is used up.
    bool Budget(long long walks, double elapsed) const;
    // The coupling target over slots 1.. of `slots` given the master's mean
    // weight `self`; `estimate(slot, mean, err)` gives a slot's estimate.
    // Called once the master's own target is met, so a plain run never
    // pays for it.
    template <class Estimate>
    bool CouplingsMet(int slots, double self, Estimate estimate) const
    {
        for (int s = 1; s < slots; s++) {
            double mean, err;
            estimate(s, mean, err);
            if (std::fabs(mean) > coupling_min * std::fabs(self) && !(err < coupling_error * std::fabs(mean)))
                return false;
        }
        return true;
    }
};

// Merges chunks strictly in index order into stratified stores laid out as
// the walk manager's (row pointers per stratum) and applies the stopping
// rule after each one, as the one thread-free place that decides.
class ChunkMerger {
public:
    ChunkMerger(const StopRule& rule, const double* face_share, double* const* sum,
                double* const* sum2, long long* count, int slots);

    // Chunks that can ever be merged (walk target or budget), -1 without a bound.
    long long ChunkLimit() const;
    // Walks of chunk k: CHUNK_WALKS, or what is left of the walk bound.
    long long WalksOfChunk(long long k) const;
    long long Next() const { return next_; }
    // Adds chunk Next() (`elapsed`: seconds since the walks began). Returns
    // whether the walks stop; later chunks are then dropped.
    bool Merge(const ChunkSums& c, double elapsed);
    // Stratified mean weight and its standard error of one slot.
    void Estimate(int slot, double& mean, double& err) const;

    bool stopped = false;
    bool converged = false;
    long long walks = 0;
    long long hops = 0;
    double rel_err = 0.0;

private:
    StopRule rule_;
    const double* share_;
    double* const* sum_;
    double* const* sum2_;
    long long* count_;
    int slots_;
    long long next_ = 0;
    int met_ = 0;  // consecutive chunks that met the relative error
};
