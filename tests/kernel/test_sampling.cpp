// Drawing points on a transition cube: panel probabilities and the snapping
// of an interface onto a grid line.
#include <gtest/gtest.h>

#include <vector>

#include "layers.h"
#include "randomwalk.h"

namespace {

class SamplingTest : public ::testing::Test {
protected:
    static Layers OneMedium()
    {
        static Cuboid block(0, -1, -1, 0, 1, 1, 1);
        static Medium medium(&block, 1.0);
        std::vector<Medium*> media{&medium};
        return Layers(media);
    }
    Layers base = OneMedium();
    Randomwalk rw{0, nullptr, base, 1, 4};

    void SetUp() override
    {
        Randomwalk::ResetTables();
        rw.rand_walk.RandomInit(12345);
    }
    void TearDown() override
    {
        Randomwalk::ResetTables();
        Layers::ResetAll();
    }
};

TEST_F(SamplingTest, DrawsPanelsWithTabulatedProbabilities)
{
    std::vector<double> p(5766);
    double total = 0;
    for (int i = 0; i < 5766; i++)
        total += p[i] = 1 + (i * 13) % 7;
    for (double& x : p)
        x /= total;
    Randomwalk::LoadPrmat(p.data(), 5766);

    const int draws = 400000;
    std::vector<int> count(5766, 0);
    Cube cube(Vector3(0, 0, 0), 1.0);
    for (int i = 0; i < draws; i++) {
        PointOnCube pt = rw.GetPoint(0, cube, -1e100, 1e100);
        count[pt.fno * 961 + (int)(pt.v * 31) * 31 + (int)(pt.u * 31)]++;
    }
    double chi2 = 0;
    for (int i = 0; i < 5766; i++) {
        const double e = draws * p[i];
        chi2 += (count[i] - e) * (count[i] - e) / e;
    }
    // 5765 degrees of freedom: sd ~107; 6 sd either side of the mean.
    EXPECT_LT(chi2, 5765 + 6 * 107.4);
    EXPECT_GT(chi2, 5765 - 6 * 107.4);
}

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
                 {16.0, false, 17}, {28.1, false, 29}, {29.6, false, 30}, {30.3, false, 31}, {31.0, false, 31}};
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
