// Blocks of one conductor that line up are searched as one box: the pieces
// of a cut box answer every query like the box, and nothing else is joined.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "spacemanager.h"

namespace {

TEST(JoinBlocks, PiecesOfABoxAnswerLikeTheBox)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> at(0, 4), len(0.1, 2);
    // Pairs that must stay apart: other conductors, or faces that differ.
    std::deque<Cuboid> whole = {Cuboid(5, 9, 0, 0, 10, 1, 1), Cuboid(6, 10, 0, 0, 11, 1, 1),
                                Cuboid(7, 9, 2, 0, 10, 3, 1), Cuboid(7, 10, 2, 0, 11, 3.5, 1)};
    std::deque<Cuboid> pieces(whole);
    // Pieces that miss each other by a rounding step, as 0.3 + 0.6 does 0.9.
    whole.push_back(Cuboid(8, 0.3, 5, 0, 1.2, 6, 1));
    pieces.push_back(Cuboid(8, 0.3, 5, 0, 0.3 + 0.6, 6, 1));
    pieces.push_back(Cuboid(8, 0.9, 5, 0, 1.2, 6, 1));
    for (int k = 0; k < 16; ++k) {
        const double x = at(rng), y = at(rng), z = at(rng);
        whole.push_back(Cuboid(k % 4, x, y, z, x + len(rng), y + len(rng), z + len(rng)));
        // Cut along one axis into 1 to 4 pieces, every other one reaching into the next.
        const Cuboid& b = whole.back();
        const int a = k % 3, m = 1 + k % 4;
        double* const blo[3] = {&whole.back().x0, &whole.back().y0, &whole.back().z0};
        const double lo = *blo[a], hi = a == 0 ? b.x1 : a == 1 ? b.y1 : b.z1;
        for (int p = 0; p < m; ++p) {
            Cuboid c = b;
            double* clo[3] = {&c.x0, &c.y0, &c.z0};
            double* chi[3] = {&c.x1, &c.y1, &c.z1};
            *clo[a] = p == 0 ? lo : lo + (hi - lo) * p / m;
            *chi[a] = p == m - 1 ? hi : std::min(hi, lo + (hi - lo) * (p + 1 + 0.3 * (p % 2)) / m);
            pieces.push_back(c);
        }
    }
    std::vector<const Cuboid*> wl, pl;
    for (const Cuboid& c : whole)
        wl.push_back(&c);
    for (const Cuboid& c : pieces)
        pl.push_back(&c);
    std::deque<Cuboid> store;
    std::vector<const Cuboid*> joined = Spacemanager::JoinBlocks(pl, store);
    ASSERT_EQ(joined.size(), wl.size());
    for (size_t i = 0; i < wl.size(); ++i) {
        const Cuboid &g = *joined[i], &w = *wl[i];
        EXPECT_TRUE(g.id == w.id && g.x0 == w.x0 && g.y0 == w.y0 && g.z0 == w.z0 && g.x1 == w.x1 &&
                    g.y1 == w.y1 && g.z1 == w.z1)
            << "box " << i;
    }
    Cuboid w1(0, 0, 0, 0, 1, 1, 1), w2 = w1;
    std::unique_ptr<Spacemanager> sw(Spacemanager::Build(wl, w1)), sp(Spacemanager::Build(pl, w2));
    std::uniform_int_distribution<int> grid(-20000, 70000);
    for (int i = 0; i < 20000; ++i) {
        const BaseVector3<int> g(grid(rng), grid(rng), grid(rng));
        int dw = 0, dp = 0;
        const Cuboid* hw = sw->SearchNearestCuboid(g, dw);
        const Cuboid* hp = sp->SearchNearestCuboid(g, dp);
        ASSERT_EQ(dw, dp);
        if (dw == 0) {
            ASSERT_EQ(hw->id, hp->id);
        }
    }
}

}  // namespace
