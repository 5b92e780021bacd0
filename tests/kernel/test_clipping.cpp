// Interfaces: which interface a point is on, clipping a cube to cross at
// most one, the signs and weights of the first hop, and the half-cube hop.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "kernel_support.h"

namespace {

struct Hop {
    double w;
    PointOnCube pt;
    Cube cube;
};

class ClipTest : public ::testing::Test {
protected:
    Layers base = MakeLayers();
    Randomwalk rw{0, nullptr, base, 1, 4};
    std::vector<Layer> saved = Layers::layers;

    void SetUp() override
    {
        Randomwalk::ResetTables();
        rw.rand_walk.RandomInit(777);
        // Faces at 0, 1 and 1.5: layers (-inf,0] 3.9, (0,1] 2.5, (1,1.5] 7, (1.5,inf) 4.
        Layers::layers = {{-1e100, 3.9}, {0.0, 3.9}, {1.0, 2.5}, {1.5, 7.0}, {1e100, 4.0}};
        rw.layers.cur_layer = 2;
    }
    void TearDown() override
    {
        Layers::layers = saved;
        Randomwalk::ResetTables();
    }
    int Clip(double z, double& r, bool shrink = false)
    {
        Cube cube(Vector3(0.1, 0.2, z), r);
        double lo = 0, hi = 0;
        int code = rw.ClipTransDomain(rw.layers, cube, lo, hi, shrink);
        r = cube.radius;
        return code;
    }
    Hop FirstHop(int clip, Cube cube, double lo, double hi, int id)
    {
        Hop h{0, PointOnCube(), cube};
        h.w = rw.GetClipWeightAndPoint(clip, h.cube, lo, hi, h.pt, id);
        return h;
    }
};

TEST_F(ClipTest, PointOnEitherInterface)
{
    double dl = -9, du = -9;
    EXPECT_EQ(rw.CheckInterface(rw.layers, Vector3(0, 0, 5e-13), 0.0, 1.0, dl, du), -1);
    EXPECT_TRUE(dl == 3.9 && du == 2.5);
    EXPECT_EQ(rw.CheckInterface(rw.layers, Vector3(0, 0, 1.0), 0.0, 1.0, dl, du), 1);
    EXPECT_TRUE(dl == 2.5 && du == 7.0);
    dl = du = -9;
    EXPECT_EQ(rw.CheckInterface(rw.layers, Vector3(0, 0, 0.5), 0.0, 1.0, dl, du), 0);
    EXPECT_EQ(rw.CheckInterface(rw.layers, Vector3(0, 0, 2e-12), 0.0, 1.0, dl, du), 0);
    EXPECT_EQ(dl, -9);

    EXPECT_DEATH(rw.CheckInterface(rw.layers, Vector3(0, 0, 0), 0.0, 5e-13, dl, du),
                 "int Randomwalk::CheckInterface\\(const Layers&, const Vector3&, double, double, "
                 "double&, double&\\) const: Assertion `intf == 0' failed.");
    rw.layers.cur_layer = -1;
    EXPECT_DEATH(rw.CheckInterface(rw.layers, Vector3(0, 0, 0), 0.0, 1.0, dl, du),
                 "Assertion `layers.GetDiel\\(diel_up\\) && layers.GetLowerDiel\\(diel_low\\)' failed.");
    EXPECT_DEATH(rw.CheckInterface(rw.layers, Vector3(0, 0, 1), 0.0, 1.0, dl, du),
                 "Assertion `layers.GetHigherDiel\\(diel_up\\) && layers.GetDiel\\(diel_low\\)' failed.");
}

TEST_F(ClipTest, CubesCrossAtMostOneInterface)
{
    Cube whole(Vector3(0, 0, 0.3), 0.3);
    double lo = 7, hi = 7;
    EXPECT_EQ(rw.ClipTransDomain(rw.layers, whole, lo, hi, false), 0);
    EXPECT_TRUE(lo == 0.0 && hi == 1.0 && whole.radius == 0.3);
    struct Row {
        int layer;
        double z, r;
        bool shrink;
        int code;
        double r_after;
    } rows[] = {
        {2, 0.75, 0.25, false, 0, 0.25},  // top face on the interface
        {2, 0.5, 0.6, false, -1, 0.5},    // halfway tie: bottom, pulled onto the top face
        {2, 0.5, 0.5, false, 0, 0.5},
        {2, 0.8, 0.3, false, 1, 0.3},     // crosses the top interface only
        {2, 0.8, 0.75, false, 1, 0.7},    // would reach 1.5 above before 0 below
        {2, 0.3, 0.8, false, -1, 0.7},    // the other bound is the second interface
        {2, 0.3, 0.8, true, 0, 0.3},
        {1, -5, 4.9, false, 0, 4.9},      // (-inf, 0]: never clipped at infinity
        {1, -5, 6.0, false, 1, 6.0},      // reaches 1 exactly: no shrink
        {1, -5, 1e50, false, 1, 6.0},
        {4, 3, 1e50, false, -1, 2.0},     // (1.5, inf): far face of the layer below
    };
    for (const Row& c : rows) {
        rw.layers.cur_layer = c.layer;
        double r = c.r;
        EXPECT_EQ(Clip(c.z, r, c.shrink), c.code) << "layer " << c.layer << " z " << c.z << " r " << c.r;
        EXPECT_NEAR(r, c.r_after, 1e-15) << "layer " << c.layer << " z " << c.z << " r " << c.r;
    }
}

TEST_F(ClipTest, CubeCentreOutsideItsLayerIsFatal)
{
    double r = 0.1;
    EXPECT_DEATH(Clip(-0.1, r),
                 "int Randomwalk::ClipTransDomain\\(const Layers&, Cube&, double&, double&, bool\\) "
                 "const: Assertion `d1 > -MIE' failed.");
    EXPECT_DEATH(Clip(1.5 + 1e-9, r), "Assertion `d2 > -MIE' failed.");
}

// +1 when the panel centre lies on the side of the cube's mid-plane that the
// start face's outward normal points to.
TEST(ClipSign, FollowsPanelSideOnEveryAxis)
{
    const int axis[6] = {2, 1, 0, 1, 0, 2};
    const int normal[6] = {-1, -1, 1, 1, -1, 1};
    const Cube cube(Vector3(0, 0, 0), 1.0);
    for (int segnum : {31, 32})
        for (int id = 0; id < 6; id++)
            for (int f = 0; f < 6; f++)
                for (int k = 0; k < segnum * segnum; k++) {
                    Vector3 p = Randomwalk::StructToVector3(Randomwalk::idx2pt(f, k, segnum), cube);
                    const double c = axis[id] == 0 ? p.X() : axis[id] == 1 ? p.Y() : p.Z();
                    if (std::fabs(c) < 1e-12)
                        continue;  // straddling row or column: below
                    ASSERT_EQ(Randomwalk::GetClipSign(id, f, k, segnum), normal[id] * (c > 0 ? 1 : -1))
                        << "segnum " << segnum << " id " << id << " face " << f << " index " << k;
                }
}

TEST(ClipSign, StraddlingPanels)
{
    for (int i = 0; i < 961; i++) {
        ASSERT_EQ(Randomwalk::GetClipSign(5, 5, i, 31), 1);
        ASSERT_EQ(Randomwalk::GetClipSign(0, 5, i, 31), -1);
    }
    // The centre column counts on the positive side; the centre row of a
    // side face splits at its column 15; half cubes: row 15 below, 16 above.
    const int rows[][5] = {{2, 1, 14, 31, -1},          {2, 1, 15, 31, 1},   {4, 0, 15 * 31 + 15, 31, -1},
                           {3, 2, 15, 31, 1},           {5, 2, 479, 31, -1}, {5, 2, 480, 31, 1},
                           {1, 0, 479, 31, 1},          {1, 0, 480, 31, -1}, {3, 0, 15 * 32 + 31, 32, -1},
                           {3, 5, 16 * 32, 32, 1}};
    for (const auto& c : rows)
        EXPECT_EQ(Randomwalk::GetClipSign(c[0], c[1], c[2], c[3]), c[4])
            << "id " << c[0] << " face " << c[1] << " index " << c[2] << " segnum " << c[3];
    EXPECT_DEATH(Randomwalk::GetClipSign(6, 0, 0, 31),
                 "static int Randomwalk::GetClipSign\\(int, int, int, int\\): Assertion `false' failed.");
}

// --- first hop weights -----------------------------------------------------

class FirstHopTest : public ClipTest {
protected:
    void SetUpHomogeneous()
    {
        std::vector<double> p(5766, 1.0 / 5766);
        Randomwalk::LoadPrmat(p.data(), 5766);
        for (int d = 0; d < 3; d++)
            for (int f = 0; f < 6; f++) {
                Randomwalk::cdf_single_weight[d][f].clear();
                for (int k = 0; k < 961; k++)
                    Randomwalk::cdf_single_weight[d][f].push_back((d + 1) * 0.001 * (f * 961 + k + 1));
            }
    }
    // All of direction d's importance density on face `face`, from panel `from`.
    static void DensityOn(int d, int face, int from = 0)
    {
        for (int f = 0; f < 6; f++) {
            Randomwalk::cdf_single_weight[d][f].assign(961, f < face ? 0.0 : 1.0);
            if (f == face)
                std::fill(Randomwalk::cdf_single_weight[d][f].begin(),
                          Randomwalk::cdf_single_weight[d][f].begin() + from, 0.0);
            Randomwalk::cdf_face_single_weight[d][f] = f < face ? 0.0 : 1.0;
        }
    }
};

TEST_F(FirstHopTest, HomogeneousImportanceHopUsesMagnitudeAndSide)
{
    for (int d = 0; d < 3; d++)
        DensityOn(d, 3, 300);
    Randomwalk::single_weight[1] = -0.25;
    for (int id : {1, 3}) {
        Hop h = FirstHop(0, Cube(Vector3(0, 0, 0.5), 0.2), 0.0, 1.0, id);
        EXPECT_EQ(h.pt.fno, 3);
        EXPECT_EQ(h.cube.radius, 0.2);
        // Face 3 is +y: +1 for start face 3, -1 for start face 1.
        EXPECT_DOUBLE_EQ(h.w, -(id == 3 ? 1 : -1) * 0.25 * 0.5 / 0.2);
    }
}

TEST_F(FirstHopTest, TransitionAndUniformSelectors)
{
    SetUpHomogeneous();
    for (int sel : {0, 1, 3}) {
        rw.weight_select = sel;
        Randomwalk::DivSS();
        for (int id = 0; id < 6; id++) {
            CRandomMersenne peek = rw.rand_walk;
            Hop h = FirstHop(0, Cube(Vector3(0, 0, 0.5), 0.25), 0.0, 1.0, id);
            const int drc = id == 2 || id == 4 ? 0 : id == 1 || id == 3 ? 1 : 2;
            const double S = id == 2 || id == 3 || id == 5 ? 1 : -1;
            const double u = peek.Random();
            const int n = sel == 0 ? (int)std::ceil(u * 5766) - 1 : (int)(u * 6.0 * 961.0);
            const int idx = n % 961;
            ASSERT_EQ(h.pt.fno, n / 961);
            ASSERT_EQ(h.pt.u, Randomwalk::idx2pt(n / 961, idx, 31).u);
            const double value = Randomwalk::cdf_single_weight[drc][h.pt.fno][idx];
            EXPECT_DOUBLE_EQ(h.w, S * -value * 0.5 / 0.25 * (sel == 0 ? 1.0 : 5766.0));
            EXPECT_EQ(h.pt.strata, sel == 3 ? rw.GetStrata(id, h.pt.fno, idx) : 0);
        }
    }
    rw.weight_select = 7;
    EXPECT_DEATH(FirstHop(0, Cube(Vector3(0, 0, 0.5), 0.25), 0.0, 1.0, 0),
                 "double Randomwalk::GetClipWeightAndPoint\\(int, Cube&, double, double, "
                 "PointOnCube&, int\\): Assertion `false' failed.");
}

TEST_F(FirstHopTest, EdgeLinesFallBackToHomogeneousTables)
{
    SetUpHomogeneous();
    DensityOn(2, 5);
    Randomwalk::single_weight[2] = 2.0;
    // Interface just above the bottom face (line 0) and within the top 31st.
    Hop below = FirstHop(-1, Cube(Vector3(0, 0, 0.5), 0.6), 0.5 - 0.59, 1.0, 5);
    EXPECT_NEAR(below.cube.radius, 0.59, 1e-15);
    EXPECT_DOUBLE_EQ(below.w, -2.0 * 0.5 / below.cube.radius);
    Hop above = FirstHop(1, Cube(Vector3(0, 0, 0.5), 0.6), 0.0, 0.5 + 0.595, 0);
    EXPECT_EQ(above.pt.fno, 5);
    EXPECT_DOUBLE_EQ(above.w, 2.0 * 0.5 / above.cube.radius);
}

// A cube crossed by an interface at line 10, start face 5 (+z): all the
// importance density on row 15 of face 1, whose z-weights share one sign.
class TwoMediaHopTest : public FirstHopTest {
protected:
    WeightTable table{30, 961};
    const Cube cube{Vector3(0, 0, 0), 1.0};
    const double z_line10 = -1 + 10.5 / 15.5;

