// Cost of checking the multi-dielectric tables against the cost of loading
// them: each table file loaded with the checks off and on. The loaders screen
// transition and density tables in the loops that build them, so "off" still
// does that little work; "on" adds the header, the file bookkeeping and, for
// a body the screen finds suspect, the full check (BM_CheckTrans).
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "layers.h"
#include "tablecheck.h"

namespace {

// A sound table of the packet's shape for 3.9 below 2.5, in the temp folder.
std::string WriteTable(const PSumPacket& packet)
{
    const int per_block = packet.type <= 1 ? packet.size / packet.dim0 : packet.dim2 * packet.dim3;
    std::vector<double> v = {packet.half ? 32.0 : 31.0, 3.9, 2.5};
    for (int i = 0; i < packet.size; i++)
        v.push_back(packet.type == 2 || packet.type == 3 ? 2.6 : 1.0 / per_block);
    const char* names[] = {"NumGFT_b.db", "hNumGFT_b.db", "NumWVT_b.db", "hNumWVT_b.db", "NumGFT_IS_b.db",
                           "hNumGFT_IS_b.db"};
    const std::string dir = std::string(P_tmpdir) + "/korva-bench-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + names[packet.type];
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(v.data(), sizeof(double), v.size(), f);
    fclose(f);
    return path;
}

void LoadTable(benchmark::State& state, const PSumPacket& packet)
{
    TableSet tables;
    tables.weight_select = 4;
    Cuboid low_box(0, 0, 0, 0, 1, 1, 1), high_box(0, 0, 0, 1, 1, 1, 2);
    Medium low(&low_box, 3.9), high(&high_box, 2.5);
    Layers stack(tables, {&low, &high});
    const std::string path = WriteTable(packet);
    tables.check.enabled = state.range(0) != 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tables.SLoadFile(path.c_str(), packet));
        tables.UnLoadData();
    }
    remove(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
}

void BM_LoadTrans(benchmark::State& state) { LoadTable(state, Layers::trans); }
void BM_LoadPdf(benchmark::State& state) { LoadTable(state, Layers::pdf); }
void BM_LoadHalfTrans(benchmark::State& state) { LoadTable(state, Layers::htrans); }
void BM_LoadHalfPdf(benchmark::State& state) { LoadTable(state, Layers::hpdf); }

// The machine is shared: the fastest repetition is the one least disturbed.
double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// Argument: 0 = checks off, 1 = on.
BENCHMARK(BM_LoadTrans)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_LoadPdf)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_LoadHalfTrans)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_LoadHalfPdf)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);

}  // namespace


namespace {

// The full check alone, on a sound body in memory: what a suspect
// transition table costs on top of loading.
void BM_CheckTrans(benchmark::State& state)
{
    std::vector<double> body(Layers::trans.size, 1.0 / 5766);
    for (auto _ : state)
        benchmark::DoNotOptimize(TableCheck::MultiProblem(TableLedger(), Layers::trans, 4, body.data()));
}
BENCHMARK(BM_CheckTrans)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);

}  // namespace

BENCHMARK_MAIN();
