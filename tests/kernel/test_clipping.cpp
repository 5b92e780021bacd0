// Interfaces: which interface a point is on, clipping a cube to cross at
// most one, the signs and weights of the first hop, and the half-cube hop.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "kernel_support.h"

namespace {

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
};

TEST_F(ClipTest, PointOnEitherInterface)
{
    double dl = -9, du = -9;
    EXPECT_EQ(rw.CheckInterface(rw.layers, Vector3(0, 0, 5e-13), 0.0, 1.0, dl, du), -1);
    EXPECT_EQ(dl, 3.9);
    EXPECT_EQ(du, 2.5);
    EXPECT_EQ(rw.CheckInterface(rw.layers, Vector3(0, 0, 1.0), 0.0, 1.0, dl, du), 1);
    EXPECT_EQ(dl, 2.5);
    EXPECT_EQ(du, 7.0);
    dl = du = -9;
    EXPECT_EQ(rw.CheckInterface(rw.layers, Vector3(0, 0, 0.5), 0.0, 1.0, dl, du), 0);
    EXPECT_EQ(rw.CheckInterface(rw.layers, Vector3(0, 0, 2e-12), 0.0, 1.0, dl, du), 0);
    EXPECT_EQ(dl, -9);
}

TEST_F(ClipTest, CheckInterfaceFailures)
{
    double dl, du;
    EXPECT_DEATH(rw.CheckInterface(rw.layers, Vector3(0, 0, 0), 0.0, 5e-13, dl, du),
                 "int Randomwalk::CheckInterface\\(const Layers&, const Vector3&, double, double, "
                 "double&, double&\\) const: Assertion `intf == 0' failed.");
    rw.layers.cur_layer = -1;
    EXPECT_DEATH(rw.CheckInterface(rw.layers, Vector3(0, 0, 0), 0.0, 1.0, dl, du),
                 "Assertion `layers.GetDiel\\(diel_up\\) && layers.GetLowerDiel\\(diel_low\\)' failed.");
    EXPECT_DEATH(rw.CheckInterface(rw.layers, Vector3(0, 0, 1), 0.0, 1.0, dl, du),
                 "Assertion `layers.GetHigherDiel\\(diel_up\\) && layers.GetDiel\\(diel_low\\)' failed.");
}

TEST_F(ClipTest, CubeInsideOrTouchingStaysWhole)
{
    Cube cube(Vector3(0, 0, 0.3), 0.3);
    double lo = 7, hi = 7;
    EXPECT_EQ(rw.ClipTransDomain(rw.layers, cube, lo, hi, false), 0);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(hi, 1.0);
    EXPECT_EQ(cube.radius, 0.3);  // interface on the bottom face
    double r = 0.25;
    EXPECT_EQ(Clip(0.75, r), 0);  // top face on the interface
    EXPECT_EQ(r, 0.25);
}

TEST_F(ClipTest, HalfwayTieClipsAgainstBottom)
{
    double r = 0.6;
    EXPECT_EQ(Clip(0.5, r), -1);
    EXPECT_EQ(r, 0.5);  // the top interface is the second one: pulled onto the top face
    r = 0.5;
    EXPECT_EQ(Clip(0.5, r), 0);
}

TEST_F(ClipTest, SecondInterfaceShrinksCube)
{
    double r = 0.3;  // crosses the top interface only
    EXPECT_EQ(Clip(0.8, r), 1);
    EXPECT_EQ(r, 0.3);
    r = 0.75;  // would reach the top of the layer above (1.5) before the bottom (0)
    EXPECT_EQ(Clip(0.8, r), 1);
    EXPECT_NEAR(r, 0.7, 1e-15);
    r = 0.8;  // the current layer's other bound is the second interface
    EXPECT_EQ(Clip(0.3, r), -1);
    EXPECT_NEAR(r, 0.7, 1e-15);
    r = 0.8;
    EXPECT_EQ(Clip(0.3, r, true), 0);
    EXPECT_NEAR(r, 0.3, 1e-15);
}

TEST_F(ClipTest, UnboundedLayersNeverClipAtInfinity)
{
    rw.layers.cur_layer = 1;  // (-inf, 0]
    double r = 4.9;
    EXPECT_EQ(Clip(-5, r), 0);
    r = 6.0;  // crosses 0, reaches 1 exactly: no shrink
    EXPECT_EQ(Clip(-5, r), 1);
    EXPECT_EQ(r, 6.0);
    r = 1e50;
    EXPECT_EQ(Clip(-5, r), 1);
    EXPECT_EQ(r, 6.0);
    rw.layers.cur_layer = 4;  // (1.5, inf): no layer above
    r = 1e50;
    EXPECT_EQ(Clip(3, r), -1);
    EXPECT_EQ(r, 2.0);  // far face of the layer below at 1.0
}