    void SetUp() override
    {
        FirstHopTest::SetUp();
        std::vector<double> w(5766, 0.0);
        for (int c = 0; c < 31; c++)
            w[961 + 15 * 31 + c] = 1.0 + c;  // positive across the straddling row
        table.Fill(10, 2, w);
        table.cross[10 * 3 + 2] = -3.0;
        rw.layers.lower_wpdf_face = table.Face();
        rw.layers.lower_wpdf = table.Cdf();
        rw.layers.lower_weight_cross = table.Cross();
    }
};

TEST_F(TwoMediaHopTest, TableSignsDecideWhereGivenElseTheMidPlane)
{
    // With signs: one sign for the whole row, whichever side of the mid-plane.
    rw.layers.lower_wpdf_sign = table.Signs();
    std::set<int> columns;
    for (int i = 0; i < 200; i++) {
        Hop h = FirstHop(-1, cube, z_line10, 1.0, 5);
        ASSERT_NEAR(h.cube.radius, 10.0 / 11, 1e-15);
        ASSERT_EQ(h.pt.fno, 1);
        ASSERT_EQ((int)(h.pt.v * 31), 15);
        columns.insert((int)(h.pt.u * 31));
        ASSERT_DOUBLE_EQ(h.w, -1.0 * 3.0 * 0.5 / h.cube.radius);
    }
    EXPECT_TRUE(columns.count(3) && columns.count(25));
    // Without signs the mid-plane splits the row.
    rw.layers.lower_wpdf_sign = nullptr;
    int positive = 0, negative = 0;
    for (int i = 0; i < 200; i++) {
        Hop h = FirstHop(-1, cube, z_line10, 1.0, 5);
        ASSERT_DOUBLE_EQ(h.w, ((int)(h.pt.u * 31) < 15 ? 1 : -1) * 3.0 * 0.5 / h.cube.radius);
        (h.w > 0 ? positive : negative)++;
    }
    EXPECT_TRUE(positive > 0 && negative > 0);
}

TEST_F(TwoMediaHopTest, UpperTablesAtLinesAboveCentre)
{
    table.Fill(20, 0, OnePanel(961, 2, 500, -1.0));
    table.cross[20 * 3 + 0] = 4.0;
    rw.layers.upper_wpdf_face = table.Face();
    rw.layers.upper_wpdf = table.Cdf();
    rw.layers.upper_weight_cross = table.Cross();
    rw.layers.upper_wpdf_sign = table.Signs();
    const double z = -1 + 19.5 * 2 / 31;  // t = 19.5 -> line 20
    Hop h = FirstHop(1, cube, -1.0, z, 2);
    EXPECT_EQ(h.pt.fno, 2);
    EXPECT_NEAR(h.cube.center.z - h.cube.radius + 20 * 2 * h.cube.radius / 31, z, 1e-15);
    EXPECT_DOUBLE_EQ(h.w, -1.0 * -1.0 * 4.0 * 0.5 / h.cube.radius);
}

TEST_F(TwoMediaHopTest, TransitionAndUniformSelectorsReadValueTables)
{
    // Under selectors 0, 1 and 3 the value arrays hold per-panel weights.
    for (int f = 0; f < 6; f++)
        for (int k = 0; k < 961; k++)
            table.cdf[(10 * 3 + 1) * 6 + f][k] = 0.01 * (f + 1) + 1e-5 * k;
    TransTable trans(30, 961);
    trans.Fill(10, OnePanel(961, 4, 77));
    rw.layers.lower_psum_face = trans.Face();
    rw.layers.lower_psum = trans.Cdf();
    Randomwalk::DivSS();
    for (int sel : {0, 1, 3}) {
        rw.weight_select = sel;
        CRandomMersenne peek = rw.rand_walk;
        Hop h = FirstHop(-1, cube, z_line10, 1.0, 3);  // +y: drc 1, S = +1
        const int n = sel == 0 ? 4 * 961 + 77 : (int)(peek.Random() * 6.0 * 961.0);
        ASSERT_EQ(h.pt.fno, n / 961);
        const double value = 0.01 * (n / 961 + 1) + 1e-5 * (n % 961);
        EXPECT_DOUBLE_EQ(h.w, -value * 0.5 / h.cube.radius * (sel == 0 ? 1.0 : 5766.0)) << "selector " << sel;
        EXPECT_EQ(h.pt.strata, sel == 3 ? rw.GetStrata(3, h.pt.fno, n % 961) : 0);
    }
}

// --- half cubes ------------------------------------------------------------

TEST_F(ClipTest, HalfHopKeepsOrClearsUpper)
{
    TransTable half(1, 1024);
    rw.layers.half_psum_face = half.Face();
    rw.layers.half_psum = half.Cdf();
    const int rows[][3] = {{0, 600, 0},          {5, 3, 1},         {1, 15 * 32 + 31, 0},
                           {1, 16 * 32, 1},      {4, 15 * 32, 0},   {3, 1023, 1}};
    for (const auto& c : rows) {
        half.Fill(0, OnePanel(1024, c[0], c[1]));
        Cube cube(Vector3(0, 0, 1.0), 0.4);
        bool upper = true;
        PointOnCube pt = rw.GetPointInHalf(rw.layers, upper, 2.5, 7.0, cube, 0.25);
        const PointOnCube want = Randomwalk::idx2pt(c[0], c[1], 32);
        EXPECT_TRUE(pt.fno == want.fno && pt.u == want.u && pt.v == want.v && cube.radius == 0.25)
            << "face " << c[0] << " index " << c[1];
        EXPECT_EQ(upper, c[2] == 1) << "face " << c[0] << " index " << c[1];
    }
}

TEST_F(ClipTest, HalfDrawAboveTotalTakesLastPanel)
{
    // Cumulative total 0.5: every draw above it finds no entry of face 5.
    TransTable half(1, 1024);
    half.Fill(0, std::vector<double>(6144, 0.5 / 6144));
    rw.layers.half_psum_face = half.Face();
    rw.layers.half_psum = half.Cdf();
    int above = 0;
    for (int i = 0; i < 400; i++) {
        CRandomMersenne peek = rw.rand_walk;
        const double u = peek.Random();
        Cube cube(Vector3(0, 0, 1.0), 0.4);
        bool upper = true;
        PointOnCube pt = rw.GetPointInHalf(rw.layers, upper, 2.5, 7.0, cube, 0.4);
        if (u > 0.5) {
            above++;
            ASSERT_TRUE(pt.fno == 5 && pt.u == 63.0 / 64 && pt.v == 63.0 / 64) << "draw " << u;
        } else {
            const int idx = (int)(pt.v * 32) * 32 + (int)(pt.u * 32);
            ASSERT_EQ(pt.fno * 1024 + idx, (int)std::ceil(u * 2 * 6144) - 1);
        }
    }
    EXPECT_GT(above, 100);
}

TEST_F(ClipTest, HalfFirstHopKeepsStoredCrossSign)
{
    WeightTable half(1, 1024);
    half.Fill(0, 1, OnePanel(1024, 0, 100));  // face 0, row 3: y below the mid-plane
    half.cross[1] = -0.75;
    rw.layers.half_wpdf_face = half.Face();
    rw.layers.half_wpdf = half.Cdf();
    rw.layers.half_weight_cross = half.Cross();
    for (int id : {1, 3}) {
        Cube cube(Vector3(0, 0, 1.0), 0.5);
        PointOnCube pt;
        double w = rw.GetClipHalfWeightAndPoint(0, cube, 0, 0, pt, id);
        EXPECT_EQ(pt.fno, 0);
        EXPECT_DOUBLE_EQ(w, -(id == 1 ? 1 : -1) * -0.75 * 0.5 / 0.5);
    }
}

}  // namespace
