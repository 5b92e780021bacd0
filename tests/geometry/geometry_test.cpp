#include "geometry.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Geometry, GridRoundsHalvesAwayFromZeroAndFacesHaveTheirFrames)
{
    const double in[] = {0.0001, -0.0001, 0.00009, -0.00009, 0.0, 1.0, -2.5, 0.00029, 0.00031};
    const int out[] = {1, -1, 0, 0, 0, GRID_SCALE, -12500, 1, 2};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(ToGrid(in[i]), out[i]) << in[i];
    BaseCuboid<int> b = ToGrid(Cuboid(7, -1, 0, 0.5, 1, 2, 3.00001));
    EXPECT_EQ((std::vector<int>{b.id, b.x0, b.y0, b.z0, b.x1, b.y1, b.z1}),
              (std::vector<int>{0, -5000, 0, 2500, 5000, 10000, 15000}));

    // (u, v) run along the axes of each face's frame from its origin corner.
    Cube c(Vector3(10, 20, 30), 2);  // spans 8..12, 18..22, 28..32
    const double at[6][3] = {{9, 21, 28}, {9, 18, 31}, {12, 19, 31}, {9, 22, 31}, {8, 19, 31}, {9, 21, 32}};
    for (int f = 0; f < 6; ++f) {
        Vector3 p = FacePoint(c, f, 0.25, 0.75);
        EXPECT_EQ((std::vector<double>{p.x, p.y, p.z}), (std::vector<double>(at[f], at[f] + 3))) << "face " << f;
    }
}

}  // namespace
