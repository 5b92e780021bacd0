#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "mersenne.h"

TEST(Mersenne, ReferenceOutputsOfSeed5489)
{
    std::mt19937 ref(5489);
    EXPECT_EQ(ref(), 3499211612u);
    EXPECT_EQ(ref(), 581869302u);
    EXPECT_EQ(ref(), 3890346734u);
    EXPECT_EQ(ref(), 3586334585u);
    EXPECT_EQ(ref(), 545404204u);
}

TEST(Mersenne, ContinuesReferenceAfterDiscardedOutputs)
{
    for (int seed : {5489, 0, 1, 19650218, -1, 2147483647}) {
        std::mt19937 ref((uint32_t)seed);
        ref.discard(37);
        CRandomMersenne g;
        g.RandomInit(seed);
        // Beyond 624 outputs the state has been regenerated twice.
        for (int i = 0; i < 1500; i++)
            ASSERT_EQ(g.BRandom(), ref()) << "seed " << seed << " output " << i + 38;
    }
}

TEST(Mersenne, RandomIsScaledWord)
{
    CRandomMersenne a(42), b(42);
    for (int i = 0; i < 1000; i++) {
        uint32_t w = a.BRandom();
        double d = b.Random();
        ASSERT_EQ(d, w * 2.3283064365386963e-10);
        ASSERT_GE(d, 0.0);
        ASSERT_LT(d, 1.0);
    }
    EXPECT_LT(4294967295u * 2.3283064365386963e-10, 1.0);
}

TEST(Mersenne, CopyingCopiesState)
{
    CRandomMersenne a(7);
    a.BRandom();
    CRandomMersenne b = a;
    for (int i = 0; i < 700; i++)
        ASSERT_EQ(a.BRandom(), b.BRandom());
}

TEST(MersenneIRandomX, DegenerateAndErrorIntervals)
{
    CRandomMersenne g(1);
    EXPECT_EQ(g.IRandomX(3, 3), 3);
    EXPECT_EQ(g.IRandomX(4, 3), -2147483647 - 1);
    EXPECT_EQ(g.IRandomX(0, -5), (int)0x80000000u);
}

TEST(MersenneIRandomX, StaysWithinBounds)
{
    CRandomMersenne g(11);
    bool seen_lo = false, seen_hi = false;
    for (int i = 0; i < 20000; i++) {
        int v = g.IRandomX(-3, 4);
        ASSERT_GE(v, -3);
        ASSERT_LE(v, 4);
        seen_lo |= v == -3;
        seen_hi |= v == 4;
    }
    EXPECT_TRUE(seen_lo && seen_hi);
    for (int i = 0; i < 1000; i++) {
        int v = g.IRandomX(-2147483647 - 1, 2147483646);
        ASSERT_LE(v, 2147483646);
    }
}

TEST(MersenneIRandomX, MatchesRejectionRule)
{
    // A word is rejected when the low half of word * interval exceeds
    // (2^32 div interval) * interval - 1; replay the rule on a twin generator.
    CRandomMersenne g(99), raw(99);
    const uint64_t interval = 1000000007ull;  // rejects about 7% of the words
    const uint32_t limit = (uint32_t)((4294967296ull / interval) * interval - 1);
    int rejected = 0;
    for (int i = 0; i < 5000; i++) {
        int v = g.IRandomX(10, 10 + (int)interval - 1);
        uint64_t p;
        do {
            p = (uint64_t)raw.BRandom() * interval;
            if ((uint32_t)p > limit)
                rejected++;
        } while ((uint32_t)p > limit);
        ASSERT_EQ(v, 10 + (int)(p >> 32));
    }
    EXPECT_GT(rejected, 0);
}

TEST(MersenneIRandomX, FullNonNegativeRangeNeverRejects)
{
    CRandomMersenne g(5), raw(5);
    for (int i = 0; i < 5000; i++) {
        uint64_t p = (uint64_t)raw.BRandom() * 2147483648ull;
        ASSERT_EQ(g.IRandomX(0, 2147483647), (int)(p >> 32));
    }
    EXPECT_EQ(g.reject_limit, 0xffffffffu);
}

TEST(MersenneIRandomX, UniformOverFifty)
{
    CRandomMersenne g(2024);
    const int bins = 50, draws = 500000;
    std::vector<int> count(bins, 0);
    for (int i = 0; i < draws; i++)
        count[g.IRandomX(0, 49)]++;
    const double expected = (double)draws / bins;
    double chi2 = 0;
    for (int c : count)
        chi2 += (c - expected) * (c - expected) / expected;
    // 49 degrees of freedom: mean 49, sd ~9.9; far beyond p = 1e-6 at 100.
    EXPECT_LT(chi2, 100.0);
}
