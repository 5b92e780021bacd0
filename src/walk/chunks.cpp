#include "chunks.h"

#include <algorithm>
#include <cmath>

namespace {

// SplitMix64: a full-avalanche mix, so nearby seeds, masters and chunk
// indices give unrelated generator seeds.
uint64_t Mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

ChunkSeeds SeedsOfChunk(uint64_t run_seed, uint64_t master_key, long long chunk)
{
    uint64_t h = Mix(Mix(Mix(run_seed) ^ master_key) ^ (uint64_t)chunk);
    return {(int)(uint32_t)h, (int)(uint32_t)(h >> 32)};
}

uint64_t MasterKey(const std::string& name)
{
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : name)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

void ChunkSums::Begin(long long chunk_index, int slot_count)
{
    chunk = chunk_index;
    walks = 0;
    hops = 0;
    const size_t size = (size_t)CHUNK_STRATA * slot_count;
    if (every || slot_count != slots || sum.size() != size || sum2.size() != size) {
        slots = slot_count;
        sum.assign(size, 0.0);
        sum2.assign(size, 0.0);
        marked.assign(slots, 0);
        touched.reserve(slots);
    } else {
        for (int s : touched) {
            for (int k = 0; k < CHUNK_STRATA; k++)
                sum[k * slots + s] = sum2[k * slots + s] = 0.0;
            marked[s] = 0;
        }
    }
    touched.clear();
    every = false;
    std::fill(count, count + CHUNK_STRATA, 0);
    potentials.Clear();
}

void PotentialTallies::Size(int floating)
{
    tally.assign(floating, Tally());
    touched.clear();
    touched.reserve(floating);
}

void PotentialTallies::Clear()
{
    for (int k : touched)
        tally[k] = Tally();
    touched.clear();
}

void PotentialTallies::Merge(const PotentialTallies& o)
{
    for (int k : o.touched) {
        const Tally& a = o.tally[k];
        Tally& t = tally[k];
        if (t.c == 0.0)
            touched.push_back(k);
        t.s += a.s;
        t.c += a.c;
        t.ss += a.ss;
        t.cc += a.cc;
        t.sc += a.sc;
    }
}

bool PotentialTallies::Estimate(int k, double& potential, double& error) const
{
    if (k < 0 || k >= (int)tally.size() || tally[k].c <= 0.0)
        return false;
    const Tally& t = tally[k];
    potential = t.s / t.c;
    // The ratio estimator's variance: sum over walks of (s - V c)^2 / (sum c)^2.
    const double spread = t.ss - 2.0 * potential * t.sc + potential * potential * t.cc;
    error = std::sqrt(std::max(0.0, spread)) / t.c;
    return true;
}

ChunkMerger::ChunkMerger(const StopRule& rule, const double* face_share, double* const* sum,
                         double* const* sum2, long long* count, int slots)
    : rule_(rule), share_(face_share), sum_(sum), sum2_(sum2), count_(count), slots_(slots)
{
}

static long long WalkBound(const StopRule& r)
{
    long long bound = r.mode == 't' && r.coupling_error <= 0 ? r.target_walks : -1;
    if (r.max_walks > 0 && (bound < 0 || r.max_walks < bound))
        bound = r.max_walks;
    return bound;
}

long long ChunkMerger::ChunkLimit() const
{
    long long bound = WalkBound(rule_);
    return bound < 0 ? -1 : (bound + CHUNK_WALKS - 1) / CHUNK_WALKS;
}

long long ChunkMerger::WalksOfChunk(long long k) const
{
    long long bound = WalkBound(rule_);
    if (bound < 0)
        return CHUNK_WALKS;
    return std::max(0LL, std::min(CHUNK_WALKS, bound - k * CHUNK_WALKS));
}

// Mean and standard error of one slot over strata; strata without walks add
// nothing. Both are not a number when no stratum has a walk.
void StratifiedEstimate(double* const* sum, double* const* sum2, const long long* count,
                               const double* prob, int strata, int slot, double& mean, double& err)
{
    double m = 0.0, var = 0.0;
    bool any = false;
    for (int k = 0; k < strata; k++) {
        if (count[k] <= 0)
            continue;
        any = true;
        const double nk = (double)count[k];
        const double mk = sum[k][slot] / nk;
        const double p = prob ? prob[k] : 1.0;
        m += p * mk;
        var += p * p * (sum2[k][slot] / nk - mk * mk) / nk;
    }
    mean = any ? m : NAN;
    err = any ? std::sqrt(var) : NAN;
}

void ChunkMerger::Estimate(int slot, double& mean, double& err) const
{
    StratifiedEstimate(sum_, sum2_, count_, share_, CHUNK_STRATA, slot, mean, err);
}

bool ChunkMerger::Merge(const ChunkSums& c, double elapsed)
{
    if (stopped || c.chunk != next_)
        return stopped;
    // A slot no walk of the chunk reached adds zeros, which change no sum.
    for (int k = 0; k < CHUNK_STRATA; k++) {
        if (c.every) {
            for (int s = 0; s < slots_; s++) {
                sum_[k][s] += c.sum[k * c.slots + s];
                sum2_[k][s] += c.sum2[k * c.slots + s];
            }
        } else {
            for (int s : c.touched) {
                sum_[k][s] += c.sum[k * c.slots + s];
                sum2_[k][s] += c.sum2[k * c.slots + s];
            }
        }
        count_[k] += c.count[k];
    }
    walks += c.walks;
    hops += c.hops;
    ++next_;
    double mean, err;
    Estimate(0, mean, err);
    rel_err = std::fabs(err / mean);
    stopped = rule_.Stop(walks, mean, err, elapsed, met_, converged);
    if (converged && rule_.coupling_error > 0 &&
        !rule_.CouplingsMet(slots_, mean, [this](int s, double& m, double& e) { Estimate(s, m, e); })) {
        converged = false;
        stopped = rule_.Budget(walks, elapsed);
    }
    return stopped;
}

bool StopRule::Stop(long long walks, double mean, double err, double elapsed, int& met,
                    bool& converged) const
{
    if (mode == 't' && walks >= target_walks) {
        converged = true;
    } else if (mode == 'p') {
        met = target_error * mean > err ? met + 1 : 0;
        converged = met > 3;
    }
    return converged || Budget(walks, elapsed);
}

bool StopRule::Budget(long long walks, double elapsed) const
{
    return (max_walks > 0 && walks >= max_walks) || (time_limit > 0 && elapsed >= time_limit);
}
