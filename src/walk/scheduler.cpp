static const char KORVA_SOURCE[] = "src/scheduler";

// The walk manager's run: worker threads, the record they share (its lock,
// status line and chunk handing in the reproducible mode), and the final
// capacitance row.
#include "walkmgr.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "floating.h"
#include "log.h"
#include "randomwalk.h"

// ---------------------------------------------------------------------------
// Parallel run and results

static uint64_t Avalanche(uint64_t x)
{
    x = (x ^ (x >> 33)) * 0xff51afd7ed558ccdull;
    x = (x ^ (x >> 33)) * 0xc4ceb9fe1a85ec53ull;
    return x ^ (x >> 33);
}

uint64_t WalkMgr::FreshSeed()
{
    // Without the system's source (an old kernel, a sandbox) the clock and
    // the process id still tell runs apart.
    uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != (ssize_t)sizeof r)
        r = 0;
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    const uint64_t ns = (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
    return Avalanche(r ^ Avalanche(ns ^ ((uint64_t)getpid() << 40)));
}

CRandomMersenne WalkMgr::WorkerSeeder(uint64_t base, int i)
{
    if (base >> 32 == 0)
        return CRandomMersenne((int)((uint32_t)base + 57005u * (uint32_t)i));
    const uint64_t k = base + 57005ull * (uint64_t)i;
    const uint32_t key[2] = {(uint32_t)k, (uint32_t)(k >> 32)};
    CRandomMersenne g;
    g.RandomInitByArray(key, 2);
    return g;
}

WalkShared::WalkShared()
{
    pthread_mutex_init(&mutex, nullptr);
    pthread_cond_init(&chunk_cond, nullptr);
}

WalkShared::~WalkShared()
{
    pthread_mutex_destroy(&mutex);
    pthread_cond_destroy(&chunk_cond);
}

void WalkShared::ShowStatus() const
{
    Log::output("Online Info. %15lld random walks, current error %10.2le, master cap: %10.2le \n",
                walk_count, rel_err, master_estimate);
}

double WalkShared::RunSeconds() const
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return (double)(t.tv_sec - run_start.tv_sec) + (t.tv_nsec - run_start.tv_nsec) / 1e9;
}

int WalkMgr::StartAll(int n)
{
    clock_gettime(CLOCK_REALTIME, &shared.run_start);
    if (n < 1)
        return 0;
    // Walks of a few hundred nanoseconds would otherwise spend most of a
    // second worker's time handing the lock and the sums' lines over.
    shared.walk_batch = n > 1 ? Randomwalk::MAX_BATCH : 1;
    if (shared.chunked) {
        FATAL_CHECK(weight_select == 4);
        StopRule rule;
        rule.mode = shared.end_mode;
        rule.target_walks = shared.target_walks;
        rule.target_error = shared.target_err;
        rule.max_walks = shared.max_walks;
        rule.time_limit = shared.time_limit;
        rule.coupling_error = shared.coupling_error;
        rule.coupling_min = shared.coupling_min;
        shared.merger = new ChunkMerger(rule, shared.face_share, shared.is_sum, shared.is_sum2,
                                        shared.is_count->data(), (int)shared.cap->size());
        shared.next_chunk = 0;
        // Enough spare buffers that a worker rarely waits for the chunk in
        // front of its own; sized here, so that no walk allocates, and kept
        // from master to master, so that each master of a large layout does
        // not clear them all anew.
        if (shared.chunk_pool.size() != (size_t)(3 * n + 2))
            shared.chunk_pool.assign(3 * n + 2, ChunkSums());
        shared.free_chunks.clear();
        shared.pending_chunks.clear();
        shared.free_chunks.reserve(shared.chunk_pool.size());
        shared.pending_chunks.reserve(shared.chunk_pool.size());
        for (ChunkSums& c : shared.chunk_pool) {
            if (shared.floating)
                c.potentials.Size((int)shared.floating->names.size());
            c.Begin(-1, (int)shared.cap->size());
            shared.free_chunks.push_back(&c);
        }
    }
    const uint64_t base = fixed_seed ? seed_base : FreshSeed();
    // Each worker is started as soon as it is built: a thread that cannot
    // start ends the run before the next worker's state exists.
    walkers.reserve(n);
    for (int i = 0; i < n; i++) {
        Randomwalk* w = new Randomwalk(i, &shared, *layers, gauss_select, weight_select);
        if (i == 0)
            seed_used = base;
        w->rand_seed = WorkerSeeder(base, i);
        w->rand_walk = CRandomMersenne(w->rand_seed.IRandomX(0, 2147483647));
        w->rand_gauss = CRandomMersenne(w->rand_seed.IRandomX(0, 2147483647));
        if (shared.chunked) {
            // The workers started before this one already trade buffers
            // through the same list.
            pthread_mutex_lock(&shared.mutex);
            w->chunk = shared.free_chunks.back();
            shared.free_chunks.pop_back();
            pthread_mutex_unlock(&shared.mutex);
        }
        walkers.push_back(w);
        w->Start();
    }
    return 0;
}

