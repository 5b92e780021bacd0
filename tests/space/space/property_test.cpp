// The walk trusts SearchNearestCuboid, from the leaf of any grid point of the
// solver space and from the leaf a walk found last, to give the true grid
// distance to the nearest of ALL blocks (0 exactly on or in one).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <random>

#include "parser.h"
#include "spacemanager.h"

namespace {

// Owns the blocks of a test deck; `blocks` is the conductor list.
struct Deck {
    std::deque<Cuboid> store;
    std::vector<const Cuboid*> blocks;
    void Add(const Cuboid& c)
    {
        store.push_back(c);
        store.back().id = (int)blocks.size();
        blocks.push_back(&store.back());
    }
};

int GridDistance(const BaseCuboid<int>& b, const BaseVector3<int>& g)
{
    return std::max({0, b.x0 - g.x, g.x - b.x1, b.y0 - g.y, g.y - b.y1, b.z0 - g.z, g.z - b.z1});
}

// The leaves of the query index with their boxes.
void CollectLeaves(const LeafIndex& ix, uint32_t cell, const BaseCuboid<int>& box, std::vector<BaseCuboid<int>>& out)
{
    const LeafIndex::Cell& c = ix.At(cell);
    if (c.link == LeafIndex::LEAF) {
        out.push_back(box);
        return;
    }
    for (uint32_t i = 0; i < 8; ++i) {
        BaseCuboid<int> b = box;
        (i & 1 ? b.x0 : b.x1) = c.at[0];
        (i & 2 ? b.y0 : b.y1) = c.at[1];
        (i & 4 ? b.z0 : b.z1) = c.at[2];
        CollectLeaves(ix, c.link + i, b, out);
    }
}

int Draw(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
double Uniform(std::mt19937& rng, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }

// Three layers of 40 wires 0.1 wide, x-wires, y-wires crossing above and
// x-wires again, with vias touching the layers they join: leaves stop at 2
// units and hold many wires.
void Bus(Deck& d, std::mt19937& rng)
{
    for (int i = 0; i < 40; ++i) {
        double o = 0.2 * i;
        d.Add(Cuboid(0, 0, o, 0.0, 8, o + 0.1, 0.1));
        d.Add(Cuboid(0, o, 0, 0.3, o + 0.1, 8, 0.4));
        d.Add(Cuboid(0, 0, o + 0.05, 0.6, 8, o + 0.15, 0.7));
    }
    for (int i = 0; i < 20; ++i) {
        double x = 0.2 * Draw(rng, 0, 39), y = 0.2 * Draw(rng, 0, 39);
        d.Add(Cuboid(0, x, y, 0.1, x + 0.1, y + 0.1, 0.3));
    }
}

// Blocks from a thousandth to tens of units on a lattice of `step` units so
// that faces coincide, some of them exact copies.
void Mixed(Deck& d, std::mt19937& rng, int n, double span, double step)
{
    for (int i = 0; i < n; ++i) {
        double lo[3], hi[3];
        for (int a = 0; a < 3; ++a) {
            double size = std::pow(10.0, Uniform(rng, -3, std::log10(span / 2)));
            lo[a] = std::round(Uniform(rng, 0, span) / step) * step;
            hi[a] = lo[a] + std::max(step, std::round(size / step) * step);
        }
        d.Add(Cuboid(0, lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]));
        if (Draw(rng, 0, 9) == 0)
            d.Add(*d.blocks.back());
    }
}

// The tree as a run builds it.
std::unique_ptr<Spacemanager> Space(const Deck& deck)
{
    Cuboid window(0, 0, 0, 0, 1, 1, 1);
    return std::unique_ptr<Spacemanager>(Spacemanager::Build(deck.blocks, window));
}

// Leaf corners, centres and face centres, block corners and face points,
// each with its one-cell neighbours, and random points of the blocks' region
// and of the root.
std::vector<BaseVector3<int>> Points(const Spacemanager& s, const Deck& deck, std::mt19937& rng, int random)
{
    std::vector<BaseVector3<int>> p;
    auto with_neighbours = [&](int x, int y, int z) {
        for (int d = -1; d <= 1; d += 2)
            p.insert(p.end(), {{x + d, y, z}, {x, y + d, z}, {x, y, z + d}});
        p.emplace_back(x, y, z);
    };
    std::vector<BaseCuboid<int>> leaves;
    CollectLeaves(s.index, 0, s.index.Root(), leaves);
    std::shuffle(leaves.begin(), leaves.end(), rng);
    leaves.resize(std::min<size_t>(leaves.size(), 400));
    for (const BaseCuboid<int>& l : leaves)
        for (int x : {l.x0, (l.x0 + l.x1) / 2, l.x1})
            for (int y : {l.y0, (l.y0 + l.y1) / 2, l.y1})
                for (int z : {l.z0, (l.z0 + l.z1) / 2, l.z1})
                    with_neighbours(x, y, z);
    BaseCuboid<int> span = ToGrid(*deck.blocks[0]);
    for (const Cuboid* c : deck.blocks) {
        BaseCuboid<int> g = ToGrid(*c);
        for (int s = 0; s < 2; ++s) {
            const int x = s ? g.x1 : g.x0, y = s ? g.y1 : g.y0, z = s ? g.z1 : g.z0;
            with_neighbours(x, y, z);
            with_neighbours(x, Draw(rng, g.y0, g.y1), Draw(rng, g.z0, g.z1));
            with_neighbours(Draw(rng, g.x0, g.x1), y, Draw(rng, g.z0, g.z1));
            with_neighbours(Draw(rng, g.x0, g.x1), Draw(rng, g.y0, g.y1), z);
        }
        span = BaseCuboid<int>(0, std::min(span.x0, g.x0), std::min(span.y0, g.y0), std::min(span.z0, g.z0),
                               std::max(span.x1, g.x1), std::max(span.y1, g.y1), std::max(span.z1, g.z1));
    }
    for (int i = 0; i < random; ++i) {
        const BaseCuboid<int>& b = i % 4 ? span : s.index.Root();
        p.emplace_back(Draw(rng, b.x0, b.x1), Draw(rng, b.y0, b.y1), Draw(rng, b.z0, b.z1));
    }
    return p;
}

// Counts the points whose nearest block, as `s` finds it, is not at the
// brute-force distance (or, outside the root, not "none"), and those where
// `agrees` says a second way of asking differs; names the first three.
int Misses(const Spacemanager& s, const Deck& deck, const std::vector<BaseVector3<int>>& points,
           const std::string& what, const std::function<bool(const BaseVector3<int>&, const Cuboid*, int)>& agrees)
{
    const BaseCuboid<int>& r = s.index.Root();
    int wrong = 0;
    for (const BaseVector3<int>& g : points) {
        int dist = 12345, truth = INT_MAX;
        const Cuboid* c = s.SearchNearestCuboid(g, dist);
        bool ok = agrees(g, c, dist);
        // The root is half open in y.
        if (g.x < r.x0 || g.x > r.x1 || g.y < r.y0 || g.y >= r.y1 || g.z < r.z0 || g.z > r.z1) {
            ok = ok && dist == -2147483647 && !c;
        } else {
            for (const Cuboid* b : deck.blocks)
                truth = std::min(truth, GridDistance(ToGrid(*b), g));
            ok = ok && c && dist == truth && GridDistance(ToGrid(*c), g) == dist;
        }
        if (!ok && ++wrong <= 3)
            ADD_FAILURE() << what << " at (" << g.x << "," << g.y << "," << g.z << "): got " << dist
                          << ", nearest block is at " << truth;
    }
    return wrong;
}

TEST(NearestProperty, AgreesWithBruteForceOnRandomDecks)
{
    const double steps[] = {0.0002, 0.001, 0.5};
    for (unsigned seed = 1; seed <= 10; ++seed) {
        std::mt19937 rng(seed);
        Deck deck;
        if (seed <= 2)
            Bus(deck, rng);
        else
            Mixed(deck, rng, 60 + 10 * (int)seed, 12.0 + 4 * (seed % 3), steps[seed % 3]);
        std::unique_ptr<Spacemanager> s = Space(deck);
        LeafIndex::Hint hint;  // carried from point to point, as a walk carries it
        auto hinted = [&](const BaseVector3<int>& g, const Cuboid* c, int dist) {
            int d = 54321;
            return s->SearchNearestCuboid(g, d, hint) == c && d == dist;
        };
        const std::vector<BaseVector3<int>> points = Points(*s, deck, rng, seed <= 2 ? 20000 : 5000);
        EXPECT_EQ(Misses(*s, deck, points, "seed " + std::to_string(seed), hinted), 0);
    }
}

// The first hop measures in doubles from the leaf of the rounded point.
// Blocks and points on the grid give the exact distance; elsewhere rounding
// the point and the blocks can cost at most two grid cells, and the radius
// is never below the true distance.
TEST(DomainCubicProperty, AgreesWithBruteForceInDoubles)
{
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 rng(400 + seed);
        Deck deck;
        Mixed(deck, rng, 80, 20.0, seed % 2 ? 0.0002 : 0.001);
        std::unique_ptr<Spacemanager> s = Space(deck);
        const BaseCuboid<int>& r = s->index.Root();
        auto truth = [&](const Vector3& p) {
            double best = 1e308;
            for (const Cuboid* c : deck.blocks)
                best = std::min(best, std::max({0.0, c->x0 - p.x, p.x - c->x1, c->y0 - p.y, p.y - c->y1,
                                                c->z0 - p.z, p.z - c->z1}));
            return best < 1e-12 ? 0.0 : best;
        };
        for (int i = 0; i < 20000; ++i) {
            Vector3 on(Draw(rng, r.x0 / 4, r.x1 / 2) / 5000.0, Draw(rng, r.y0 / 4, r.y1 / 2) / 5000.0,
                       Draw(rng, r.z0 / 4, r.z1 / 2) / 5000.0);
            ASSERT_NEAR(s->GetDomainCubic(on).radius, truth(on), 1e-9) << "seed " << seed << " i " << i;
            Vector3 off(on.x + Uniform(rng, -1e-4, 1e-4), on.y + Uniform(rng, -1e-4, 1e-4),
                        on.z + Uniform(rng, -1e-4, 1e-4));
            const double radius = s->GetDomainCubic(off).radius, t = truth(off);
            ASSERT_GE(radius, t - 1e-12);
            ASSERT_LE(radius, t + 2.0 / 5000 + 1e-9);
        }
    }
}

