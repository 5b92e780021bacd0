// The walk loop, the stopping rules, the threaded run and the results.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <numeric>

#include "walk_support.h"

namespace {

// A manager over result stores set by hand.
struct Result {
    WalkMgr m;
    Stores s{1};
    explicit Result(int weight_select)
    {
        s.Attach(m);
        m.weight_select = weight_select;
    }
    std::string Calc()
    {
        CaptureOutput out;
        m.CalcResult();
        return out.Text();
    }
};

TEST(CalcResult, StratifiedByFaceAndSignSkipsEmptyStrata)
{
    Result r(4);
    const double share[6] = {0.1, 0.2, 0.3, 0.15, 0.15, 0.1};
    for (int k = 0; k < 6; k++)
        r.m.face_share[k] = r.m.face_share[k + 6] = share[k];
    r.s.is_count[0] = 4;
    r.s.is_sum[0][0] = 2.0;
    r.s.is_sum2[0][0] = 1.5;
    r.s.is_sum[0][1] = 0.4;
    r.s.is_sum2[0][1] = 0.1;
    r.s.is_count[6] = 2;
    r.s.is_sum[6][0] = -0.6;
    r.s.is_sum2[6][0] = 0.2;
    EXPECT_EQ(r.Calc(), "Total random walks: 1\n");
    const double var0 = 0.01 * (1.5 / 4 - 0.25) / 4 + 0.01 * (0.1 - 0.09) / 2;
    EXPECT_NEAR(r.s.cap[0], EPS0 * (0.1 * 0.5 + 0.1 * -0.3), 1e-30);
    EXPECT_NEAR(r.s.err[0], EPS0 * std::sqrt(var0), 1e-30);
    EXPECT_NEAR(r.s.cap[1], EPS0 * 0.1 * 0.1, 1e-30);
    EXPECT_NEAR(r.s.err[1], EPS0 * std::sqrt(0.01 * (0.1 / 4 - 0.01) / 4), 1e-30);

    Result none(4);  // no walk at all
    none.Calc();
    EXPECT_TRUE(std::isnan(none.s.cap[0]) && std::isnan(none.s.err[0]));
}

TEST(CalcResult, StratifiedSamplingHasNoProbabilityFactor)
{
    Result r(3);
    r.s.ss_count[3] = 5;
    r.s.ss_sum[3][0] = 1.0;
    r.s.ss_sum2[3][0] = 0.5;
    r.s.ss_count[16] = 1;
    r.s.ss_sum[16][0] = 0.25;
    r.s.ss_sum2[16][0] = 0.0625;
    r.Calc();
    EXPECT_NEAR(r.s.cap[0], EPS0 * (0.2 + 0.25), 1e-30);
    EXPECT_NEAR(r.s.err[0], EPS0 * std::sqrt((0.1 - 0.04) / 5), 1e-30);
}

TEST(CalcResult, PlainSelectorsDivideByTheCountThatStartsAtOne)
{
    // 0.1 / 7 rounds differently from the product taken first.
    ASSERT_NE(EPS0 * 0.1 / 7, EPS0 * (0.1 / 7));
    const double rows[][3] = {{1000, 500.0, 400.0}, {7, 0.1, 0.7}};  // walk_count, sum, sum of squares
    for (int ws = 0; ws <= 2; ws++)
        for (const auto& row : rows) {
            Result r(ws);
            r.m.walk_count = (long long)row[0];
            r.s.cap[0] = row[1];
            r.s.cap2[0] = row[2];
            EXPECT_EQ(r.Calc(), "Total random walks: " + std::to_string((int)row[0]) + "\n");
            const double N = row[0], mean = row[1] / N;
            EXPECT_EQ(r.s.cap[0], EPS0 * row[1] / N) << "selector " << ws;
            EXPECT_EQ(r.s.err[0], EPS0 * std::sqrt((row[2] / N - mean * mean) / N)) << "selector " << ws;
            EXPECT_EQ(r.s.cap2[0], row[2]);
        }
}

// ---------------------------------------------------------------------------
// Stopping rule of worker 0

struct Checker {
    WalkMgr m;
    Stores s{1};
    Layers layers{std::vector<Medium*>()};
    Randomwalk w{0, &m, layers, 1, 0};
    long long last = 0;

