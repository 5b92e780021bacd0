// Preparation of one deck, timed by stage, printing one line of figures for
// bench/scaling to tabulate:
//   prepare_bench DECK
// parse and build are wall seconds, *_cpu the processor seconds (on a
// shared machine the latter are the steadier); parse_maxrss_kb and maxrss_kb are the
// peaks after the parse and after the build, index_kb the index's arrays;
// leaves, largest and mean_candidates describe the tree.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

#include "parser.h"
#include "spacemanager.h"
#include "runner.h"

namespace {

void Leaves(const LeafIndex& index, size_t& leaves, size_t& largest, size_t& listed)
{
    for (uint32_t c = 0; c < index.Cells(); ++c)
        if (index.At(c).link == LeafIndex::LEAF) {
            ++leaves;
            largest = std::max(largest, index.Count(c));
            listed += index.Count(c);
        }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: prepare_bench DECK\n");
        return 2;
    }
    clock_t c0 = clock();
    double t0 = WallSeconds();
    DeckLists lists;
    if (LoadDeck(argv[1], lists) != 0)
        return 1;
    double t1 = WallSeconds();
    clock_t c1 = clock();
    rusage parsed;
    getrusage(RUSAGE_SELF, &parsed);
    Cuboid window = *lists.window;
    std::unique_ptr<Spacemanager> space(Spacemanager::Build(lists.cuboids, window));
    double t2 = WallSeconds();
    clock_t c2 = clock();
    if (!space)
        return 1;
    size_t leaves = 0, largest = 0, listed = 0;
    Leaves(space->index, leaves, largest, listed);
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("blocks=%zu parse_seconds=%.3f build_seconds=%.3f parse_cpu=%.3f build_cpu=%.3f "
           "parse_maxrss_kb=%ld maxrss_kb=%ld index_kb=%zu leaves=%zu largest=%zu "
           "mean_candidates=%.2f\n",
           lists.cuboids.size(), t1 - t0, t2 - t1, (double)(c1 - c0) / CLOCKS_PER_SEC,
           (double)(c2 - c1) / CLOCKS_PER_SEC, parsed.ru_maxrss, ru.ru_maxrss,
           space->index.Bytes() / 1024, leaves, largest,
           leaves ? (double)listed / leaves : 0.0);
    return 0;
}
