// Drawing points on a transition cube: panel search, panel centres, the
// snapping of an interface onto a grid line, and the strata.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernel_support.h"

namespace {

class SamplingTest : public ::testing::Test {
protected:
    Layers base = MakeLayers();
    Randomwalk rw{0, nullptr, base, 1, 4};

    void SetUp() override
    {
        Randomwalk::ResetTables();
        rw.rand_walk.RandomInit(12345);
    }
    void TearDown() override { Randomwalk::ResetTables(); }

    // Homogeneous table from the cumulative values of all 5766 panels.
    static void SetHomogeneous(const std::vector<double>& c)
    {
        for (int f = 0; f < 6; f++) {
            Randomwalk::partial_sum_arr[f].assign(c.begin() + f * 961, c.begin() + (f + 1) * 961);
            Randomwalk::partial_face_sum_arr[f] = c[f * 961 + 960];
        }
    }
    // Cumulative values rising linearly to r at position g, then to 1.
    static std::vector<double> ThroughAt(int g, double r)
    {
        std::vector<double> c(5766);
        for (int i = 0; i <= g; i++)
            c[i] = r * (i + 1) / (g + 1);
        for (int i = g + 1; i < 5766; i++)
            c[i] = r + (1 - r) * (i - g) / (5765 - g);
        c[g] = r;
        return c;
    }
    double PeekRandom() const
    {
        CRandomMersenne copy = rw.rand_walk;
        return copy.Random();
    }
    // Draws against the reference: first face whose sum reaches the draw,
    // then std::lower_bound in it; draws that find no panel are skipped.
    void ExpectReferenceSearch(double* face, std::vector<double>* panel)
    {
        for (int i = 0; i < 20000; i++) {
            const double r = PeekRandom();
            int f = 0;
            while (f < 5 && face[f] < r)
                f++;
            const int want = (int)(std::lower_bound(panel[f].begin(), panel[f].end(), r) - panel[f].begin());
            if (want >= 961) {
                rw.rand_walk.Random();
                continue;
            }
            PointOnCube pt;
            ASSERT_EQ(rw.GetPointByWeight(pt, face, panel, 31), want) << "draw " << r;
            ASSERT_EQ(pt.fno, f) << "draw " << r;
        }
    }
};

TEST_F(SamplingTest, ExactDrawsPickTheEarliestEntry)
{
    // A draw equal to a face total picks that face's last panel.
    SetHomogeneous(ThroughAt(2 * 961 + 960, PeekRandom()));
    Cube cube(Vector3(0, 0, 0), 1.0);
    PointOnCube pt = rw.GetPoint(0, cube, -1e100, 1e100);
    EXPECT_EQ(pt.fno, 2);
    EXPECT_DOUBLE_EQ(pt.u, 61.0 / 62);
    EXPECT_DOUBLE_EQ(pt.v, 61.0 / 62);
    // Tied entries resolve to the first of them.
    const double r = PeekRandom();
    std::vector<double> c = ThroughAt(3 * 961 + 100, r);
    c[3 * 961 + 101] = r;
    SetHomogeneous(c);
    EXPECT_EQ(rw.GetPointByWeight(pt, Randomwalk::partial_face_sum_arr, Randomwalk::partial_sum_arr, 31), 100);
    EXPECT_EQ(pt.fno, 3);
    EXPECT_EQ(pt.strata, 0);
}

TEST_F(SamplingTest, PanelSearchAgreesWithLowerBoundOnTiedTables)
{
    // Cumulative values on a coarse grid: long runs of equal entries.
    std::vector<double> c(5766);
    CRandomMersenne g(3);
    double acc = 0;
    for (int i = 0; i < 5766; i++)
        c[i] = acc = std::min(1.0, acc + (g.IRandomX(0, 3) == 0 ? 1.0 / 1024 : 0.0));
    c.back() = 1.0;
    SetHomogeneous(c);
    ExpectReferenceSearch(Randomwalk::partial_face_sum_arr, Randomwalk::partial_sum_arr);
}

TEST_F(SamplingTest, SignedSingleDensityIsSearchedByStandardBisection)
{
    // Negative entries give a cumulative table that falls in places.
    std::vector<double> w(3 * 5766), gft(5766, 1.0 / 5766);
    CRandomMersenne g(11);
    for (int d = 0; d < 3; d++) {
        double total = 0;
        for (int i = 0; i < 5766; i++)
            total += w[d * 5766 + i] = g.Random() - 0.4;
        for (int i = 0; i < 5766; i++)
            w[d * 5766 + i] /= total;
    }
    Randomwalk::RegisterSingleWeight(w.data(), gft.data(), 3, 6, 31, 4);
    ExpectReferenceSearch(Randomwalk::cdf_face_single_weight[1], Randomwalk::cdf_single_weight[1]);
}

TEST_F(SamplingTest, PanelCentresAndBadPanels)
{
    struct Row {
        int fno, index, segnum;
        double u, v;
    } rows[] = {{1, 31 * 4 + 7, 31, 7.5 / 31, 4.5 / 31},  // row 4, column 7
                {5, 1023, 32, 63.0 / 64, 63.0 / 64}};
    for (const Row& c : rows) {
        PointOnCube p = Randomwalk::idx2pt(c.fno, c.index, c.segnum);
        EXPECT_EQ(p.fno, c.fno);
        EXPECT_DOUBLE_EQ(p.u, c.u) << "index " << c.index;
        EXPECT_DOUBLE_EQ(p.v, c.v) << "index " << c.index;
    }
    EXPECT_DEATH(Randomwalk::idx2pt(0, 961, 31),
                 "src/randomwalk:[0-9]+: static PointOnCube Randomwalk::idx2pt\\(int, int, int\\): "
                 "Assertion `0 <= index && index < segnum \\* segnum' failed.");
    EXPECT_DEATH(Randomwalk::idx2pt(6, 0, 31), "Assertion `0 <= fno && fno <= 5' failed.");
    // A table whose last entry falls short of the draw finds no panel.
    SetHomogeneous(std::vector<double>(5766, 1e-9));
    Randomwalk::partial_face_sum_arr[0] = 1.0;
    Cube cube(Vector3(0, 0, 0), 1.0);
    EXPECT_DEATH(rw.GetPoint(0, cube, 0, 0), "Assertion `0 <= index && index < segnum \\* segnum' failed.");
}

TEST(FacePoints, AllSixFaces)
{
    const Cube cube(Vector3(1, 2, 3), 0.5);
    const double expect[6][3] = {{0.75, 2.25, 2.5}, {0.75, 1.5, 3.25}, {1.5, 1.75, 3.25},
                                 {0.75, 2.5, 3.25}, {0.5, 1.75, 3.25}, {0.75, 2.25, 3.5}};
    for (int f = 0; f < 6; f++) {
        Vector3 p = Randomwalk::StructToVector3(PointOnCube(f, 0.25, 0.75, 0), cube);
        EXPECT_TRUE(p.X() == expect[f][0] && p.Y() == expect[f][1] && p.Z() == expect[f][2])
            << "face " << f << ": " << p.X() << " " << p.Y() << " " << p.Z();
    }
    EXPECT_DEATH(Randomwalk::StructToVector3(PointOnCube(6, 0.5, 0.5, 0), cube),
                 "src/randomwalk:[0-9]+: static const Vector3 Randomwalk::StructToVector3\\(const "
                 "PointOnCube&, const Cu&\\) \\[with Cu = BaseCube<double>; Vector3 = "
                 "BaseVector3<double>\\]: Assertion `false' failed.");
}

// Interface at fractional grid position t (in 31sts of the side from the
// bottom) of a cube of centre 0.3 and radius 0.8.
double AtLine(double t) { return 0.3 - 0.8 + t * 1.6 / 31; }

TEST(CalcPos, SnapsInterfaceOntoGridLine)
{
    struct Case {
        double t;
        bool lower;
        int line;
    } cases[] = {{0.4, true, 0},    {0.999, true, 0},  {7.5, true, 7},     {15.2, true, 15},
                 {15.7, false, 16}, {16.0, false, 17}, {28.1, false, 29},  {29.6, false, 31},
                 {30.3, false, 31}, {31.0, false, 31}};
    for (const Case& c : cases) {
        Cube cube(Vector3(-2, 5, 0.3), 0.8);
        const double z = AtLine(c.t);
        ASSERT_EQ(CalcPos(z, cube, c.lower), c.line) << "t " << c.t;
        const double r = cube.radius;
        EXPECT_TRUE(c.t == 31.0 ? r == 0.8 : r <= 0.8) << "t " << c.t;
        // The interface now lies exactly on the returned line of the shrunk cube.
        EXPECT_NEAR(0.3 - r + c.line * 2 * r / 31, z, 1e-14) << "t " << c.t;
        EXPECT_EQ(cube.center.z, 0.3);
    }
    Cube cube(Vector3(0, 0, 0.3), 0.8);
    EXPECT_DEATH(CalcPos(AtLine(16.0), cube, true),
                 "src/randomwalk:[0-9]+: int CalcPos\\(double, Cube&, bool\\): Assertion `ret <= "
                 "CI_CUT_NUMX / 2' failed.");
    EXPECT_DEATH(CalcPos(AtLine(14.9), cube, false), "Assertion `ret >= CI_CUT_NUMX / 2' failed.");
}

TEST_F(SamplingTest, InterfaceLinesSelectTables)
{
    TransTable lower(30, 961), upper(30, 961);
    for (int k = 1; k < 30; k++) {
        lower.Fill(k, OnePanel(961, k % 6, 10 * k));
        upper.Fill(k, OnePanel(961, (k + 1) % 6, 20 * k));
    }
    rw.layers.lower_psum_face = lower.Face();
    rw.layers.lower_psum = lower.Cdf();
    rw.layers.upper_psum_face = upper.Face();
    rw.layers.upper_psum = upper.Cdf();
    // Homogeneous table: everything on panel 5 of face 4.
    std::vector<double> c(5766, 0.0);
    std::fill(c.begin() + 4 * 961 + 5, c.end(), 1.0);
    SetHomogeneous(c);

    for (double t : {0.5, 3.2, 15.9, 16.5, 29.0, 29.5, 30.5}) {
        Cube cube(Vector3(0, 0, 0.3), 0.8);
        const bool below = t < 15.5;
        PointOnCube pt = rw.GetPoint(below ? -1 : 1, cube, AtLine(t), AtLine(t));
        const int k = below ? (int)t : (int)t + 1;
        PointOnCube want = k == 0 || k > 29 ? Randomwalk::idx2pt(4, 5, 31)
                           : below          ? Randomwalk::idx2pt(k % 6, 10 * k, 31)
                                            : Randomwalk::idx2pt((k + 1) % 6, 20 * k, 31);
        EXPECT_TRUE(pt.fno == want.fno && pt.u == want.u && pt.v == want.v) << "t " << t;
        EXPECT_LT(cube.radius, 0.8);
    }
}

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

TEST_F(SamplingTest, StrataCountsMatchPortionsForEveryStartFace)
{
    Randomwalk::DivSS();
    EXPECT_EQ(Randomwalk::div_portion,
              (std::vector<int>{49, 72, 104, 136, 168, 200, 232, 49, 72, 104, 136, 168, 200, 232,
                                1860, 124, 1860}));
    const int quoted[][4] = {{0, 5, 480, 0}, {0, 0, 0, 13}, {4, 5, 16, 14}, {4, 5, 14, 16}, {4, 5, 15, 15}};
    for (const auto& q : quoted)
        EXPECT_EQ(rw.GetStrata(q[0], q[1], q[2]), q[3]) << "id " << q[0] << " face " << q[1] << " index " << q[2];
    EXPECT_EQ(rw.FindOnSideFace(0, 1, 3), -1);
    EXPECT_EQ(rw.FindOnSideFace(0, 9, 0), -1);
    for (int id = 0; id < 6; id++) {
        std::vector<int> count(17, 0);
        for (int f = 0; f < 6; f++)
            for (int k = 0; k < 961; k++) {
                const int s = rw.GetStrata(id, f, k);
                ASSERT_TRUE(s >= 0 && s <= 16) << s;
                count[s]++;
            }
        EXPECT_EQ(count, Randomwalk::div_portion) << "id_gss " << id;
    }
    EXPECT_DEATH(rw.GetStrata(6, 0, 0),
                 "int Randomwalk::GetStrata\\(int, int, int\\): Assertion `strata !=-1' failed.");
}

TEST_F(SamplingTest, SideStratumZeroFacesTheGaussianBox)
{
    // Stratum 14 panels must lie on the side of the cube's centre that the
    // top face T is on, in space.
    Randomwalk::DivSS();
    const int top[6] = {5, 3, 4, 1, 2, 0};
    const Cube cube(Vector3(0, 0, 0), 1.0);
    for (int id = 0; id < 6; id++) {
        Vector3 t = Randomwalk::StructToVector3(PointOnCube(top[id], 0.5, 0.5, 0), cube);
        for (int f = 0; f < 6; f++)
            for (int k = 0; k < 961; k++) {
                if (rw.GetStrata(id, f, k) != 14)
                    continue;
                Vector3 p = Randomwalk::StructToVector3(Randomwalk::idx2pt(f, k, 31), cube);
                ASSERT_GT(p.X() * t.X() + p.Y() * t.Y() + p.Z() * t.Z(), 0.0)
                    << "id " << id << " face " << f << " index " << k;
            }
    }
}

}  // namespace
