// The start law on a floating conductor's shell against the parallel-plate
// flux of thin gaps, against itself with the conductor cut into blocks, and
// its draws against its shares.
#include <gtest/gtest.h>

#include <cmath>

#include "shelltable.h"

namespace {

// Flux share per face of the grown box around [0, size], face order -x +x -y +y -z +z.
std::array<double, 6> Shares(const ShellTable& t, const Vector3& size)
{
    std::array<double, 6> s{};
    const double hi[3] = {size.x, size.y, size.z};
    for (size_t k = 0; k < t.panels.size(); ++k)
        s[2 * t.panels[k].axis + (t.panels[k].fixed > hi[t.panels[k].axis] ? 1 : 0)] +=
            t.cumulative[k] - (k ? t.cumulative[k - 1] : 0.0);
    return s;
}

TEST(ShellTable, FaceSharesFollowTheGapsAndTheBlocks)
{
    // A 10 x 10 x 0.1 plate with a margin of 0.1: across its big faces the
    // flux is that of a parallel-plate gap, so the top and bottom shares go
    // as the gaps' conductances per area, eps / h in series where a plane
    // cuts the gap.
    const struct {
        double plane, below, above, ratio;  // top / bottom share
    } cases[] = {{-5, 1, 1, 1.0}, {0.05, 1, 4, 4.0}, {0.1, 1, 4, 4.0}, {0.15, 1, 4, 1 / (0.05 + 0.05 / 4) / 10}};
    for (const auto& c : cases) {
        ShellTable t;
        auto eps = [&](const Vector3& p) { return p.z < c.plane ? c.below : c.above; };
        ASSERT_TRUE(t.Solve({Cuboid(0, 0, 0, 0, 10, 10, 0.1)}, 0.1, eps, {c.plane}, 8, 2000000));
        EXPECT_LT(t.imbalance, 1e-8);
        const std::array<double, 6> s = Shares(t, Vector3(10, 10, 0.1));
        EXPECT_NEAR(s[5] / s[4], c.ratio, 0.03 * c.ratio) << c.plane;
        EXPECT_GT(s[4] + s[5], 0.85) << c.plane;
    }
    // A bar cut into blocks is the same conductor: the same shares.
    const auto one = [](const Vector3&) { return 1.0; };
    ShellTable whole, cut;
    ASSERT_TRUE(whole.Solve({Cuboid(0, 0, 0, 0, 2, 1, 1)}, 0.3, one, {}, 8, 2000000));
    ASSERT_TRUE(cut.Solve({Cuboid(0, 0, 0, 0, 0.7, 1, 1), Cuboid(0, 0.7, 0, 0, 2, 0.4, 1), Cuboid(0, 0.7, 0.4, 0, 2, 1, 1)},
                          0.3, one, {}, 8, 2000000));
    const std::array<double, 6> a = Shares(whole, Vector3(2, 1, 1)), b = Shares(cut, Vector3(2, 1, 1));
    for (int f = 0; f < 6; ++f)
        EXPECT_NEAR(a[f], b[f], 2e-3) << f;
}

TEST(ShellTable, DrawsLieOnTheShellWithItsShares)
{
    ShellTable t;
    ASSERT_TRUE(t.Solve({Cuboid(0, 0, 0, 0, 0.5, 0.5, 0.3)}, 0.25, [](const Vector3&) { return 3.9; }, {}, 8, 2000000));
    const std::array<double, 6> want = Shares(t, Vector3(0.5, 0.5, 0.3));
    CRandomMersenne rnd(7);
    const int n = 200000;
    std::array<double, 6> got{};
    for (int i = 0; i < n; ++i) {
        const Vector3 p = t.Draw(rnd);
        const double d[6] = {-p.x, p.x - 0.5, -p.y, p.y - 0.5, -p.z, p.z - 0.3};
        int f = 0;
        for (int k = 1; k < 6; ++k)
            f = d[k] > d[f] ? k : f;
        ASSERT_NEAR(d[f], 0.25, 1e-12);
        got[f] += 1.0 / n;
    }
    for (int f = 0; f < 6; ++f)
        EXPECT_NEAR(got[f], want[f], 5 * std::sqrt(want[f] / n)) << f;
}

}  // namespace