void WalkMgr::WaitEnd()
{
    for (Randomwalk* w : walkers) {
        w->Wait();
        delete w;
    }
    walkers.clear();
    if (shared.chunked && shared.merger) {
        shared.walk_count = shared.merger->walks + 1;
        shared.total_hops = shared.merger->hops;
        shared.converged = shared.merger->converged;
        delete shared.merger;
        shared.merger = nullptr;
        // The chunk buffers stay for the next master (StartAll).
        shared.free_chunks.clear();
        shared.pending_chunks.clear();
    }
    CalcResult();
}

long long WalkShared::TakeChunk()
{
    if (stop)
        return -1;
    const long long limit = merger->ChunkLimit();
    if (limit >= 0 && next_chunk >= limit)
        return -1;
    return next_chunk++;
}

void WalkShared::MergeChunk(ChunkSums* c)
{
    const long long before = merger->walks;
    const bool merged = !merger->stopped && merger->Next() == c->chunk;
    stop = merger->Merge(*c, RunSeconds());
    if (potentials && merged)
        potentials->Merge(c->potentials);
    walk_count = merger->walks + 1;
    rel_err = merger->rel_err;
    double mean, e;
    merger->Estimate(0, mean, e);
    master_estimate = mean * EPS0;
    if (before / 50000 != merger->walks / 50000)
        ShowStatus();
}

ChunkSums* WalkShared::DeliverChunk(ChunkSums* done)
{
    while (!stop && done->chunk != merger->Next() && free_chunks.empty())
        pthread_cond_wait(&chunk_cond, &mutex);
    if (stop)
        return done;
    if (done->chunk != merger->Next()) {
        ChunkSums* spare = free_chunks.back();
        free_chunks.pop_back();
        pending_chunks.push_back(done);
        return spare;
    }
    MergeChunk(done);
    // Chunks parked behind this one may now follow it in order.
    for (bool more = true; more && !stop;) {
        more = false;
        for (size_t i = 0; i < pending_chunks.size(); i++) {
            if (pending_chunks[i]->chunk != merger->Next())
                continue;
            ChunkSums* c = pending_chunks[i];
            pending_chunks[i] = pending_chunks.back();
            pending_chunks.pop_back();
            MergeChunk(c);
            free_chunks.push_back(c);
            more = true;
            break;
        }
    }
    pthread_cond_broadcast(&chunk_cond);
    return done;
}

void WalkMgr::CalcResult()
{
    WalkShared& r = shared;
    pthread_mutex_lock(&r.mutex);
    Log::output("Total random walks: %lld\n", r.walk_count);
    const int n = (int)r.cap->size();
    for (int i = 0; i < n; i++) {
        double mean, e;
        if (weight_select == 4) {
            StratifiedEstimate(r.is_sum, r.is_sum2, r.is_count->data(), r.face_share, 12, i, mean, e);
        } else if (weight_select == 3) {
            StratifiedEstimate(r.ss_sum, r.ss_sum2, r.ss_count->data(), nullptr, 17, i, mean, e);
        } else {
            const double N = (double)r.walk_count;
            const double m = (*r.cap)[i] / N;
            (*r.err)[i] = EPS0 * std::sqrt(((*r.cap2)[i] / N - m * m) / N);
            (*r.cap)[i] = EPS0 * (*r.cap)[i] / N;
            continue;
        }
        (*r.cap)[i] = EPS0 * mean;
        (*r.err)[i] = EPS0 * e;
    }
    pthread_mutex_unlock(&r.mutex);
}

void WalkMgr::PrintOutputZone(const std::vector<std::string>& names, const std::vector<double>& cap,
                              const std::vector<double>& err)
{
    Log::output("\n\t\t==============\n");
    Log::output("\t\t Output Zone\n");
    Log::output("\t\t==============\n");
    Log::output("[Korva's Results]:\n");
    auto line = [](const char* name, double value, double e) {
        const double c = std::fabs(value);
        Log::output("%20s: %10.2leF      +/-%10.2leF", name, c, e);
        const double r = e / c;
        if (r < 0.5)
            Log::output("     (%.2lf%%)\n", 100 * r);
        else
            Log::output("     <~ %.3leF\n", c + 2 * e);
    };
    // Conductors no walk reached say nothing one by one: on a wide deck
    // they would bury the couplings that were measured.
    size_t unreached = 0;
    for (size_t i = 1; i < names.size() && i < cap.size() && i < err.size(); i++)
        unreached += cap[i] == 0 && err[i] == 0;
    const bool fold = unreached >= 2;
    for (size_t i = 0; i < names.size() && i < cap.size(); i++) {
        if (fold && i > 0 && cap[i] == 0 && err[i] == 0)
            continue;
        line(names[i].c_str(), cap[i], err[i]);
    }
    if (fold)
        Log::output("%20s  %zu other conductors: no walk reached them\n", "", unreached);
    // The walks that left the window: with it the row adds up to about zero.
    if (cap.size() > names.size() && err.size() > names.size())
        line("(window)", cap[names.size()], err[names.size()]);
}
