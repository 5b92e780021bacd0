// Physics of the cube tables: probability conservation, the cube's
// symmetries, exactness on linear potentials, the image solution of the half
// cube and the mirror in z.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "cubesolver.h"

namespace {

const int S = FULL_SEGNUM;

struct Pair {
    double low, high;
};
const Pair PAIRS[] = {{3.9, 2.5}, {1.0, 10.0}, {10.0, 1.0}};

double Total(const CubeTable& c)
{
    double s = 0;
    for (double p : c.prob) s += p;
    return s;
}

double FaceTotal(const CubeTable& c, int f)
{
    double s = 0;
    for (int k = 0; k < c.Panels(); ++k) s += c.P(f, k);
    return s;
}

// Centre of panel k of face f in cube coordinates.
void PanelCentre(int f, int k, int segnum, double& x, double& y, double& z)
{
    double u = (k % segnum + 0.5) / segnum, v = (k / segnum + 0.5) / segnum;
    switch (f) {
    case 0: x = u, y = v, z = 0; break;
    case 1: x = u, y = 0, z = v; break;
    case 2: x = 1, y = u, z = v; break;
    case 3: x = u, y = 1, z = v; break;
    case 4: x = 0, y = u, z = v; break;
    default: x = u, y = v, z = 1; break;
    }
}

// A potential that is linear in each layer and continuous in eps dphi/dz.
double LayeredLinear(double z, double t, double low, double high)
{
    return z < t ? z / low : t / low + (z - t) / high;
}

// The weighted panel sums of a linear field equal its value and gradient at
// the centre, since a panel's average of it is its value at the panel centre.
void ExpectExactOnLinearFields(const CubeTable& c, double t, double low, double high)
{
    double sx = 0, sy = 0, sz = 0, gx = 0, gy = 0, gz = 0;
    for (int f = 0; f < 6; ++f)
        for (int k = 0; k < c.Panels(); ++k) {
            double x, y, z;
            PanelCentre(f, k, c.segnum, x, y, z);
            double phi = LayeredLinear(z, t, low, high);
            sx += c.P(f, k) * x;
            sy += c.P(f, k) * y;
            sz += c.P(f, k) * phi;
            gx += c.W(0, f, k) * x;
            gy += c.W(1, f, k) * y;
            gz += c.W(2, f, k) * phi;
        }
    EXPECT_NEAR(sx, 0.5, 1e-10);
    EXPECT_NEAR(sy, 0.5, 1e-10);
    EXPECT_NEAR(sz, LayeredLinear(0.5, t, low, high), 1e-10);
    EXPECT_NEAR(gx, 1.0, 1e-10);
    EXPECT_NEAR(gy, 1.0, 1e-10);
    EXPECT_NEAR(gz, 0.5 < t ? 1 / low : 1 / high, 1e-10);
}

int Mirror(int i) { return S - 1 - i; }

}  // namespace

TEST(SingleCube, ConservesProbabilityAndCarriesTheCubeSymmetries)
{
    CubeTable c = SolveHomogeneous();
    EXPECT_NEAR(Total(c), 1.0, 1e-12);
    for (int f = 0; f < 6; ++f) EXPECT_NEAR(FaceTotal(c, f), 1.0 / 6, 1e-12) << "face " << f;
    for (int f = 0; f < 6; ++f)
        for (int j = 0; j < S; ++j)
            for (int i = 0; i < S; ++i) {
                double p = c.P(f, j * S + i);
                ASSERT_GT(p, 0.0);
                EXPECT_NEAR(p, c.P(f, j * S + Mirror(i)), 1e-15);
                EXPECT_NEAR(p, c.P(f, Mirror(j) * S + i), 1e-15);
                EXPECT_NEAR(p, c.P(f, i * S + j), 1e-15);
                EXPECT_NEAR(p, c.P(0, j * S + i), 1e-15);  // every face alike
            }
    // Gradients: odd in the mirror of their own axis, and equal in size along all axes.
    for (int j = 0; j < S; ++j)
        for (int i = 0; i < S; ++i) {
            int k = j * S + i;
            EXPECT_NEAR(c.W(0, 5, k), -c.W(0, 5, j * S + Mirror(i)), 1e-14);
            EXPECT_NEAR(c.W(2, 5, k), -c.W(2, 0, k), 1e-14);
            EXPECT_NEAR(c.W(0, 2, k), c.W(2, 5, k), 1e-14);
            EXPECT_NEAR(c.W(1, 3, k), c.W(2, 5, k), 1e-14);
            EXPECT_GT(c.W(2, 5, k), 0.0);
        }
    EXPECT_NEAR(c.AbsWeightSum(0), c.AbsWeightSum(2), 1e-12);
    EXPECT_NEAR(c.AbsWeightSum(1), c.AbsWeightSum(2), 1e-12);
}

