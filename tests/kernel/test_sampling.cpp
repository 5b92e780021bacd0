// Clipping a transition cube at an interface.
#include <gtest/gtest.h>

#include <vector>

#include "randomwalk.h"

namespace {

// An interface at fractional grid position t (in 31sts of the side from the
// bottom) of a cube of centre 0.3 and radius 0.8: the cube shrinks so that
// the interface lies exactly on the returned line.
TEST(CalcPos, SnapsInterfaceOntoGridLine)
{
    const struct {
        double t;
        bool lower;
        int line;
    } cases[] = {{0.4, true, 0},    {0.999, true, 0},  {7.5, true, 7},    {15.2, true, 15}, {15.7, false, 16},
                 {16.0, false, 17}, {28.1, false, 29}, {29.6, false, 31}, {30.3, false, 31}, {31.0, false, 31}};
    for (const auto& c : cases) {
        Cube cube(Vector3(-2, 5, 0.3), 0.8);
        const double z = 0.3 - 0.8 + c.t * 1.6 / 31;
        ASSERT_EQ(CalcPos(z, cube, c.lower), c.line) << "t " << c.t;
        const double r = cube.radius;
        EXPECT_TRUE(c.t == 31.0 ? r == 0.8 : r <= 0.8) << "t " << c.t;
        EXPECT_NEAR(0.3 - r + c.line * 2 * r / 31, z, 1e-14) << "t " << c.t;
        EXPECT_EQ(cube.center.z, 0.3);
    }
}

}  // namespace
