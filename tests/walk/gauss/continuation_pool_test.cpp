// Shared continuations against a model whose answer is known: walks of
// signed weights end on the master, on the ground or on one of three
// floating conductors, each of which sends its continuations on to the
// master with its own chance. Over many chunks the folded sums must be
// unbiased, their reported variance must match the spread of the chunks'
// estimates (the walks of a chunk share each estimate of a conductor's
// chances), and the potentials must be those chances.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "chunks.h"
#include "floating.h"
#include "mersenne.h"

TEST(ContinuationPool, ChunkEstimatesAreUnbiasedWithHonestErrors)
{
    const int floating = 3, slots = 2 + floating;  // master, ground, then the floating ones
    const double chance[floating] = {0.7, 0.4, 0.15};
    const double absorbed = 0.9, master = 0.3, mean_weight = 0.4;
    double share[CHUNK_STRATA];
    for (double& s : share)
        s = 1.0 / CHUNK_STRATA;
    // The expected credit of a walk: its weight times what its end is worth.
    double worth = (1.0 - absorbed) * master;
    for (double c : chance)
        worth += absorbed / floating * c;
    const double truth = 0.5 * mean_weight * worth;

    CRandomMersenne rnd(17);
    ContinuationPool pool;
    pool.Size(floating, CHUNK_WALKS);
    ChunkSums out;
    out.potentials.Size(floating);
    const int chunks = 600;
    double sum = 0.0, sum2 = 0.0, reported = 0.0, went_on = 0.0, hits = 0.0;
    PotentialTallies potentials;
    potentials.Size(floating);
    for (int c = 0; c < chunks; ++c) {
        out.Begin(c, slots);
        for (long long i = 0; i < CHUNK_WALKS; ++i) {
            const int stratum = rnd.IRandomX(0, CHUNK_STRATA - 1);
            // Gaussian weights of both signs (Box-Muller).
            const double w = mean_weight + std::sqrt(-2.0 * std::log(1.0 - rnd.Random())) *
                                                 std::cos(2.0 * M_PI * rnd.Random());
            if (rnd.Random() < absorbed) {
                const int k = rnd.IRandomX(0, floating - 1);
                pool.hits.push_back({k, stratum, 0.5 * w});
                out.count[stratum] += 1;
                hits += 1;
                if (pool.GoOn(k, 0.5 * w)) {
                    pool.ends.push_back({k, rnd.Random() < chance[k] ? 0 : 1});
                    went_on += 1;
                }
            } else {
                out.Add(stratum, rnd.Random() < master ? 0 : 1, 0.5 * w);
            }
        }
        pool.Fold(out, share);
        potentials.Merge(out.potentials);
        std::vector<double*> s(CHUNK_STRATA), s2(CHUNK_STRATA);
        for (int k = 0; k < CHUNK_STRATA; ++k) {
            s[k] = &out.sum[k * slots];
            s2[k] = &out.sum2[k * slots];
        }
        double mean, err;
        StratifiedEstimate(s.data(), s2.data(), out.count, share, CHUNK_STRATA, 0, mean, err);
        sum += mean;
        sum2 += mean * mean;
        reported += err * err;
        // A floating conductor's row is never credited.
        for (int k = 0; k < CHUNK_STRATA; ++k)
            for (int f = 2; f < slots; ++f)
                ASSERT_EQ(out.sum[k * slots + f], 0.0);
    }
    const double mean = sum / chunks, spread = (sum2 - chunks * mean * mean) / (chunks - 1);
    EXPECT_NEAR(mean, truth, 4.0 * std::sqrt(spread / chunks));
    // The spread of a variance from 600 chunks is about 6 %.
    EXPECT_NEAR(reported / chunks / spread, 1.0, 0.2);
    // Only some walks went on, yet every conductor's chance came out.
    EXPECT_LT(went_on, 0.5 * hits);
    for (int k = 0; k < floating; ++k) {
        double v, e;
        ASSERT_TRUE(potentials.Estimate(k, v, e));
        EXPECT_NEAR(v, chance[k], 4.0 * e);
        EXPECT_NEAR(e, std::sqrt(chance[k] * (1 - chance[k]) / potentials.tally[k].c), 0.1 * e);
    }
}
