#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "mersenne.h"

// The generator continues the standard one after 37 discarded outputs; past
// 624 outputs the state has been regenerated twice.
TEST(Mersenne, ContinuesReferenceAndScalesWords)
{
    for (int seed : {5489, 0, 19650218, -1, 2147483647}) {
        std::mt19937 ref((uint32_t)seed);
        ref.discard(37);
        CRandomMersenne g(seed), h(seed);
        for (int i = 0; i < 1500; i++) {
            const uint32_t w = g.BRandom();
            ASSERT_EQ(w, ref()) << "seed " << seed << " output " << i + 38;
            ASSERT_EQ(h.Random(), w * 2.3283064365386963e-10);
        }
    }
}

TEST(Mersenne, IRandomXIsUniformOverItsBoundsAndFlagsEmptyIntervals)
{
    CRandomMersenne g(2024);
    EXPECT_EQ(g.IRandomX(3, 3), 3);
    EXPECT_EQ(g.IRandomX(4, 3), -2147483647 - 1);
    const int bins = 50, draws = 500000;
    std::vector<int> count(bins, 0);
    for (int i = 0; i < draws; i++) {
        const int v = g.IRandomX(0, bins - 1);
        ASSERT_TRUE(v >= 0 && v < bins) << v;
        count[v]++;
    }
    double chi2 = 0;
    for (int c : count)
        chi2 += (c - draws / bins) * (c - draws / bins) / (double)(draws / bins);
    // 49 degrees of freedom: mean 49, sd ~9.9; far beyond p = 1e-6 at 100.
    EXPECT_LT(chi2, 100.0);
}
