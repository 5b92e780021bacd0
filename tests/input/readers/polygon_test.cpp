// Splitting Manhattan polygons into boxes, against a brute-force raster.
#include <gtest/gtest.h>

#include <random>

#include "polygon.h"

namespace {

// Even-odd inside test by a ray to the right from the cell centre.
bool Inside(const std::vector<Ring>& rings, double x, double y)
{
    bool in = false;
    for (const Ring& r : rings)
        for (size_t i = 0; i < r.size(); ++i) {
            const GridPoint &a = r[i], &b = r[(i + 1) % r.size()];
            if (a.x == b.x && x < a.x && (y > std::min(a.y, b.y)) != (y > std::max(a.y, b.y)))
                in = !in;
        }
    return in;
}

// Alternating horizontal and vertical moves through random coordinates,
// drawn again until no edge has zero length; the ring may cross itself,
// which the even-odd rule fills like the raster does.
Ring RandomRing(std::mt19937& rng, int n, int size)
{
    std::uniform_int_distribution<int> c(0, size);
    for (;;) {
        std::vector<int> xs(n), ys(n);
        for (int i = 0; i < n; ++i) {
            xs[i] = c(rng);
            ys[i] = c(rng);
        }
        Ring ring;
        for (int i = 0; i < n; ++i) {
            ring.push_back({xs[i], ys[i]});
            ring.push_back({xs[(i + 1) % n], ys[i]});
        }
        if (IsManhattan(ring))
            return ring;
    }
}

TEST(Polygon, BoxesAreDisjointAndCoverExactlyTheRaster)
{
    std::mt19937 rng(20261207);
    const int SIZE = 12;
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<Ring> rings{RandomRing(rng, 2 + trial % 5, SIZE)};
        if (trial % 3 == 0)
            rings.push_back(RandomRing(rng, 2, SIZE));  // a hole, or an overlap that cancels
        std::vector<GridRect> boxes = DecomposeManhattan(rings);
        std::vector<int> cover(SIZE * SIZE, 0);
        for (const GridRect& b : boxes) {
            ASSERT_LT(b.x0, b.x1);
            ASSERT_LT(b.y0, b.y1);
            for (int64_t x = b.x0; x < b.x1; ++x)
                for (int64_t y = b.y0; y < b.y1; ++y)
                    ++cover[x * SIZE + y];
        }
        for (int x = 0; x < SIZE; ++x)
            for (int y = 0; y < SIZE; ++y)
                ASSERT_EQ(cover[x * SIZE + y], Inside(rings, x + 0.5, y + 0.5) ? 1 : 0)
                    << "trial " << trial << " cell " << x << "," << y;
    }
}

TEST(Polygon, FewBoxesForSimpleShapes)
{
    struct Case {
        Ring ring;
        size_t boxes;
    } cases[] = {
        {{{0, 0}, {4, 0}, {4, 2}, {0, 2}}, 1},                      // rectangle
        {{{0, 0}, {4, 0}, {4, 1}, {1, 1}, {1, 3}, {0, 3}}, 2},      // L
        {{{0, 0}, {3, 0}, {3, 1}, {2, 1}, {2, 2}, {3, 2}, {3, 3}, {0, 3}}, 3},  // C, opening right
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecomposeManhattan({c.ring}).size(), c.boxes);
    // A frame: outline with a hole gives four sides.
    EXPECT_EQ(DecomposeManhattan({{{0, 0}, {3, 0}, {3, 3}, {0, 3}}, {{1, 1}, {2, 1}, {2, 2}, {1, 2}}}).size(), 4u);
}

TEST(Polygon, ManhattanTest)
{
    EXPECT_FALSE(IsManhattan({{0, 0}, {2, 0}, {1, 1}}));            // diagonal
    EXPECT_FALSE(IsManhattan({{0, 0}, {2, 0}, {2, 0}, {2, 2}, {0, 2}}));  // zero-length edge
    EXPECT_TRUE(IsManhattan({{0, 0}, {2, 0}, {2, 2}, {0, 2}}));
}

}  // namespace
