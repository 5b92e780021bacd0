#include "geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

// The grid (halves away from zero) and each face's (u, v) frame against the
// plain per-case formulas, bit for bit: the walks' fixed-seed results rest on
// every rounding staying the same.
TEST(Geometry, GridAndFacePointsMatchThePlainFormulasExactly)
{
    // A block rounds corner by corner and loses its id.
    BaseCuboid<int> b = ToGrid(Cuboid(7, -1, 0, 0.5, 1, 2, 3.00001));
    EXPECT_EQ((std::vector<int>{b.id, b.x0, b.y0, b.z0, b.x1, b.y1, b.z1}),
              (std::vector<int>{0, -5000, 0, 2500, 5000, 10000, 15000}));
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> any(-3.0, 3.0), unit(0.0, 1.0);
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    for (int i = 0; i < 20000; ++i) {
        const double edge[] = {0.0, -0.0, 0.5 / 5000, -0.5 / 5000, -2.5 / 5000};
        const double c = i < 5 ? edge[i] : any(rng) * std::pow(10.0, i % 5 - 2);
        EXPECT_EQ(ToGrid(c), c >= 0 ? (int)(c * 5000.0 + 0.5) : (int)(c * 5000.0 - 0.5)) << c;
        const double x = any(rng), y = any(rng), z = any(rng), r = unit(rng) * 0.5 + 1e-9;
        const double u = unit(rng), v = unit(rng), L = 2.0 * r;
        const double want[6][3] = {{x - r + u * L, y - r + v * L, z - r}, {x - r + u * L, y - r, z - r + v * L},
                                   {x + r, y - r + u * L, z - r + v * L}, {x - r + u * L, y + r, z - r + v * L},
                                   {x - r, y - r + u * L, z - r + v * L}, {x - r + u * L, y - r + v * L, z + r}};
        const int f = i % 6;
        const Vector3 p = FacePoint(Cube(Vector3(x, y, z), r), f, u, v);
        ASSERT_TRUE(same(p.x, want[f][0]) && same(p.y, want[f][1]) && same(p.z, want[f][2])) << i;
    }
}

}  // namespace
