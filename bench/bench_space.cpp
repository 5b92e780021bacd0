// Cost of the nearest-conductor queries that every hop makes, on a dense bus
// and on a sparse deck, and of building the tree for a few thousand blocks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "parser.h"
#include "spacemanager.h"

namespace {

class BenchDeck {
public:
    std::deque<Cuboid> store;
    std::vector<const Cuboid*> blocks;

    void Add(double x0, double y0, double z0, double x1, double y1, double z1)
    {
        store.emplace_back((int)blocks.size(), x0, y0, z0, x1, y1, z1);
        blocks.push_back(&store.back());
    }
};

// Three layers of `wires` wires 0.1 wide at pitch 0.2: x-wires in the
// middle, crossing y-wires below and above, repeated `stacks` times in z.
BenchDeck Bus(int wires, int stacks)
{
    BenchDeck d;
    double len = 0.2 * wires;
    for (int s = 0; s < stacks; ++s) {
        double z = 0.6 * s;
        for (int i = 0; i < wires; ++i) {
            double o = 0.2 * i;
            d.Add(o, 0, z, o + 0.1, len, z + 0.1);
            d.Add(0, o, z + 0.2, len, o + 0.1, z + 0.3);
            d.Add(o, 0, z + 0.4, o + 0.1, len, z + 0.5);
        }
    }
    return d;
}

BenchDeck Sparse()
{
    BenchDeck d;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> pos(0, 100), size(0.5, 3);
    for (int i = 0; i < 30; ++i) {
        double x = pos(rng), y = pos(rng), z = pos(rng) / 10;
        d.Add(x, y, z, x + size(rng), y + size(rng), z + size(rng));
    }
    return d;
}

struct Fixture {
    BenchDeck deck;
    Cuboid window{0, 0, 0, 0, 1, 1, 1};
    std::unique_ptr<Spacemanager> space;
    std::vector<BaseVector3<int>> grid_points;
    std::vector<Vector3> points;

    explicit Fixture(BenchDeck d, bool geometry_leaves = true) : deck(std::move(d))
    {
        space.reset(Spacemanager::Build(deck.blocks, window, geometry_leaves));
        // Query points where walks spend their hops: around the blocks.
        Cuboid span = *deck.blocks[0];
        for (const Cuboid* c : deck.blocks) {
            span.x0 = std::min(span.x0, c->x0), span.x1 = std::max(span.x1, c->x1);
            span.y0 = std::min(span.y0, c->y0), span.y1 = std::max(span.y1, c->y1);
            span.z0 = std::min(span.z0, c->z0), span.z1 = std::max(span.z1, c->z1);
        }
        std::mt19937 rng(11);
        std::uniform_real_distribution<double> ux(span.x0 - 1, span.x1 + 1),
            uy(span.y0 - 1, span.y1 + 1), uz(span.z0 - 1, span.z1 + 1);
        for (int i = 0; i < 4096; ++i) {
            points.emplace_back(ux(rng), uy(rng), uz(rng));
            grid_points.push_back(ToGrid(points.back()));
        }
    }

    void Count(benchmark::State& state) const
    {
        size_t leaves = 0, largest = 0, scanned = 0;
        Walk(*space, leaves, largest);
        for (const BaseVector3<int>& g : grid_points)
            scanned += space->index.Count(space->index.LeafAt(g));
        state.counters["blocks"] = (double)deck.blocks.size();
        state.counters["leaves"] = (double)leaves;
        state.counters["largest_leaf"] = (double)largest;
        state.counters["mean_scanned"] = (double)scanned / grid_points.size();
    }

    static void Walk(const Spacemanager& s, size_t& leaves, size_t& largest)
    {
        for (uint32_t c = 0; c < s.index.Cells(); ++c)
            if (s.index.At(c).link == LeafIndex::LEAF) {
                ++leaves;
                largest = std::max(largest, s.index.Count(c));
            }
    }
};

// The blocks of a deck file, copied out of the parser's store.
BenchDeck FromFile(const char* name)
{
    BenchDeck d;
    DeckLists lists;
    if (LoadDeck((std::string(KORVA_SOURCE_DIR) + "/examples/" + name).c_str(), lists) != 0)
        abort();
    for (const Cuboid* c : lists.cuboids)
        d.Add(c->x0, c->y0, c->z0, c->x1, c->y1, c->z1);
    return d;
}

// examples/dense_bus.kd with the leaves sized to the geometry, and with the
// fixed share of the window that sized them before.
const Fixture& DenseExample()
{
    static Fixture f(FromFile("dense_bus.kd"));
    return f;
}

const Fixture& DenseExampleFixedLeaves()
{
    static Fixture f(FromFile("dense_bus.kd"), false);
    return f;
}

const Fixture& Dense()
{
    static Fixture f(Bus(40, 1));
    return f;
}

const Fixture& SparseFixture()
{
    static Fixture f(Sparse());
    return f;
}

void Nearest(benchmark::State& state, const Fixture& f)
{
    size_t i = 0;
    int dist = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.space->SearchNearestCuboid(f.grid_points[i], dist));
        benchmark::DoNotOptimize(dist);
        i = (i + 1) & 4095;
    }
    f.Count(state);
}

