// The surface of a master of several blocks: its rectangles against a
// rasterised union of boxes. The layered via case of tests/validation runs
// its layer bands.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>

#include "gausssurface.h"

namespace {

TEST(Exposed, RectanglesCoverTheUnionBoundaryExactlyOnce)
{
    const int step[6][3] = {{0, 0, -1}, {0, -1, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> at(0, 7), len(1, 4), count(2, 6);
    for (int trial = 0; trial < 300; ++trial) {
        // Integer boxes, so that faces often coincide, overlap or meet at an edge.
        std::vector<Cuboid> boxes;
        for (int k = count(rng); k > 0; --k) {
            int x = at(rng), y = at(rng), z = at(rng);
            boxes.push_back(Cuboid(0, x, y, z, x + len(rng), y + len(rng), z + len(rng)));
        }
        auto inside = [&](int x, int y, int z) {
            for (const Cuboid& b : boxes)
                if (b.x0 <= x && x < b.x1 && b.y0 <= y && y < b.y1 && b.z0 <= z && z < b.z1)
                    return true;
            return false;
        };
        // Unit squares by face, plane and cell of the patch frame.
        std::map<std::array<int, 4>, int> want, got;
        for (int x = 0; x < 12; ++x)
            for (int y = 0; y < 12; ++y)
                for (int z = 0; z < 12; ++z)
                    for (int f = 0; inside(x, y, z) && f < 6; ++f) {
                        if (inside(x + step[f][0], y + step[f][1], z + step[f][2]))
                            continue;
                        const int plane[6] = {z, y, x + 1, y + 1, x, z + 1};
                        want[{f, plane[f], f == 2 || f == 4 ? y : x, f == 0 || f == 5 ? y : z}]++;
                    }
        for (size_t i = 0; i < boxes.size(); ++i)
            for (int f = 0; f < 6; ++f)
                for (const GaussPatch& p : GaussSurface::Exposed(boxes, i, f))
                    for (int a = (int)p.a0; a < (int)p.a1; ++a)
                        for (int b = (int)p.b0; b < (int)p.b1; ++b)
                            got[{p.face, (int)p.fixed, a, b}]++;
        ASSERT_EQ(got, want) << "trial " << trial;
    }
}

}  // namespace