TEST_F(ClipTest, CubeCentreOutsideItsLayerIsFatal)
{
    double r = 0.1;
    EXPECT_DEATH(Clip(-0.1, r),
                 "int Randomwalk::ClipTransDomain\\(const Layers&, Cube&, double&, double&, bool\\) "
                 "const: Assertion `d1 > -MIE' failed.");
    EXPECT_DEATH(Clip(1.1, r), "Assertion `d2 > -MIE' failed.");
    EXPECT_DEATH(Clip(1.5 + 1e-9, r), "Assertion `d2 > -MIE' failed.");
}

// GetClipSign against the geometry: +1 when the panel centre lies on the
// side of the cube's mid-plane that the start face's outward normal points to.
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

TEST(ClipSign, StraddlingPanelsAndQuotedCases)
{
    for (int i = 0; i < 961; i++) {
        EXPECT_EQ(Randomwalk::GetClipSign(5, 5, i, 31), 1);
        EXPECT_EQ(Randomwalk::GetClipSign(0, 5, i, 31), -1);
    }
    EXPECT_EQ(Randomwalk::GetClipSign(2, 1, 14, 31), -1);
    EXPECT_EQ(Randomwalk::GetClipSign(2, 1, 15, 31), 1);
    // Centre column counts on the positive side; the centre row of a side
    // face splits at its column 15.
    EXPECT_EQ(Randomwalk::GetClipSign(4, 0, 15 * 31 + 15, 31), -1);
    EXPECT_EQ(Randomwalk::GetClipSign(3, 2, 15, 31), 1);
    EXPECT_EQ(Randomwalk::GetClipSign(5, 2, 479, 31), -1);
    EXPECT_EQ(Randomwalk::GetClipSign(5, 2, 480, 31), 1);
    EXPECT_EQ(Randomwalk::GetClipSign(1, 0, 479, 31), 1);
    EXPECT_EQ(Randomwalk::GetClipSign(1, 0, 480, 31), -1);
    // Half cubes: row 15 below the mid-plane, row 16 above.
    EXPECT_EQ(Randomwalk::GetClipSign(3, 0, 15 * 32 + 31, 32), -1);
    EXPECT_EQ(Randomwalk::GetClipSign(3, 5, 16 * 32, 32), 1);
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
};

TEST_F(FirstHopTest, HomogeneousImportanceHopUsesMagnitudeAndSide)
{
    // All density on panel 300 of face 3.
    for (int d = 0; d < 3; d++)
        for (int f = 0; f < 6; f++) {
            Randomwalk::cdf_single_weight[d][f].assign(961, f < 3 ? 0.0 : 1.0);
            if (f == 3)
                std::fill(Randomwalk::cdf_single_weight[d][f].begin(),
                          Randomwalk::cdf_single_weight[d][f].begin() + 300, 0.0);
            Randomwalk::cdf_face_single_weight[d][f] = f < 3 ? 0.0 : 1.0;
        }
    Randomwalk::single_weight[1] = -0.25;
    for (int id : {1, 3}) {
        Cube cube(Vector3(0, 0, 0.5), 0.2);
        PointOnCube pt;
        double w = rw.GetClipWeightAndPoint(0, cube, 0.0, 1.0, pt, id);
        EXPECT_EQ(pt.fno, 3);
        EXPECT_EQ(cube.radius, 0.2);
        // Face 3 is +y: +1 for start face 3, -1 for start face 1.
        EXPECT_DOUBLE_EQ(w, -(id == 3 ? 1 : -1) * 0.25 * 0.5 / 0.2);
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
            Cube cube(Vector3(0, 0, 0.5), 0.25);
            PointOnCube pt;
            double w = rw.GetClipWeightAndPoint(0, cube, 0.0, 1.0, pt, id);
            const int drc = id == 2 || id == 4 ? 0 : id == 1 || id == 3 ? 1 : 2;
            const double S = id == 2 || id == 3 || id == 5 ? 1 : -1;
            const double u = peek.Random();
            int n = sel == 0 ? (int)std::ceil(u * 5766) - 1 : (int)(u * 6.0 * 961.0);
            const int idx = n % 961;
            ASSERT_EQ(pt.fno, n / 961);
            ASSERT_EQ(pt.u, Randomwalk::idx2pt(n / 961, idx, 31).u);
            const double value = Randomwalk::cdf_single_weight[drc][pt.fno][idx];
            if (sel == 0)
                EXPECT_DOUBLE_EQ(w, S * -value * 0.5 / 0.25);
            else
                EXPECT_DOUBLE_EQ(w, S * -value * 0.5 / 0.25 * 5766.0);
            EXPECT_EQ(pt.strata, sel == 3 ? rw.GetStrata(id, pt.fno, idx) : 0);
        }
    }
}

