// The hop loop must not touch the heap: a run of twice as many walks makes
// exactly as many allocations as a short one, but for the laws of boxes
// through several interfaces and of edge cubes, each made once on its
// first use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "runner.h"
#include "edgelaw.h"
#include "stackbox.h"
#include "tables_fixture.h"

static std::atomic<long long> g_allocations{0};

void* operator new(std::size_t size)
{
    if (!StackBoxes::Making() && !EdgeLaws::Making())
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
// Sanitizers serve the nothrow form themselves unless it is replaced too,
// and its memory would then reach the free below (std::stable_sort's buffer).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (!StackBoxes::Making() && !EdgeLaws::Making())
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
// The replacement new takes its memory from malloc, so free is the match;
// the compiler cannot see that through the replacement.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

class HotPath : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables(Example("bus_crossing.kd")); }

    long long AllocationsOfRun(const std::string& deck, long long walks, int threads,
                               const std::vector<std::string>& floating = {})
    {
        RunOptions o;
        o.mode = 't';
        o.walks = walks;
        o.threads = threads;
        o.floating = floating;
        RunOutput out;
        long long before = g_allocations.load();
        EXPECT_EQ(RunDeck(deck, o, out), 0);
        return g_allocations.load() - before;
    }
};

TEST_F(HotPath, WalksDoNotAllocate)
{
    for (const char* name : {"two_wires.kd", "bus_crossing.kd", "routed_net.kd"}) {
        const std::string deck = std::string(KORVA_SOURCE_DIR) + "/examples/" + name;
        AllocationsOfRun(deck, 2000, 1);  // one-time set-up of streams and locales
        long long short_run = AllocationsOfRun(deck, 5000, 1);
        long long long_run = AllocationsOfRun(deck, 20000, 1);
        EXPECT_GT(short_run, 0) << name;
        EXPECT_EQ(short_run, long_run) << name;
        EXPECT_EQ(AllocationsOfRun(deck, 5000, 2), AllocationsOfRun(deck, 20000, 2)) << name;
    }
    // Walks that go on from floating conductors' shells and tally their potentials.
    const std::string deck = std::string(KORVA_SOURCE_DIR) + "/examples/bus_crossing.kd";
    const std::vector<std::string> floating = {"m1b", "m2b"};
    EXPECT_EQ(AllocationsOfRun(deck, 5000, 1, floating), AllocationsOfRun(deck, 20000, 1, floating));
    EXPECT_EQ(AllocationsOfRun(deck, 5000, 2, floating), AllocationsOfRun(deck, 20000, 2, floating));
}

}  // namespace
