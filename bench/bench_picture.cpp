// Cost and size of drawing a large deck: 10,000 blocks on four metal levels
// in a three-layer stack, from the parsed deck to the SVG text.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "drawings.h"
#include "picture.h"

namespace {

std::string BigDeck()
{
    std::string d = "<vorn>\n<window> v1 (-1,-1,-0.5) v2 (101,101,4) [/window]\n";
    const double z0[3] = {-0.5, 1, 2}, h[3] = {1.5, 1, 2}, eps[3] = {3.9, 2.5, 4.2};
    char buf[256];
    for (int n = 0; n < 3; n++) {
        snprintf(buf, sizeof buf,
                 "<medium> name ild%d <block> name b basepoint (-1,-1,%g) v1 (102,0,0) "
                 "v2 (0,102,0) hvector (0,0,%g) [/block] diel %g [/medium]\n",
                 n, z0[n], h[n], eps[n]);
        d += buf;
    }
    const double level[4] = {0.2, 0.7, 1.3, 2.5};
    for (int i = 0; i < 100; i++) {
        snprintf(buf, sizeof buf, "<conductor> name net%03d\n", i);
        d += buf;
        for (int j = 0; j < 100; j++) {
            bool along_x = (i + j) % 2 == 0;
            snprintf(buf, sizeof buf,
                     " <block> name s basepoint (%d,%d,%g) v1 (%g,0,0) v2 (0,%g,0) "
                     "hvector (0,0,0.2) [/block]\n",
                     j, i, level[(i + j) % 4], along_x ? 0.9 : 0.4, along_x ? 0.4 : 0.9);
            d += buf;
        }
        d += "[/conductor]\n";
    }
    return d + "<task> <capacitance> net050 [/capacitance] [/task]\n[/vorn]\n";
}

void BM_PictureOf10000Blocks(benchmark::State& state)
{
    const char* path = "/tmp/korva_bench_picture.kd";
    FILE* f = fopen(path, "w");
    std::string deck = BigDeck();
    fwrite(deck.data(), 1, deck.size(), f);
    fclose(f);
    DeckLists lists;
    if (LoadDeck(path, lists) != 0) {
        state.SkipWithError("deck did not load");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        std::string svg = DrawPicture(SceneOfDeck(lists, *lists.window));
        bytes = svg.size();
        benchmark::DoNotOptimize(svg.data());
    }
    state.counters["blocks"] = (double)lists.cuboids.size();
    state.counters["svg_bytes"] = (double)bytes;
    remove(path);
}
BENCHMARK(BM_PictureOf10000Blocks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