TEST_F(FirstHopTest, WrongSelectorIsFatal)
{
    SetUpHomogeneous();
    rw.weight_select = 7;
    Cube cube(Vector3(0, 0, 0.5), 0.25);
    PointOnCube pt;
    EXPECT_DEATH(rw.GetClipWeightAndPoint(0, cube, 0.0, 1.0, pt, 0),
                 "double Randomwalk::GetClipWeightAndPoint\\(int, Cube&, double, double, "
                 "PointOnCube&, int\\): Assertion `false' failed.");
}

TEST_F(FirstHopTest, EdgeLinesFallBackToHomogeneousTables)
{
    SetUpHomogeneous();
    for (int f = 0; f < 6; f++) {
        Randomwalk::cdf_single_weight[2][f].assign(961, f < 5 ? 0.0 : 1.0);
        Randomwalk::cdf_face_single_weight[2][f] = f < 5 ? 0.0 : 1.0;
    }
    Randomwalk::single_weight[2] = 2.0;
    // Interface just above the bottom face (line 0) and within the top 31st.
    Cube below(Vector3(0, 0, 0.5), 0.6);
    PointOnCube pt;
    double w = rw.GetClipWeightAndPoint(-1, below, 0.5 - 0.59, 1.0, pt, 5);
    EXPECT_NEAR(below.radius, 0.59, 1e-15);
    EXPECT_DOUBLE_EQ(w, -2.0 * 0.5 / below.radius);
    Cube above(Vector3(0, 0, 0.5), 0.6);
    w = rw.GetClipWeightAndPoint(1, above, 0.0, 0.5 + 0.595, pt, 0);
    EXPECT_EQ(pt.fno, 5);
    EXPECT_DOUBLE_EQ(w, 2.0 * 0.5 / above.radius);
}

