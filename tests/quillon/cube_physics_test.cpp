// Physics of the cube tables: probability conservation, exactness on
// linear potentials, the image solution of the half cube and the mirror in z.
#include <gtest/gtest.h>

#include <algorithm>
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
    std::copy(frames[f], frames[f] + 3, p);
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
    const double want_sum[3] = {0.5, 0.5, LayeredLinear(0.5, t, low, high)}, want_grad[3] = {1, 1, 0.5 < t ? 1 / low : 1 / high};
    for (int d = 0; d < 3; ++d) {
        EXPECT_NEAR(sum[d], want_sum[d], 1e-10) << "direction " << d;
        EXPECT_NEAR(grad[d], want_grad[d], 1e-10) << "direction " << d;
    }
}

}  // namespace

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
                for (int d = 0; d < 3; ++d)
                    ASSERT_NEAR(c.W(d, f, k), (d < 2 ? factor : below) * ref.W(d, f, k), 1e-13) << d;
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
                for (int d = 0; d < 3; ++d)
                    ASSERT_NEAR(c.W(d, f, k), (d < 2 ? 1 : -1) * m.W(d, mf, mk), 1e-13) << d;
            }
    }
}
