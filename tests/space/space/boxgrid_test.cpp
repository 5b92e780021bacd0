// The per-master preparation trusts BoxGrid::Near to list exactly the
// blocks that meet a region, in list order, whatever the layout's shape.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "boxgrid.h"

namespace {

TEST(BoxGrid, ListsWhatBruteForceFindsOnLayoutsOfEveryShape)
{
    struct Layout {
        const char* name;
        double wx, wy, size;  // spread of the blocks and their largest side
        int blocks;
    } layouts[] = {
        {"square", 50, 50, 2, 2000}, {"a row", 400, 0.5, 1, 500}, {"one column", 0, 0, 3, 40},
        {"big and small", 20, 20, 15, 300}, {"one block", 1, 1, 1, 1},
    };
    std::mt19937 rng(5);
    for (const Layout& l : layouts) {
        std::uniform_real_distribution<double> x(0, l.wx), y(0, l.wy), z(0, 5), side(0.01, l.size);
        std::deque<Cuboid> store;
        std::vector<const Cuboid*> boxes;
        for (int i = 0; i < l.blocks; i++) {
            const double x0 = x(rng), y0 = y(rng), z0 = z(rng);
            store.emplace_back(i, x0, y0, z0, x0 + side(rng), y0 + side(rng), z0 + side(rng));
            boxes.push_back(&store.back());
        }
        // A huge block under all of them, as a ground plane.
        store.emplace_back(l.blocks, -1, -1, -1, l.wx + 1, l.wy + 1, 0);
        boxes.push_back(&store.back());
        const BoxGrid grid(boxes);
        std::vector<size_t> got;
        for (int q = 0; q < 200; q++) {
            const double qx = x(rng) - 2, qy = y(rng) - 2, qz = z(rng) - 2, r = side(rng) * (q % 7);
            const Cuboid region(0, qx, qy, qz, qx + r, qy + r / 2, qz + 2 * r);
            grid.Near(region, got);
            std::vector<size_t> want;
            for (size_t k = 0; k < boxes.size(); k++) {
                const Cuboid& c = *boxes[k];
                if (c.x0 <= region.x1 && region.x0 <= c.x1 && c.y0 <= region.y1 && region.y0 <= c.y1 &&
                    c.z0 <= region.z1 && region.z0 <= c.z1)
                    want.push_back(k);
            }
            ASSERT_EQ(got, want) << l.name << " query " << q;
        }
        EXPECT_TRUE(grid.Covers(Cuboid(0, -2, -2, -2, l.wx + 2 * l.size, l.wy + 2 * l.size, 5 + 2 * l.size)))
            << l.name;
        EXPECT_FALSE(grid.Covers(Cuboid(0, 0, 0, 0, l.wx / 2, l.wy / 2, 1))) << l.name;
    }
}

}  // namespace