// A walk's start begins its descent from the square of its Gaussian face:
// the leaf, and the first hop's radius to the bit, must be the root's for
// every point of the plane, on the face or off it (off it, or with a wrong
// face, the descent starts at the root), and for boxes crossing the root's
// bounds (no squares).
TEST(FaceStartsProperty, SameLeafAndRadiusAsFromTheRoot)
{
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 rng(700 + seed);
        Deck deck;
        if (seed == 1)
            Bus(deck, rng);
        else
            Mixed(deck, rng, 80, 20.0, seed % 2 ? 0.0002 : 0.001);
        std::unique_ptr<Spacemanager> s = Space(deck);
        const LeafIndex& ix = s->index;
        const BaseCuboid<int>& r = ix.Root();
        int below_root = 0;
        for (int b = 0; b < 12; ++b) {
            // Boxes about a block, as a Gaussian surface is, and the last
            // few reaching past the root.
            BaseCuboid<int> g = ToGrid(*deck.blocks[Draw(rng, 0, (int)deck.blocks.size() - 1)]);
            const int grow = Draw(rng, 0, 4000), past = b >= 10 ? r.x1 : 0;
            const BaseCuboid<int> box(0, g.x0 - grow, g.y0 - grow, g.z0 - grow, g.x1 + grow + past, g.y1 + grow,
                                      g.z1 + grow);
            FaceStarts starts;
            starts.Build(ix, box);
            const int lo[3] = {box.x0, box.y0, box.z0}, hi[3] = {box.x1, box.y1, box.z1};
            static const int AXIS[6] = {2, 1, 0, 1, 0, 2};
            for (int f = 0; f < 6; ++f) {
                const int a = AXIS[f], u = a == 0 ? 1 : 0, v = a == 2 ? 1 : 2;
                for (int i = 0; i < 400; ++i) {
                    int c[3];
                    c[a] = (f == 2 || f == 3 || f == 5 ? hi[a] : lo[a]) + (i % 8 == 7 ? Draw(rng, -1, 1) : 0);
                    // Corners and edges, then anywhere, past the face's last squares too.
                    const int past_u = i % 4 ? 2 : 2 + (hi[u] - lo[u]) / 16, past_v = i % 4 ? 2 : 2 + (hi[v] - lo[v]) / 16;
                    c[u] = i < 4 ? (i & 1 ? hi[u] : lo[u]) : Draw(rng, lo[u] - 2, hi[u] + past_u);
                    c[v] = i < 4 ? (i & 2 ? hi[v] : lo[v]) : Draw(rng, lo[v] - 2, hi[v] + past_v);
                    const BaseVector3<int> p(c[0], c[1], c[2]);
                    const int face = i % 16 == 5 ? (f + 1) % 6 : f;
                    ASSERT_EQ(ix.LeafBelow(starts.From(p, face), p), ix.LeafAt(p))
                        << "seed " << seed << " box " << b << " face " << f << " i " << i;
                    const Vector3 d(p.x / 5000.0 + Uniform(rng, -9e-5, 9e-5), p.y / 5000.0, p.z / 5000.0);
                    below_root += starts.From(p, face) != 0;
                    if (ix.LeafAt(p) != LeafIndex::LEAF && ix.LeafAt(ToGrid(d)) != LeafIndex::LEAF) {
                        ASSERT_EQ(s->GetDomainCubic(d, starts, face).radius, s->GetDomainCubic(d).radius);
                    }
                }
            }
        }
        // Most starts on a face skip part of the descent.
        EXPECT_GT(below_root, 12 * 6 * 400 / 2) << "seed " << seed;
    }
}