TEST(SingleCube, IsExactOnLinearFields)
{
    ExpectExactOnLinearFields(SolveHomogeneous(), 0.5, 1.0, 1.0);
    ExpectExactOnLinearFields(SolveHomogeneous(HALF_SEGNUM), 0.5, 1.0, 1.0);
}

TEST(TwoMediaCube, EveryCubeConservesProbabilityWithPositivePanels)
{
    for (const Pair& p : PAIRS) {
        for (int a = 0; a < CUT_COUNT; ++a) {
            CubeTable c = SolveCutCube(p.low, p.high, a);
            EXPECT_NEAR(Total(c), 1.0, 1e-12) << p.low << "/" << p.high << " cut " << a;
            double smallest = 1;
            for (double v : c.prob) smallest = std::fmin(smallest, v);
            EXPECT_GT(smallest, 0.0);
        }
        EXPECT_NEAR(Total(SolveHalfCube(p.low, p.high)), 1.0, 1e-12);
    }
}

TEST(TwoMediaCube, EqualPermittivitiesGiveTheSingleMediumTables)
{
    CubeTable ref = SolveHomogeneous();
    for (int a : {1, 7, 15, 16, 29}) {
        CubeTable c = SolveCube(S, 2.5, 2.5, (double)a / S);
        for (size_t i = 0; i < ref.prob.size(); ++i) ASSERT_NEAR(c.prob[i], ref.prob[i], 1e-12);
        for (size_t i = 0; i < ref.weight.size(); ++i) ASSERT_NEAR(c.weight[i], ref.weight[i], 1e-12);
    }
    CubeTable half = SolveHalfCube(3.9, 3.9), ref32 = SolveHomogeneous(HALF_SEGNUM);
    for (size_t i = 0; i < ref32.prob.size(); ++i) ASSERT_NEAR(half.prob[i], ref32.prob[i], 1e-12);
    for (size_t i = 0; i < ref32.weight.size(); ++i) ASSERT_NEAR(half.weight[i], ref32.weight[i], 1e-12);
}

TEST(TwoMediaCube, IsExactOnLayeredLinearFields)
{
    for (const Pair& p : PAIRS)
        for (int a = 1; a < CUT_COUNT; ++a) {
            SCOPED_TRACE(::testing::Message() << p.low << "/" << p.high << " cut " << a);
            ExpectExactOnLinearFields(SolveCutCube(p.low, p.high, a), (double)a / S, p.low, p.high);
        }
    for (const Pair& p : PAIRS) ExpectExactOnLinearFields(SolveHalfCube(p.low, p.high), 0.5, p.low, p.high);
}

