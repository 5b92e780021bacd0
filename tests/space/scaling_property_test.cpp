// The tree built at once with leaves sized to the geometry must answer every
// query as the block-by-block tree did, and as a brute-force scan does.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "parser.h"
#include "space_util.h"
#include "spacemanager.h"

namespace {

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
std::vector<BaseVector3<int>> Points(const Spacemanager& s, const Deck& d, std::mt19937& rng, int n)
{
    std::vector<BaseVector3<int>> out;
    const BaseCuboid<int>& r = s.root->box;
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
        Cuboid window(0, 0, 0, 0, 1, 1, 1);
        std::unique_ptr<Spacemanager> s(Spacemanager::Build(deck.blocks, window));
        std::mt19937 rng(seed);
        int wrong = 0;
        for (const BaseVector3<int>& g : Points(*s, deck, rng, 6000)) {
            int dist = -1;
            const Cuboid* c = s->SearchNearestCuboid(g, dist);
            int truth = BruteGrid(deck.blocks, g);
            if (!(c && dist == truth && GridDistance(ToGrid(*c), g) == dist) && ++wrong <= 3)
                ADD_FAILURE() << "pitch " << row.pitch << " at (" << g.x << "," << g.y << ","
                              << g.z << "): got " << dist << ", nearest is at " << truth;
        }
        EXPECT_EQ(wrong, 0) << "pitch " << row.pitch << " fill " << row.fill;
    }
}

// Walks read a hop radius from SearchNearestCuboid, the conductor it lands
// on when the distance is 0, and the first-hop radius from GetDomainCubic:
// all three must not depend on how the tree was built.
TEST(ScalingProperty, ExampleDecksGetTheSameAnswersFromBothLeafSizings)
{
    for (const char* name : {"two_wires.kd", "bus_crossing.kd", "dense_bus.kd"}) {
        ClearDeck();
        DeckLists lists;
        ASSERT_EQ(LoadDeck((std::string(KORVA_SOURCE_DIR) + "/examples/" + name).c_str(), lists), 0);
        Cuboid w_old = *solver_space, w_new = *solver_space;
        std::unique_ptr<Spacemanager> old_tree(Spacemanager::Build(lists.cuboids, w_old, false));
        std::unique_ptr<Spacemanager> new_tree(Spacemanager::Build(lists.cuboids, w_new, true));
        Deck deck;
        for (const Cuboid* c : lists.cuboids)
            deck.blocks.push_back(c);
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> jitter(-1e-4, 1e-4);
        int differ = 0;
        size_t scanned_old = 0, scanned_new = 0;
        const BaseCuboid<int>& r = old_tree->root->box;
        for (const BaseVector3<int>& g : Points(*old_tree, deck, rng, 40000)) {
            int d_old = 0, d_new = 0;
            const Cuboid* c_old = old_tree->SearchNearestCuboid(g, d_old);
            const Cuboid* c_new = new_tree->SearchNearestCuboid(g, d_new);
            bool same = d_old == d_new && (d_old != 0 || c_old->id == c_new->id);
            if (d_old != -2147483647) {
                scanned_old += old_tree->index.Count(old_tree->index.LeafAt(g));
                scanned_new += new_tree->index.Count(new_tree->index.LeafAt(g));
            }
            if (g.x > r.x0 && g.x < r.x1 && g.y > r.y0 && g.y < r.y1 - 1 && g.z > r.z0 && g.z < r.z1) {
                Vector3 p(g.x / 5000.0 + jitter(rng), g.y / 5000.0 + jitter(rng), g.z / 5000.0 + jitter(rng));
                same = same && old_tree->GetMaxBall(p) == new_tree->GetMaxBall(p);
            }
            if (!same && ++differ <= 3)
                ADD_FAILURE() << name << " at (" << g.x << "," << g.y << "," << g.z << ")";
        }
        EXPECT_EQ(differ, 0) << name;
        EXPECT_LE(scanned_new, scanned_old) << name;
    }
    ClearDeck();
}

}  // namespace