    Checker(char mode)
    {
        s.Attach(m);
        m.end_mode = mode;
        m.weight_select = 0;
    }
    ~Checker() { Layers::ResetAll(); }
    // Sets slot 0 so that N walks have mean 1 and the given relative error.
    bool At(long long N, double rel)
    {
        const double var = rel * rel * N;  // per-walk variance
        s.cap[0] = N;
        s.cap2[0] = N * (var + 1.0);
        return w.CheckConvergence(N, last);
    }
};

TEST(StoppingRule, WalkTargetStopsAtTheFirstCheckPastIt)
{
    Checker c('t');
    c.m.target_walks = 2500;
    EXPECT_FALSE(c.At(2002, 0.1));
    EXPECT_EQ(c.last, 2002);
    EXPECT_NEAR(c.m.rel_err, 0.1, 1e-9);
    EXPECT_NEAR(c.m.master_estimate, EPS0, 1e-25);
    EXPECT_TRUE(c.At(3003, 0.1));
    EXPECT_TRUE(c.m.stop);
}

TEST(StoppingRule, PrecisionNeedsFourConsecutiveSuccessesAndResetsOnFailure)
{
    Checker c('p');
    c.m.target_err = 0.01;
    struct Row {
        long long walks;
        double rel;
        bool stops;
        int converged;
    } rows[] = {{2000, 0.005, false, 1}, {3000, 0.005, false, 2}, {4000, 0.005, false, 3},
                {5000, 0.02, false, 0},  // one failure restarts the count
                {6000, 0.005, false, 1}, {7000, 0.005, false, 2}, {8000, 0.005, false, 3},
                {9000, 0.005, true, 4}};
    for (const Row& r : rows) {
        EXPECT_EQ(c.At(r.walks, r.rel), r.stops) << r.walks << " walks";
        EXPECT_EQ(c.m.converged_checks, r.converged) << r.walks << " walks";
        EXPECT_EQ(c.m.stop, r.stops) << r.walks << " walks";
    }
    EXPECT_NEAR(c.s.err[0], 0.005, 1e-9);
}

TEST(StoppingRule, StratifiedErrorIsFiniteOnceAnyStratumHasWalks)
{
    Checker c('p');
    c.m.weight_select = 4;
    c.w.weight_select = 4;
    c.m.target_err = 0.5;
    for (int k = 0; k < 12; k++)
        c.m.face_share[k] = 1.0 / 6;
    c.s.is_count[2] = 10;
    c.s.is_sum[2][0] = 6.0;
    c.s.is_sum2[2][0] = 4.0;
    EXPECT_FALSE(c.w.CheckConvergence(1001, c.last));
    EXPECT_TRUE(std::isfinite(c.s.err[0]));
    EXPECT_EQ(c.m.converged_checks, 1);
    EXPECT_NEAR(c.m.master_estimate, EPS0 * 0.1, 1e-25);
}

// ---------------------------------------------------------------------------
// Whole runs on the real tables

struct WalkRunCase {
    InDir in{TableRoot()};
    std::vector<Cuboid> boxes;
    Media media;
    Cuboid window{0, -3, -3, -3, 4, 4, 4};
    WalkMgr m;
    Stores s;

    WalkRunCase(std::vector<Cuboid> b, int conductors, std::vector<double> z = {-20, 20},
                std::vector<double> eps = {1.0})
        : boxes(std::move(b)), media(z, eps), s(conductors)
    {
        ResetStatics();
    }
    ~WalkRunCase() { ResetStatics(); }