// 4096 points as walks visit them: each next point lies on the faces of the
// largest empty cube about the last. Distances come from a scan of all
// blocks, so that any index is timed on the same sequence; a walk that lands
// on a block or leaves the root starts again at one of the fixture's points.
std::vector<BaseVector3<int>> HopPoints(const Fixture& f, const BaseCuboid<int>& root)
{
    std::vector<BaseCuboid<int>> boxes;
    for (const Cuboid* c : f.deck.blocks)
        boxes.push_back(ToGrid(*c));
    std::mt19937 rng(13);
    std::vector<BaseVector3<int>> out;
    BaseVector3<int> p = f.grid_points[0];
    for (size_t start = 1; out.size() < 4096;) {
        out.push_back(p);
        int d = INT_MAX;
        for (const BaseCuboid<int>& b : boxes)
            d = std::min(d, std::max({0, b.x0 - p.x, p.x - b.x1, b.y0 - p.y, p.y - b.y1, b.z0 - p.z, p.z - b.z1}));
        const int face = (int)(rng() % 6);
        std::uniform_int_distribution<int> along(-d, d);
        int* axis[3] = {&p.x, &p.y, &p.z};
        for (int a = 0; a < 3; ++a)
            *axis[a] += a == face / 2 ? (face % 2 ? d : -d) : along(rng);
        if (d == 0 || p.x < root.x0 || p.x > root.x1 || p.y < root.y0 || p.y >= root.y1 || p.z < root.z0 ||
            p.z > root.z1)
            p = f.grid_points[start++ & 4095];
    }
    return out;
}

// The dense example queried along walks, from the root each time or from
// the leaf of the walk's previous point.
template <bool HINTED>
void NearestOnHops(benchmark::State& state)
{
    const Fixture& f = DenseExample();
    static const std::vector<BaseVector3<int>> hops = HopPoints(f, f.space->index.Root());
    LeafIndex::Hint hint;
    size_t i = 0;
    int dist = 0;
    for (auto _ : state) {
        if (HINTED)
            benchmark::DoNotOptimize(f.space->SearchNearestCuboid(hops[i], dist, hint));
        else
            benchmark::DoNotOptimize(f.space->SearchNearestCuboid(hops[i], dist));
        benchmark::DoNotOptimize(dist);
        i = (i + 1) & 4095;
    }
    size_t scanned = 0, same = 0;
    for (size_t j = 0; j < hops.size(); ++j) {
        const uint32_t leaf = f.space->index.LeafAt(hops[j]);
        scanned += leaf == LeafIndex::LEAF ? 0 : f.space->index.Count(leaf);
        same += j > 0 && leaf == f.space->index.LeafAt(hops[j - 1]);
    }
    state.counters["mean_scanned"] = (double)scanned / hops.size();
    state.counters["in_last_leaf"] = (double)same / hops.size();
}

void Domain(benchmark::State& state, const Fixture& f)
{
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.space->GetDomainCubic(f.points[i]));
        i = (i + 1) & 4095;
    }
    f.Count(state);
}

void BM_SearchNearestCuboid_DenseBus(benchmark::State& state) { Nearest(state, Dense()); }
void BM_SearchNearestCuboid_Sparse(benchmark::State& state) { Nearest(state, SparseFixture()); }
void BM_SearchNearestCuboid_DenseExample(benchmark::State& state) { Nearest(state, DenseExample()); }
void BM_SearchNearestCuboid_DenseExampleFixedLeaves(benchmark::State& state)
{
    Nearest(state, DenseExampleFixedLeaves());
}
void BM_SearchNearestCuboid_DenseExampleHops(benchmark::State& state) { NearestOnHops<false>(state); }
void BM_SearchNearestCuboid_DenseExampleHopsFromLastLeaf(benchmark::State& state) { NearestOnHops<true>(state); }
void BM_GetDomainCubic_DenseBus(benchmark::State& state) { Domain(state, Dense()); }
void BM_GetDomainCubic_Sparse(benchmark::State& state) { Domain(state, SparseFixture()); }

// state.range(0) stacks of the 3 x 40-wire bus: 120 blocks per stack.
void BM_Build(benchmark::State& state)
{
    BenchDeck deck = Bus(40, (int)state.range(0));
    size_t leaves = 0, largest = 0;
    for (auto _ : state) {
        Cuboid window(0, 0, 0, 0, 1, 1, 1);
        std::unique_ptr<Spacemanager> space(Spacemanager::Build(deck.blocks, window));
        leaves = largest = 0;
        Fixture::Walk(*space, leaves, largest);
    }
    state.counters["blocks"] = (double)deck.blocks.size();
    state.counters["leaves"] = (double)leaves;
    state.counters["largest_leaf"] = (double)largest;
}

}  // namespace

BENCHMARK(BM_SearchNearestCuboid_DenseBus);
BENCHMARK(BM_SearchNearestCuboid_Sparse);
BENCHMARK(BM_SearchNearestCuboid_DenseExample);
BENCHMARK(BM_SearchNearestCuboid_DenseExampleFixedLeaves);
BENCHMARK(BM_SearchNearestCuboid_DenseExampleHops);
BENCHMARK(BM_SearchNearestCuboid_DenseExampleHopsFromLastLeaf);
BENCHMARK(BM_GetDomainCubic_DenseBus);
BENCHMARK(BM_GetDomainCubic_Sparse);
BENCHMARK(BM_Build)->Arg(1)->Arg(8)->Arg(25)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