TEST(HalfCube, MatchesTheImageSolution)
{
    const int H = HALF_SEGNUM;
    CubeTable ref = SolveHomogeneous(H);
    for (const Pair& p : PAIRS) {
        CubeTable c = SolveHalfCube(p.low, p.high);
        double above = 2 * p.high / (p.low + p.high), below = 2 * p.low / (p.low + p.high);
        for (int f = 0; f < 6; ++f)
            for (int k = 0; k < H * H; ++k) {
                bool upper = f == 5 || (f != 0 && k / H >= H / 2);
                double factor = upper ? above : below;
                ASSERT_NEAR(c.P(f, k), factor * ref.P(f, k), 1e-13) << f << " " << k;
                ASSERT_NEAR(c.W(0, f, k), factor * ref.W(0, f, k), 1e-13);
                ASSERT_NEAR(c.W(1, f, k), factor * ref.W(1, f, k), 1e-13);
                ASSERT_NEAR(c.W(2, f, k), below * ref.W(2, f, k), 1e-13);
            }
    }
}

TEST(TwoMediaCube, SwappingTheMediaMirrorsTheCubeInZ)
{
    for (int a = 2; a < CUT_COUNT; ++a) {
        CubeTable c = SolveCutCube(3.9, 2.5, a), m = SolveCutCube(2.5, 3.9, S - a);
        for (int f = 0; f < 6; ++f)
            for (int k = 0; k < S * S; ++k) {
                int mf = f == 0 ? 5 : f == 5 ? 0 : f;
                int mk = (f == 0 || f == 5) ? k : Mirror(k / S) * S + k % S;
                ASSERT_NEAR(c.P(f, k), m.P(mf, mk), 1e-13) << "cut " << a;
                ASSERT_NEAR(c.W(0, f, k), m.W(0, mf, mk), 1e-13);
                ASSERT_NEAR(c.W(1, f, k), m.W(1, mf, mk), 1e-13);
                ASSERT_NEAR(c.W(2, f, k), -m.W(2, mf, mk), 1e-13);
            }
    }
}

TEST(TwoMediaCube, SatisfiesTheLoaderChecksOfTheCommonWeightTables)
{
    // Korva rejects a common weight table with a panel of zero probability
    // or a weight-to-probability ratio of 100 or more.
    for (const Pair& p : PAIRS)
        for (int a = 0; a < CUT_COUNT; a += 4) {
            CubeTable c = SolveCutCube(p.low, p.high, a);
            double worst = 0;
            for (int d = 0; d < 3; ++d)
                for (int f = 0; f < 6; ++f)
                    for (int k = 0; k < S * S; ++k) worst = std::fmax(worst, std::fabs(c.W(d, f, k) / c.P(f, k)));
            EXPECT_LT(worst, 100.0);
        }
}

TEST(LayeredEigenproblem, FindsEveryEigenfunctionInOrder)
{
    // Sturm-Liouville: the k-th eigenfunction has k - 1 interior zeros, and
    // Z(1) = 0. A brute-force scan of Z(1; s) counts the roots independently.
    for (const Pair& p : PAIRS)
        for (double t : {1.0 / 31, 10.0 / 31, 0.5, 29.0 / 31}) {
            double r = p.low / p.high;
            std::vector<double> roots = LayeredEigenvalues(t, r, 60.0);
            int scanned = 0;
            double prev = LayeredEigenfunction(t, r, 1e-3, 1.0);
            for (double s = 2e-3; s <= 60.0; s += 1e-3) {
                double cur = LayeredEigenfunction(t, r, s, 1.0);
                if ((cur < 0) != (prev < 0)) ++scanned;
                prev = cur;
            }
            ASSERT_EQ((int)roots.size(), scanned) << "t " << t << " r " << r;
            for (size_t k = 0; k < roots.size(); ++k) {
                EXPECT_NEAR(LayeredEigenfunction(t, r, roots[k], 1.0), 0.0, 1e-12);
                int zeros = 0;
                double last = LayeredEigenfunction(t, r, roots[k], 1e-4);
                for (int i = 1; i < 4000; ++i) {
                    double v = LayeredEigenfunction(t, r, roots[k], (i + 0.5) / 4000.0);
                    if ((v < 0) != (last < 0)) ++zeros;
                    last = v;
                }
                EXPECT_EQ(zeros, (int)k);
            }
        }
}