    void Go(char mode, long long walks, double precision, int threads, int weight_select = 4)
    {
        CaptureOutput quiet;
        s.Prepare(m, mode, BoxList(boxes), media.list, walks, precision, &window, weight_select);
        m.fixed_seed = true;
        m.seed_base = 4242;
        m.StartAll(threads);
        m.WaitEnd();
    }
    long long Counted() const
    {
        return std::accumulate(s.is_count.begin(), s.is_count.end(), 0LL);
    }
};

const Cuboid WIRE_A(0, 0, 0, 0, 2, 0.2, 0.2);
const Cuboid WIRE_B(1, 0, 0.6, 0, 2, 0.8, 0.2);

TEST(WalkRun, ChecksEveryThousandWalksAndStopsAtTheFirstCheckPastTheTarget)
{
    const int rows[][3] = {{10, 1, 1001}, {100, 0, 1}, {2500, 1, 3003}};  // target, threads, count
    for (const auto& row : rows) {
        WalkRunCase r({WIRE_A, WIRE_B}, 2);
        r.Go('t', row[0], 0, row[1]);
        EXPECT_EQ(r.m.walk_count, row[2]) << "target " << row[0];
        EXPECT_EQ(r.Counted(), row[2] - 1) << "target " << row[0];
        if (row[1] == 0) {
            EXPECT_TRUE(std::isnan(r.s.cap[0]));
            continue;
        }
        // Each walk lands in the stratum of its start face and weight sign.
        for (int k = 0; k < 12; k++)
            for (int i = 0; i < 3; i++)
                EXPECT_TRUE(k < 6 ? r.s.is_sum[k][i] >= 0 : r.s.is_sum[k][i] <= 0) << "stratum " << k;
        EXPECT_EQ(r.s.cap2, std::vector<double>(3, 0.0));
        EXPECT_GT(r.s.cap[0], 0.0);  // self capacitance
        EXPECT_LT(r.s.cap[1], 0.0);  // coupling
        EXPECT_GT(r.m.total_hops, r.Counted());
    }
}

TEST(WalkRun, WalksLeavingTheWindowGoToTheLastSlot)
{
    WalkRunCase r({WIRE_A}, 1);
    r.Go('t', 3000, 0, 1);
    double escaped = 0;
    for (int k = 0; k < 12; k++)
        escaped += std::fabs(r.s.is_sum[k][1]);
    EXPECT_GT(escaped, 0.0);
    EXPECT_GT(r.s.cap[0], 0.0);
}

TEST(WalkRun, PrecisionTargetIsReached)
{
    WalkRunCase r({WIRE_A, WIRE_B}, 2, {-20, 20}, {3.9});
    r.Go('p', 0, 0.05, 1);
    EXPECT_TRUE(r.m.stop);
    EXPECT_GE(r.m.converged_checks, 4);
    EXPECT_LT(r.s.err[0] / r.s.cap[0], 0.06);
}

TEST(WalkRun, TwoThreadsInTwoDielectrics)
{
    // The master's Gaussian surface ends exactly on the interface at 0.4:
    // half first hops, half hops and clipped cubes all occur.
    WalkRunCase r({WIRE_A, Cuboid(1, 0, 0, 0.6, 2, 0.2, 0.8)}, 2, {-20, 0.4, 20}, {3.9, 2.5});
    r.Go('t', 6000, 0, 2);
    EXPECT_NEAR(r.m.gauss_surface.z1, 0.4, 1e-12);
    EXPECT_GE(r.m.walk_count, 6000);
    EXPECT_EQ(r.Counted(), r.m.walk_count - 1);
    EXPECT_TRUE(r.m.walkers.empty());
    EXPECT_GT(r.s.cap[0], 0.0);
    EXPECT_LT(r.s.cap[1], 0.0);
    EXPECT_TRUE(std::isfinite(r.s.err[0]));
}

TEST(WalkRun, OtherWeightSelectorsAgreeOnTheSelfCapacitance)
{
    double reference = 0;
    for (int ws = 4; ws >= 0; ws--) {
        WalkRunCase r({WIRE_A, WIRE_B}, 2);
        r.Go('t', 8000, 0, 1, ws);
        ASSERT_TRUE(std::isfinite(r.s.err[0])) << "selector " << ws;
        if (ws == 4)
            reference = r.s.cap[0];
        // Loose: each selector has its own variance.
        EXPECT_NEAR(r.s.cap[0], reference, 6 * r.s.err[0] + 0.05 * reference) << "selector " << ws;
        if (ws == 3) {
            EXPECT_EQ(std::accumulate(r.s.ss_count.begin(), r.s.ss_count.end(), 0LL),
                      r.m.walk_count - 1);
        }
    }
}

// Whether two generators will draw the same sequence from here on.
bool SameState(const CRandomMersenne& a, const CRandomMersenne& b)
{
    return a.next == b.next && std::equal(a.state, a.state + CRandomMersenne::MT_N, b.state);
}

TEST(WalkRun, WorkersAreSeededFromTheBaseAndTheirIndex)
{
    WalkRunCase r({WIRE_A, WIRE_B}, 2);
    {
        CaptureOutput quiet;
        r.s.Prepare(r.m, 't', BoxList(r.boxes), r.media.list, 10, 0, &r.window);
    }
    r.m.stop = true;  // each worker makes one walk, drops it and ends
    r.m.fixed_seed = true;
    r.m.seed_base = (int)WalkMgr::ClockSeed();
    r.m.StartAll(3);
    ASSERT_EQ(r.m.walkers.size(), 3u);
    for (int i = 0; i < 3; i++) {
        Randomwalk* w = r.m.walkers[i];
        w->Wait();
        EXPECT_EQ(w->id, i);
        // The seeding generator serves only the two seeds: it has made
        // exactly two draws since it was seeded with the base + 57005 i.
        CRandomMersenne seed((int)((uint32_t)r.m.seed_base + 57005u * (uint32_t)i));
        seed.IRandomX(0, 2147483647);
        seed.IRandomX(0, 2147483647);
        EXPECT_TRUE(SameState(seed, w->rand_seed)) << "worker " << i;
        delete w;
    }
    r.m.walkers.clear();
    EXPECT_EQ(r.m.walk_count, 1);
    // Runs started within the same second no longer share their seeds.
    EXPECT_NE(WalkMgr::ClockSeed(), WalkMgr::ClockSeed());
}

// ---------------------------------------------------------------------------
// Report

TEST(OutputZone, PercentagesBoundsAndWideNames)
{
    CaptureOutput out;
    WalkMgr::PrintOutputZone({"master", "a_conductor_name_longer_than_twenty", "weak", "none"},
                             {-1.5e-16, 2e-17, 1e-18, 0.0, 7.0}, {1.5e-18, 1e-18, 6e-19, 0.0, 1.0});
    EXPECT_EQ(out.Text(),
              "\n\t\t==============\n\t\t Output Zone\n\t\t==============\n[Korva's Results]:\n"
              "              master:   1.50e-16F      +/-  1.50e-18F     (1.00%)\n"
              "a_conductor_name_longer_than_twenty:   2.00e-17F      +/-  1.00e-18F     (5.00%)\n"
              "                weak:   1.00e-18F      +/-  6.00e-19F     <~ 2.200e-18F\n"
              "                none:   0.00e+00F      +/-  0.00e+00F     <~ 0.000e+00F\n");
}

}  // namespace
