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

int Mirror(int i) { return S - 1 - i; }

// Centre of panel k of face f in cube coordinates.
void PanelCentre(int f, int k, int segnum, double p[3])
{
    double u = (k % segnum + 0.5) / segnum, v = (k / segnum + 0.5) / segnum;
    const double frames[6][3] = {{u, v, 0}, {u, 0, v}, {1, u, v}, {u, 1, v}, {0, u, v}, {u, v, 1}};
    for (int d = 0; d < 3; ++d)
        p[d] = frames[f][d];
}

// A potential that is linear in each layer and continuous in eps dphi/dz.
double LayeredLinear(double z, double t, double low, double high)
{
    return z < t ? z / low : t / low + (z - t) / high;
}

// Probabilities are positive and sum to one; the weighted panel sums of a
// linear field equal its value and gradient at the centre, since a panel's
// average of it is its value at the panel centre. Korva's loader also
// rejects a weight-to-probability ratio of 100 or more.
void ExpectSoundAndExact(const CubeTable& c, double t, double low, double high)
{
    double total = 0, sum[3] = {}, grad[3] = {}, worst_ratio = 0, smallest = 1;
    for (int f = 0; f < 6; ++f)
        for (int k = 0; k < c.Panels(); ++k) {
            double p[3];
            PanelCentre(f, k, c.segnum, p);
            p[2] = LayeredLinear(p[2], t, low, high);
            total += c.P(f, k);
            smallest = std::fmin(smallest, c.P(f, k));
            for (int d = 0; d < 3; ++d) {
                sum[d] += c.P(f, k) * p[d];
                grad[d] += c.W(d, f, k) * p[d];
                worst_ratio = std::fmax(worst_ratio, std::fabs(c.W(d, f, k) / c.P(f, k)));
            }
        }
    EXPECT_NEAR(total, 1.0, 1e-12);
    EXPECT_GT(smallest, 0.0);
    EXPECT_LT(worst_ratio, 100.0);
    EXPECT_NEAR(sum[0], 0.5, 1e-10);
    EXPECT_NEAR(sum[1], 0.5, 1e-10);
    EXPECT_NEAR(sum[2], LayeredLinear(0.5, t, low, high), 1e-10);
    EXPECT_NEAR(grad[0], 1.0, 1e-10);
    EXPECT_NEAR(grad[1], 1.0, 1e-10);
    EXPECT_NEAR(grad[2], 0.5 < t ? 1 / low : 1 / high, 1e-10);
}

void ExpectSameTables(const CubeTable& a, const CubeTable& b)
{
    ASSERT_EQ(a.prob.size(), b.prob.size());
    for (size_t i = 0; i < a.prob.size(); ++i) ASSERT_NEAR(a.prob[i], b.prob[i], 1e-12) << i;
    for (size_t i = 0; i < a.weight.size(); ++i) ASSERT_NEAR(a.weight[i], b.weight[i], 1e-12) << i;
}

}  // namespace

TEST(SingleCube, CarriesTheCubeSymmetries)
{
    CubeTable c = SolveHomogeneous();
    for (int f = 0; f < 6; ++f)
        for (int j = 0; j < S; ++j)
            for (int i = 0; i < S; ++i) {
                double p = c.P(f, j * S + i);
                EXPECT_NEAR(p, c.P(f, j * S + Mirror(i)), 1e-15);
                EXPECT_NEAR(p, c.P(f, Mirror(j) * S + i), 1e-15);
                EXPECT_NEAR(p, c.P(f, i * S + j), 1e-15);
                EXPECT_NEAR(p, c.P(0, j * S + i), 1e-15);  // every face alike
            }
    // Gradients: odd in the mirror of their own axis, and equal in size along all axes.
    for (int k = 0; k < S * S; ++k) {
        EXPECT_NEAR(c.W(0, 5, k), -c.W(0, 5, k / S * S + Mirror(k % S)), 1e-14);
        EXPECT_NEAR(c.W(2, 5, k), -c.W(2, 0, k), 1e-14);
        EXPECT_NEAR(c.W(0, 2, k), c.W(2, 5, k), 1e-14);
        EXPECT_NEAR(c.W(1, 3, k), c.W(2, 5, k), 1e-14);
        EXPECT_GT(c.W(2, 5, k), 0.0);
    }
    EXPECT_NEAR(c.AbsWeightSum(0), c.AbsWeightSum(2), 1e-12);
    EXPECT_NEAR(c.AbsWeightSum(1), c.AbsWeightSum(2), 1e-12);
}

TEST(TwoMediaCube, EveryTableIsSoundAndExactOnLayeredLinearFields)
{
    ExpectSoundAndExact(SolveHomogeneous(), 0.5, 1.0, 1.0);
    ExpectSoundAndExact(SolveHomogeneous(HALF_SEGNUM), 0.5, 1.0, 1.0);
    for (const Pair& p : PAIRS) {
        for (int a = 0; a < CUT_COUNT; ++a) {
            SCOPED_TRACE(::testing::Message() << p.low << "/" << p.high << " cut " << a);
            ExpectSoundAndExact(SolveCutCube(p.low, p.high, a), (double)a / S, p.low, p.high);
        }
        ExpectSoundAndExact(SolveHalfCube(p.low, p.high), 0.5, p.low, p.high);
    }
}

TEST(TwoMediaCube, EqualPermittivitiesGiveTheSingleMediumTables)
{
    CubeTable ref = SolveHomogeneous();
    for (int a : {1, 7, 15, 16, 29}) ExpectSameTables(SolveCube(S, 2.5, 2.5, (double)a / S), ref);
    ExpectSameTables(SolveHalfCube(3.9, 3.9), SolveHomogeneous(HALF_SEGNUM));
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
                double factor = f == 5 || (f != 0 && k / H >= H / 2) ? above : below;
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

TEST(LayeredEigenproblem, FindsEveryEigenfunctionInOrder)
{
    // Sturm-Liouville: the k-th eigenfunction has k - 1 interior zeros, and
    // Z(1) = 0. A brute-force scan of Z(1; s) counts the roots independently.
    auto sign_changes = [](auto f, double from, double to, double step) {
        int n = 0;
        double prev = f(from);
        for (double x = from + step; x <= to; x += step) {
            double cur = f(x);
            n += (cur < 0) != (prev < 0);
            prev = cur;
        }
        return n;
    };
    for (const Pair& p : PAIRS)
        for (double t : {1.0 / 31, 10.0 / 31, 0.5, 29.0 / 31}) {
            double r = p.low / p.high;
            std::vector<double> roots = LayeredEigenvalues(t, r, 60.0);
            int scanned = sign_changes([&](double s) { return LayeredEigenfunction(t, r, s, 1.0); },
                                       1e-3, 60.0, 1e-3);
            ASSERT_EQ((int)roots.size(), scanned) << "t " << t << " r " << r;
            for (size_t k = 0; k < roots.size(); ++k) {
                EXPECT_NEAR(LayeredEigenfunction(t, r, roots[k], 1.0), 0.0, 1e-12);
                auto z = [&](double x) { return LayeredEigenfunction(t, r, roots[k], x); };
                EXPECT_EQ(sign_changes(z, 1e-4, 0.9999, 2.5e-4), (int)k);
            }
        }
}