// A cube crossed by an interface at line 10, start face 5 (+z): all the
// importance density on row 15 of face 1, whose z-weights share one sign.
class TwoMediaHopTest : public FirstHopTest {
protected:
    WeightTable table{30, 961};
    Cube cube{Vector3(0, 0, 0), 1.0};
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

TEST_F(TwoMediaHopTest, PanelSignDecidesAcrossMidPlane)
{
    rw.layers.lower_wpdf_sign = table.Signs();
    std::set<int> columns;
    for (int i = 0; i < 200; i++) {
        Cube c = cube;
        PointOnCube pt;
        double w = rw.GetClipWeightAndPoint(-1, c, z_line10, 1.0, pt, 5);
        ASSERT_NEAR(c.radius, 10.0 / 11, 1e-15);
        ASSERT_EQ(pt.fno, 1);
        ASSERT_EQ((int)(pt.v * 31), 15);
        columns.insert((int)(pt.u * 31));
        // One sign for the whole row, whichever side of the mid-plane.
        ASSERT_DOUBLE_EQ(w, -1.0 * 3.0 * 0.5 / c.radius);
    }
    EXPECT_TRUE(columns.count(3) && columns.count(25));
}

TEST_F(TwoMediaHopTest, TableSignAgreesWithMidPlaneWhereGeometryDoes)
{
    // Signs that follow the mid-plane give the geometric rule's weights.
    std::vector<double> w(5766, 1.0);
    for (int f = 0; f < 6; f++)
        for (int k = 0; k < 961; k++)
            w[f * 961 + k] *= Randomwalk::GetClipSign(0, f, k, 31) * -1.0;  // +1 above the mid-plane
    table.Fill(10, 2, w);
    rw.layers.lower_wpdf_sign = table.Signs();
    for (int i = 0; i < 300; i++) {
        Cube c = cube;
        PointOnCube pt;
        const double wt = rw.GetClipWeightAndPoint(-1, c, z_line10, 1.0, pt, 0);
        const int index = (int)(pt.v * 31) * 31 + (int)(pt.u * 31);
        ASSERT_DOUBLE_EQ(wt, -Randomwalk::GetClipSign(0, pt.fno, index, 31) * 3.0 * 0.5 / c.radius);
    }
}

TEST_F(TwoMediaHopTest, TablesWithoutSignsUseMidPlane)
{
    rw.layers.lower_wpdf_sign = nullptr;
    int positive = 0, negative = 0;
    for (int i = 0; i < 200; i++) {
        Cube c = cube;
        PointOnCube pt;
        double w = rw.GetClipWeightAndPoint(-1, c, z_line10, 1.0, pt, 5);
        const int col = (int)(pt.u * 31);
        EXPECT_DOUBLE_EQ(w, (col < 15 ? 1 : -1) * 3.0 * 0.5 / c.radius);
        (w > 0 ? positive : negative)++;
    }
    EXPECT_GT(positive, 0);
    EXPECT_GT(negative, 0);
}

TEST_F(TwoMediaHopTest, UpperTablesAtLinesAboveCentre)
{
    // Interface above the centre at line 20: the upper tables.
    table.Fill(20, 0, OnePanel(961, 2, 500, -1.0));
    table.cross[20 * 3 + 0] = 4.0;
    rw.layers.upper_wpdf_face = table.Face();
    rw.layers.upper_wpdf = table.Cdf();
    rw.layers.upper_weight_cross = table.Cross();
    rw.layers.upper_wpdf_sign = table.Signs();
    Cube c = cube;
    PointOnCube pt;
    const double z = -1 + 19.5 * 2 / 31;  // t = 19.5 -> line 20
    double w = rw.GetClipWeightAndPoint(1, c, -1.0, z, pt, 2);
    EXPECT_EQ(pt.fno, 2);
    EXPECT_NEAR(c.center.z - c.radius + 20 * 2 * c.radius / 31, z, 1e-15);
    EXPECT_DOUBLE_EQ(w, -1.0 * -1.0 * 4.0 * 0.5 / c.radius);
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
        Cube c = cube;
        PointOnCube pt;
        const double w = rw.GetClipWeightAndPoint(-1, c, z_line10, 1.0, pt, 3);  // +y: drc 1, S = +1
        const int n = sel == 0 ? 4 * 961 + 77 : (int)(peek.Random() * 6.0 * 961.0);
        ASSERT_EQ(pt.fno, n / 961);
        const double value = 0.01 * (n / 961 + 1) + 1e-5 * (n % 961);
        EXPECT_DOUBLE_EQ(w, -value * 0.5 / c.radius * (sel == 0 ? 1.0 : 5766.0)) << "selector " << sel;
        EXPECT_EQ(pt.strata, sel == 3 ? rw.GetStrata(3, pt.fno, n % 961) : 0);
    }
}

// --- half cubes ------------------------------------------------------------

TEST_F(ClipTest, HalfHopKeepsOrClearsUpper)
{
    TransTable half(1, 1024);
    rw.layers.half_psum_face = half.Face();
    rw.layers.half_psum = half.Cdf();
    struct Case {
        int fno, index;
        bool upper_after;
    } cases[] = {{0, 600, false}, {5, 3, true}, {1, 15 * 32 + 31, false}, {1, 16 * 32, true},
                 {4, 15 * 32, false}, {3, 1023, true}};
    for (const Case& c : cases) {
        half.Fill(0, OnePanel(1024, c.fno, c.index));
        Cube cube(Vector3(0, 0, 1.0), 0.4);
        bool upper = true;
        PointOnCube pt = rw.GetPointInHalf(rw.layers, upper, 2.5, 7.0, cube, 0.25);
        EXPECT_EQ(pt.fno, c.fno);
        EXPECT_EQ(pt.u, Randomwalk::idx2pt(c.fno, c.index, 32).u);
        EXPECT_EQ(pt.v, Randomwalk::idx2pt(c.fno, c.index, 32).v);
        EXPECT_EQ(upper, c.upper_after) << "face " << c.fno << " index " << c.index;
        EXPECT_EQ(cube.radius, 0.25);
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
            ASSERT_EQ(pt.fno, 5);
            ASSERT_EQ(pt.u, 63.0 / 64);
            ASSERT_EQ(pt.v, 63.0 / 64);
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
        const int s = Randomwalk::GetClipSign(id, 0, 100, 32);
        EXPECT_EQ(s, id == 1 ? 1 : -1);
        EXPECT_DOUBLE_EQ(w, -s * -0.75 * 0.5 / 0.5);
    }
}

}  // namespace