std::vector<double> Corners(const Cuboid& w) { return {w.x0, w.y0, w.z0, w.x1, w.y1, w.z1}; }

TEST(SpacemanagerBuild, WindowGrowsToFiveTimesTheSpanAboutTheCentreAndMustFitTheGrid)
{
    Deck deck;
    deck.Add(Cuboid(0, 0, 0, 0, 2, 1, 0.5));
    deck.Add(Cuboid(0, 1, 0.5, 0, 1.5, 0.75, 0.25));
    Cuboid window(0, -100, 0, 0, 1, 200, 1);  // larger where it is larger
    std::unique_ptr<Spacemanager> s(Spacemanager::Build(deck.blocks, window));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Corners(window), (std::vector<double>{-100, -9.5, -9.75, 11, 200, 10.25}));
    EXPECT_EQ(s->index.Root().x0, -500000);
    EXPECT_EQ(s->master, deck.blocks[0]);

    // Differences of grid coordinates must fit an int.
    const std::pair<Cuboid, bool> rows[] = {
        {Cuboid(0, -214748, -1, -1, 214748, 1, 1), true},   {Cuboid(0, -1, -1, -1, 1, 214749, 1), false},
        {Cuboid(0, -1, -1, -214749, 1, 1, 1), false},       {Cuboid(0, -1, -1, -1, 1, 1, 1e300), false},
        {Cuboid(0, -1, -1, -1, 1, 1, std::nan("")), false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Spacemanager::FitsGrid(row.first), row.second) << row.first.x0 << " " << row.first.z1;
    Deck wide;
    wide.Add(Cuboid(0, 0, 0, 0, 50000, 1, 1));
    Cuboid w(0, 0, 0, 0, 1, 1, 1);
    EXPECT_EQ(Spacemanager::Build(wide.blocks, w), nullptr);
}

