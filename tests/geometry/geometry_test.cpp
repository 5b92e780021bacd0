#include "geometry.h"

#include <gtest/gtest.h>

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

TEST(FaceTest, OppositeFacesMirrorEachOther)
{
    Cube c(Vector3(1, 2, 3), 0.5);
    const int opposite[6] = {5, 3, 4, 1, 2, 0};
    for (int f = 0; f < 6; ++f) {
        Vector3 a = FacePoint(c, f, 0.3, 0.6), b = FacePoint(c, opposite[f], 0.3, 0.6);
        EXPECT_DOUBLE_EQ(a.x + b.x, 2 * c.center.x * (f == 2 || f == 4) + 2 * a.x * !(f == 2 || f == 4))
            << f;
        EXPECT_DOUBLE_EQ(a.y + b.y, 2 * c.center.y * (f == 1 || f == 3) + 2 * a.y * !(f == 1 || f == 3))
            << f;
        EXPECT_DOUBLE_EQ(a.z + b.z, 2 * c.center.z * (f == 0 || f == 5) + 2 * a.z * !(f == 0 || f == 5))
            << f;
    }
}

TEST(FaceTest, ZeroRadiusCubeIsItsCentre)
{
    Cube c(Vector3(1, -2, 3), 0);
    for (int f = 0; f < 6; ++f)
        ExpectPoint(FacePoint(c, f, 0.7, 0.2), 1, -2, 3);
}

}  // namespace
