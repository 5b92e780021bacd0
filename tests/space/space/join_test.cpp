// Blocks of one conductor that line up are searched as one box: the pieces
// of cut boxes answer every query like the boxes, and nothing else is joined.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "spacemanager.h"

namespace {

TEST(JoinBlocks, PiecesOfABoxAnswerLikeTheBox)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> at(0, 4), len(0.1, 2);
    // Apart: other conductors, faces that differ. Joined: a rounding step apart.
    std::deque<Cuboid> whole = {Cuboid(5, 9, 0, 0, 10, 1, 1), Cuboid(6, 10, 0, 0, 11, 1, 1),
                                Cuboid(7, 9, 2, 0, 10, 3, 1), Cuboid(7, 10, 2, 0, 11, 3.5, 1)};
    std::deque<Cuboid> pieces(whole);
    whole.push_back(Cuboid(8, 0.3, 5, 0, 1.2, 6, 1));
    pieces.push_back(Cuboid(8, 0.3, 5, 0, 0.3 + 0.6, 6, 1));
    pieces.push_back(Cuboid(8, 0.9, 5, 0, 1.2, 6, 1));
    for (int k = 0; k < 16; ++k) {
        const double x = at(rng), y = at(rng), z = at(rng), dx = len(rng);
        whole.push_back(Cuboid(k % 4, x, y, z, x + dx, y + len(rng), z + len(rng)));
        // 1 to 4 pieces along x, every other one reaching into the next.
        const int m = 1 + k % 4;
        for (int p = 0; p < m; ++p) {
            Cuboid c = whole.back();
            c.x0 = p == 0 ? x : x + dx * p / m;
            c.x1 = p == m - 1 ? c.x1 : x + dx * (p + 1 + 0.3 * (p % 2)) / m;
            pieces.push_back(c);
        }
    }
    std::vector<const Cuboid*> wl, pl;
    for (const Cuboid& c : whole)
        wl.push_back(&c);
    for (const Cuboid& c : pieces)
        pl.push_back(&c);
    std::deque<Cuboid> store;
    std::vector<const Cuboid*> from;
    EXPECT_EQ(Spacemanager::JoinBlocks(pl, store, from).size(), wl.size());
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