// Blocks of random size on a lattice of `pitch`, at most one per site, in a
// slab of `layers` levels; `fill` is the share of sites taken.
Deck RandomSlab(unsigned seed, int sites, int layers, double pitch, double fill)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    Deck d;
    for (int k = 0; k < layers; ++k)
        for (int j = 0; j < sites; ++j)
            for (int i = 0; i < sites; ++i) {
                if (u(rng) > fill)
                    continue;
                double w = pitch * (0.2 + 0.8 * u(rng)), l = pitch * (0.2 + 3 * u(rng));
                double x = i * pitch, y = j * pitch, z = k * pitch;
                bool along_x = u(rng) < 0.5;
                d.Add(Cuboid(0, x, y, z, x + (along_x ? l : w), y + (along_x ? w : l),
                             z + pitch * (0.1 + 0.5 * u(rng))));
            }
    return d;
}

// Points near the blocks (where walks hop) and anywhere in the root.
std::vector<BaseVector3<int>> NearPoints(const Spacemanager& s, const Deck& d, std::mt19937& rng, int n)
{
    std::vector<BaseVector3<int>> out;
    const BaseCuboid<int>& r = s.index.Root();
    std::uniform_int_distribution<size_t> pick(0, d.blocks.size() - 1);
    std::uniform_int_distribution<int> near(-4000, 4000);
    for (int i = 0; i < n; ++i) {
        if (i % 8 == 0) {
            out.emplace_back(std::uniform_int_distribution<int>(r.x0, r.x1)(rng),
                             std::uniform_int_distribution<int>(r.y0, r.y1 - 1)(rng),
                             std::uniform_int_distribution<int>(r.z0, r.z1)(rng));
            continue;
        }
        BaseCuboid<int> g = ToGrid(*d.blocks[pick(rng)]);
        out.emplace_back(g.x0 + near(rng), g.y1 + near(rng), (i % 3 ? g.z0 : g.z1) + near(rng) / 8);
    }
    return out;
}

