#include "geometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(GridTest, RoundsHalvesAwayFromZero)
{
    EXPECT_EQ(ToGrid(0.0001), 1);
    EXPECT_EQ(ToGrid(-0.0001), -1);
    EXPECT_EQ(ToGrid(0.00009), 0);
    EXPECT_EQ(ToGrid(-0.00009), 0);
    EXPECT_EQ(ToGrid(0.0), 0);
    EXPECT_EQ(ToGrid(1.0), GRID_SCALE);
    EXPECT_EQ(ToGrid(-2.5), -12500);
    EXPECT_EQ(ToGrid(0.00029), 1);
    EXPECT_EQ(ToGrid(0.00031), 2);
}

TEST(GridTest, VectorsAndBoxesConvertPerCoordinate)
{
    BaseVector3<int> p = ToGrid(Vector3(0.0001, -0.0001, 1.2));
    EXPECT_EQ(p.X(), 1);
    EXPECT_EQ(p.Y(), -1);
    EXPECT_EQ(p.Z(), 6000);
    BaseCuboid<int> b = ToGrid(Cuboid(7, -1, 0, 0.5, 1, 2, 3.00001));
    EXPECT_EQ(b.id, 0);
    EXPECT_EQ(b.x0, -5000);
    EXPECT_EQ(b.y0, 0);
    EXPECT_EQ(b.z0, 2500);
    EXPECT_EQ(b.x1, 5000);
    EXPECT_EQ(b.y1, 10000);
    EXPECT_EQ(b.z1, 15000);
}

void ExpectPoint(const Vector3& p, double x, double y, double z)
{
    EXPECT_DOUBLE_EQ(p.x, x);
    EXPECT_DOUBLE_EQ(p.y, y);
    EXPECT_DOUBLE_EQ(p.z, z);
}

TEST(FaceTest, FramesOfTheSixFaces)
{
    Cube c(Vector3(10, 20, 30), 2);  // spans 8..12, 18..22, 28..32
    // (u, v) = (0.25, 0.75): u and v run along the axes of each face's frame.
    ExpectPoint(FacePoint(c, 0, 0.25, 0.75), 9, 21, 28);
    ExpectPoint(FacePoint(c, 1, 0.25, 0.75), 9, 18, 31);
    ExpectPoint(FacePoint(c, 2, 0.25, 0.75), 12, 19, 31);
    ExpectPoint(FacePoint(c, 3, 0.25, 0.75), 9, 22, 31);
    ExpectPoint(FacePoint(c, 4, 0.25, 0.75), 8, 19, 31);
    ExpectPoint(FacePoint(c, 5, 0.25, 0.75), 9, 21, 32);
    // Face 2 is +x: its origin corner is (cx + r, cy - r, cz - r).
    ExpectPoint(FacePoint(c, 2, 0, 0), 12, 18, 28);
    ExpectPoint(FacePoint(c, 4, 0, 0), 8, 18, 28);
}

TEST(FaceTest, OppositeFacesShareTheirFrame)
{
    Cube c(Vector3(1, 2, 3), 0.5);
    // Opposite face and the axis (0 x, 1 y, 2 z) that separates them.
    const int opposite[6] = {5, 3, 4, 1, 2, 0};
    const int axis[6] = {2, 1, 0, 1, 0, 2};
    for (int f = 0; f < 6; ++f) {
        Vector3 a = FacePoint(c, f, 0.3, 0.6), b = FacePoint(c, opposite[f], 0.3, 0.6);
        double da[3] = {a.x, a.y, a.z}, db[3] = {b.x, b.y, b.z};
        for (int k = 0; k < 3; ++k) {
            if (k == axis[f])
                EXPECT_DOUBLE_EQ(std::fabs(da[k] - db[k]), 2 * c.radius) << f;
            else
                EXPECT_DOUBLE_EQ(da[k], db[k]) << f << " " << k;
        }
    }
}

TEST(FaceTest, ZeroRadiusCubeIsItsCentre)
{
    Cube c(Vector3(1, -2, 3), 0);
    for (int f = 0; f < 6; ++f)
        ExpectPoint(FacePoint(c, f, 0.7, 0.2), 1, -2, 3);
}

}  // namespace
