// Cost of the kernel's inner steps: one generator draw, one hop on a
// homogeneous or interface-crossing cube, and one importance-sampled first
// hop. Tables are synthetic, with the shapes of the real ones.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "layers.h"
#include "mersenne.h"
#include "randomwalk.h"

namespace {

std::vector<double> Uneven(int n, int salt)
{
    std::vector<double> p(n);
    double total = 0;
    for (int i = 0; i < n; i++)
        total += p[i] = 1 + (i * 13 + salt) % 29;
    for (double& x : p)
        x /= total;
    return p;
}

// 30 cut positions x 3 directions x 6 faces of 961 panels, laid out as the
// registry keeps them (one storage block, pointer levels on top).
struct Tables {
    std::vector<double> tface = std::vector<double>(30 * 6);
    std::vector<std::vector<double>> tcdf = std::vector<std::vector<double>>(30 * 6);
    std::vector<double*> tface1 = std::vector<double*>(30);
    std::vector<std::vector<double>*> tcdf1 = std::vector<std::vector<double>*>(30);
    std::vector<double> wface = std::vector<double>(30 * 18);
    std::vector<std::vector<double>> wcdf = std::vector<std::vector<double>>(30 * 18);
    std::vector<std::vector<signed char>> wsign = std::vector<std::vector<signed char>>(30 * 18);
    std::vector<double*> wface2 = std::vector<double*>(90);
    std::vector<double**> wface1 = std::vector<double**>(30);
    std::vector<std::vector<double>*> wcdf2 = std::vector<std::vector<double>*>(90);
    std::vector<std::vector<double>**> wcdf1 = std::vector<std::vector<double>**>(30);
    std::vector<std::vector<signed char>*> wsign2 = std::vector<std::vector<signed char>*>(90);
    std::vector<std::vector<signed char>**> wsign1 = std::vector<std::vector<signed char>**>(30);
    std::vector<double> cross = std::vector<double>(90, 1.5);
    std::vector<double*> cross3 = std::vector<double*>(90);
    std::vector<double**> cross2 = std::vector<double**>(90);
    std::vector<double***> cross1 = std::vector<double***>(30);

    Tables()
    {
        for (int a = 0; a < 30; a++) {
            std::vector<double> p = Uneven(5766, a);
            double acc = 0;
            for (int f = 0; f < 6; f++) {
                for (int k = 0; k < 961; k++)
                    tcdf[a * 6 + f].push_back(acc += p[f * 961 + k]);
                tface[a * 6 + f] = acc;
            }
            tface1[a] = &tface[a * 6];
            tcdf1[a] = &tcdf[a * 6];
            for (int b = 0; b < 3; b++) {
                const int ab = a * 3 + b;
                acc = 0;
                for (int f = 0; f < 6; f++) {
                    for (int k = 0; k < 961; k++) {
                        wcdf[ab * 6 + f].push_back(acc += p[f * 961 + k]);
                        wsign[ab * 6 + f].push_back(k < 480 ? -1 : 1);
                    }
                    wface[ab * 6 + f] = acc;
                }
                wface2[ab] = &wface[ab * 6];
                wcdf2[ab] = &wcdf[ab * 6];
                wsign2[ab] = &wsign[ab * 6];
                cross3[ab] = &cross[ab];
                cross2[ab] = &cross3[ab];
            }
            wface1[a] = &wface2[a * 3];
            wcdf1[a] = &wcdf2[a * 3];
            wsign1[a] = &wsign2[a * 3];
            cross1[a] = &cross2[a * 3];
        }
    }
};

struct Kernel {
    Tables tables;
    TableSet set;
    Layers base;
    Randomwalk rw;

    static Layers OneMedium(TableSet& set)
    {
        static Cuboid block(0, -1, -1, 0, 1, 1, 1);
        static Medium medium(&block, 1.0);
        std::vector<Medium*> media{&medium};
        return Layers(set, media);
    }

    Kernel() : base(OneMedium(set)), rw(0, nullptr, base, 1, 4)
    {
        std::vector<double> gft = Uneven(5766, 0);
        set.single.LoadPrmat(gft.data(), 5766);
        std::vector<double> pdf(3 * 5766);
        for (int d = 0; d < 3; d++) {
            std::vector<double> p = Uneven(5766, 7 * d + 1);
            std::copy(p.begin(), p.end(), pdf.begin() + d * 5766);
        }
        set.single.RegisterSingleWeight(pdf.data(), gft.data(), 3, 6, 31, 4);
        set.single.single_weight[0] = set.single.single_weight[1] = set.single.single_weight[2] = 0.7;
        Layers& l = rw.layers;
        l.lower_psum_face = l.upper_psum_face = tables.tface1.data();
        l.lower_psum = l.upper_psum = tables.tcdf1.data();
        l.lower_wpdf_face = l.upper_wpdf_face = tables.wface1.data();
        l.lower_wpdf = l.upper_wpdf = tables.wcdf1.data();
        l.lower_wpdf_sign = l.upper_wpdf_sign = tables.wsign1.data();
        l.lower_weight_cross = l.upper_weight_cross = tables.cross1.data();
        rw.rand_walk.RandomInit(1);
    }
};

Kernel& K()
{
    static Kernel k;
    return k;
}

void BM_BRandom(benchmark::State& state)
{
    CRandomMersenne g(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(g.BRandom());
}
BENCHMARK(BM_BRandom);

void BM_Random(benchmark::State& state)
{
    CRandomMersenne g(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(g.Random());
}
BENCHMARK(BM_Random);

void BM_GetPointHomogeneous(benchmark::State& state)
{
    Randomwalk& rw = K().rw;
    for (auto _ : state) {
        Cube cube(Vector3(0, 0, 0), 1.0);
        benchmark::DoNotOptimize(rw.GetPoint(0, cube, -1e100, 1e100));
    }
}
BENCHMARK(BM_GetPointHomogeneous);

// Interface below the centre at line 10, then one above at line 20.
void BM_GetPointMultiDiel(benchmark::State& state)
{
    Randomwalk& rw = K().rw;
    const double low = -1 + 10.5 * 2 / 31, high = -1 + 19.5 * 2 / 31;
    bool below = true;
    for (auto _ : state) {
        Cube cube(Vector3(0, 0, 0), 1.0);
        benchmark::DoNotOptimize(rw.GetPoint(below ? -1 : 1, cube, low, high));
        below = !below;
    }
}
BENCHMARK(BM_GetPointMultiDiel);

void BM_GetClipWeightAndPoint(benchmark::State& state)
{
    Randomwalk& rw = K().rw;
    const int clip = (int)state.range(0);
    const double low = -1 + 10.5 * 2 / 31;
    int id = 0;
    for (auto _ : state) {
        Cube cube(Vector3(0, 0, 0), 1.0);
        PointOnCube pt;
        benchmark::DoNotOptimize(rw.GetClipWeightAndPoint(clip, cube, low, 1e100, pt, id));
        id = id == 5 ? 0 : id + 1;
    }
}
BENCHMARK(BM_GetClipWeightAndPoint)->Arg(0)->Arg(-1);

}  // namespace

BENCHMARK_MAIN();