TEST(ScalingProperty, FilledTreeAgreesWithBruteForceAtSeveralDensities)
{
    struct Row {
        int sites, layers;
        double pitch, fill;
    } rows[] = {{40, 2, 0.5, 0.9}, {60, 1, 0.2, 0.5}, {25, 4, 1.0, 0.3}, {70, 1, 0.3, 0.08}};
    unsigned seed = 1;
    for (const Row& row : rows) {
        Deck deck = RandomSlab(seed++, row.sites, row.layers, row.pitch, row.fill);
        ASSERT_GT(deck.blocks.size(), 300u);
        Cuboid window(0, 0, 0, 0, 1, 1, 1), window2 = window;
        std::unique_ptr<Spacemanager> s(Spacemanager::Build(deck.blocks, window));
        // Built by three threads, the same tree cell for cell.
        std::unique_ptr<Spacemanager> t(Spacemanager::Build(deck.blocks, window2));
        s->Fill(deck.blocks, 1);
        t->Fill(deck.blocks, 3);
        EXPECT_EQ(s->index.Cells(), t->index.Cells());
        std::mt19937 rng(seed);
        auto same_in_t = [&](const BaseVector3<int>& g, const Cuboid* c, int dist) {
            int dist_t = -1;
            return t->SearchNearestCuboid(g, dist_t) == c && dist_t == dist &&
                   (dist == -2147483647 || t->index.Count(t->index.LeafAt(g)) == s->index.Count(s->index.LeafAt(g)));
        };
        const std::string what = "pitch " + std::to_string(row.pitch) + " fill " + std::to_string(row.fill);
        EXPECT_EQ(Misses(*s, deck, NearPoints(*s, deck, rng, 6000), what, same_in_t), 0);
    }
}

// Walks read a hop radius from SearchNearestCuboid, the conductor it lands
// on when the distance is 0, and the first-hop radius from GetDomainCubic:
// all three must not depend on how the tree was built, and both trees must
// agree with brute force.
TEST(ScalingProperty, ExampleDecksGetTheSameAnswersFromBothLeafSizings)
{
    for (const char* name : {"two_wires.kd", "bus_crossing.kd", "dense_bus.kd"}) {
        DeckLists lists;
        ASSERT_EQ(LoadDeck((std::string(KORVA_SOURCE_DIR) + "/examples/" + name).c_str(), lists), 0);
        Cuboid w_old = *lists.window, w_new = *lists.window;
        std::unique_ptr<Spacemanager> old_tree(Spacemanager::Build(lists.cuboids, w_old, false));
        std::unique_ptr<Spacemanager> new_tree(Spacemanager::Build(lists.cuboids, w_new, true));
        Deck deck;
        deck.blocks = lists.cuboids;
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> jitter(-1e-4, 1e-4);
        size_t scanned_old = 0, scanned_new = 0;
        const BaseCuboid<int>& r = old_tree->index.Root();
        auto as_old = [&](const BaseVector3<int>& g, const Cuboid* c_new, int d_new) {
            int d_old = 0;
            const Cuboid* c_old = old_tree->SearchNearestCuboid(g, d_old);
            bool same = d_old == d_new && (d_old != 0 || c_old->id == c_new->id);
            if (d_old != -2147483647) {
                scanned_old += old_tree->index.Count(old_tree->index.LeafAt(g));
                scanned_new += new_tree->index.Count(new_tree->index.LeafAt(g));
            }
            if (g.x > r.x0 && g.x < r.x1 && g.y > r.y0 && g.y < r.y1 - 1 && g.z > r.z0 && g.z < r.z1) {
                Vector3 p(g.x / 5000.0 + jitter(rng), g.y / 5000.0 + jitter(rng), g.z / 5000.0 + jitter(rng));
                same = same && old_tree->GetMaxBall(p) == new_tree->GetMaxBall(p);
            }
            return same;
        };
        EXPECT_EQ(Misses(*new_tree, deck, NearPoints(*old_tree, deck, rng, 40000), name, as_old), 0);
        EXPECT_LE(scanned_new, scanned_old) << name;
    }
}

}  // namespace
