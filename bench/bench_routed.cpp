// Masters of many blocks: the preparation of a routed net of 1000 blocks,
// and the walk rate of a wire given as one block against the same wire cut
// into many. Run from the repository root (single-medium tables under incdata/).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gausssurface.h"
#include "layers.h"
#include "log.h"
#include "randomwalk.h"
#include "runner.h"
#include "walkmgr.h"

namespace {

// A serpentine of `n` wire segments 0.1 wide, alternately along x and y,
// each overlapping the next at its corner, with a grounded bus line
// between the rows.
std::vector<Cuboid> Serpentine(int n)
{
    std::vector<Cuboid> b;
    double x = 0, y = 0;
    for (int i = 0; i < n; ++i) {
        if (i % 2 == 0) {
            const double dx = (i / 2) % 2 == 0 ? 2.0 : -2.0;
            b.push_back(Cuboid(0, std::min(x, x + dx), y, 0, std::max(x, x + dx) + 0.1, y + 0.1, 0.1));
            x += dx;
        } else {
            b.push_back(Cuboid(0, x, y, 0, x + 0.1, y + 0.5, 0.1));
            y += 0.4;
        }
    }
    const int rows = n / 2;
    for (int r = 0; r < rows; ++r)
        b.push_back(Cuboid(1, 0.3, 0.4 * r + 0.2, 0, 1.8, 0.4 * r + 0.3, 0.1));
    return b;
}

void BM_PrepareRoutedMaster(benchmark::State& state)
{
    const int n = (int)state.range(0);
    std::vector<Cuboid> boxes = Serpentine(n);
    std::vector<const Cuboid*> list;
    for (const Cuboid& c : boxes)
        list.push_back(&c);
    Cuboid layer_box(0, -50, -50, -50, 50, 50, 50);
    Medium oxide(&layer_box, 3.9);
    Log::inf = nullptr;
    for (auto _ : state) {
        std::vector<double> cap(3), cap2(3), err(3);
        std::vector<double> rows(24 * 3);
        double* is_sum[12];
        double* is_sum2[12];
        for (int k = 0; k < 12; ++k) {
            is_sum[k] = &rows[2 * k * 3];
            is_sum2[k] = &rows[(2 * k + 1) * 3];
        }
        double* ss[17] = {};
        std::vector<long long> is_count(12), ss_count(17);
        Cuboid window = layer_box;
        WalkMgr m;
        m.BindRun('t', 1000, 0.01, cap, cap2, err, ss, ss, ss_count, is_sum, is_sum2, is_count);
        m.PrepareShared(list, {&oxide}, 1, 4, &window);
        std::string error;
        m.PrepareMaster(error);
        benchmark::DoNotOptimize(m.shared.gauss_total);
        state.counters["patches"] = (double)m.shared.block_surface->patches.size();
    }
}
BENCHMARK(BM_PrepareRoutedMaster)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

// One start point on the surface of the serpentine, each block grown by 0.05.
void BM_DrawStartPoint(benchmark::State& state)
{
    std::vector<Cuboid> grown;
    std::vector<FaceDivisors> dist;
    for (const Cuboid& c : Serpentine((int)state.range(0))) {
        if (c.id != 0)
            continue;
        grown.push_back(Cuboid(0, c.x0 - 0.05, c.y0 - 0.05, c.z0 - 0.05, c.x1 + 0.05, c.y1 + 0.05,
                               c.z1 + 0.05));
        dist.push_back(GaussSurface::Divisors(c, grown.back(), 1));
    }
    Cuboid layer_box(0, -50, -50, -50, 50, 50, 50);
    Medium oxide(&layer_box, 3.9);
    Log::inf = nullptr;
    TableSet tables;
    Layers stack(tables, {&oxide});
    GaussSurface g;
    g.Build(grown, dist, tables.layers);
    CRandomMersenne rnd(1), slice(2);
    for (auto _ : state) {
        int face;
        double d;
        benchmark::DoNotOptimize(g.Draw(rnd, slice, face, d));
    }
    state.counters["patches"] = (double)g.patches.size();
}
BENCHMARK(BM_DrawStartPoint)->Arg(5)->Arg(1000);

// One run of blocks along x from 0 to 6 um at y, cut into `pieces`.
std::string Wire(const char* name, int pieces, double y)
{
    std::string s = std::string("<conductor> name ") + name + "\n";
    char buf[256];
    for (int i = 0; i < pieces; ++i) {
        snprintf(buf, sizeof buf,
                 "<block> name %s%d basepoint (%g,%g,0) v1 (%g,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block]\n",
                 name, i, 6.0 * i / pieces, y, 6.0 / pieces);
        s += buf;
    }
    return s + "[/conductor]\n";
}

// A 6 um wire beside a parallel neighbour over a ground plane. The master
// is cut into `pieces` blocks; a negative count cuts the neighbour instead;
// 0 bends the master into an L of two 3 um arms, which no joining of blocks
// can turn into one box.
std::string WireDeck(int pieces)
{
    std::string s = "<vorn>\n<window> v1 (-3,-3,-1) v2 (9,3,2) [/window]\n<medium> name ox\n"
                    "<block> name ox_b basepoint (-3,-3,-1) v1 (12,0,0) v2 (0,6,0) hvector (0,0,3) [/block]\n"
                    "diel 3.9\n[/medium]\n";
    if (pieces == 0)
        s += "<conductor> name net\n"
             "<block> name x basepoint (0,0,0) v1 (3,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block]\n"
             "<block> name y basepoint (0,-2.8,0) v1 (0.2,0,0) v2 (0,2.8,0) hvector (0,0,0.2) [/block]\n"
             "[/conductor]\n";
    else
        s += Wire("net", pieces > 0 ? pieces : 1, 0);
    s += Wire("side", pieces >= 0 ? 1 : -pieces, 0.4);
    s += "<conductor> name vss\n"
         "<block> name g basepoint (-3,-3,-1) v1 (12,0,0) v2 (0,6,0) hvector (0,0,0.3) [/block]\n"
         "[/conductor]\n<task> <capacitance> net [/capacitance] [/task]\n[/vorn]\n";
    return s;
}

// The machine's pace drifts, so the decks take turns: every round runs
// each once, and the figures are totals over the rounds.
void BM_WalkRate(benchmark::State& state)
{
    const int cuts[] = {1, 2, 5, 20, -20, 0};
    const int n = sizeof cuts / sizeof cuts[0];
    std::string path[n];
    for (int k = 0; k < n; ++k) {
        path[k] = "/tmp/korva_bench_wire_" + std::to_string(getpid()) + "_" + std::to_string(k) + ".kd";
        FILE* f = fopen(path[k].c_str(), "w");
        fputs(WireDeck(cuts[k]).c_str(), f);
        fclose(f);
    }
    Log::inf = nullptr;
    FILE* keep = Log::out;
    Log::out = nullptr;
    double walks[n] = {}, hops[n] = {}, seconds[n] = {};
    for (auto _ : state) {
        for (int k = 0; k < n; ++k) {
            RunOptions o;
            o.mode = 't';
            o.walks = 100000;
            o.threads = 1;
            RunOutput out;
            RunDeck(path[k], o, out);
            walks[k] += out.walks;
            hops[k] += out.hops;
            seconds[k] += out.seconds;
        }
    }
    Log::out = keep;
    for (int k = 0; k < n; ++k) {
        const std::string name = cuts[k] > 0 ? "net_in_" + std::to_string(cuts[k])
                                 : cuts[k] < 0 ? "side_in_" + std::to_string(-cuts[k]) : "L";
        state.counters[name + "_walks_per_s"] = walks[k] / seconds[k];
        state.counters[name + "_hops_per_walk"] = hops[k] / walks[k];
        remove(path[k].c_str());
    }
}
BENCHMARK(BM_WalkRate)->Unit(benchmark::kSecond)->Iterations(8);

}  // namespace

BENCHMARK_MAIN();
