// Runs on the real tables: the Gaussian surface, the checks every thousand
// walks, the stopping rules, the threads, the weight selectors and the report.
#include <unistd.h>

#include <cmath>
#include <numeric>

#include "walk_support.h"

namespace {

const Cuboid UNIT(0, 0, 0, 0, 1, 1, 1);

// A run in the table folder with the driver's result stores: [strata][n + 1]
// sums as row pointers.
struct WalkRunCase {
    std::string old = [] { char b[4096]; return std::string(getcwd(b, sizeof b) ? b : "."); }();
    std::vector<Cuboid> boxes;
    Media media;
    Cuboid window{0, -20, -20, -20, 20, 20, 20};
    WalkMgr m;
    const int n = boxes.back().id + 1;
    std::vector<double> cap = std::vector<double>(n + 1), cap2 = cap, err = cap;
    std::vector<std::vector<double>> rows[4];
    std::vector<double*> sums[4];  // is_sum, is_sum2, ss_sum, ss_sum2
    std::vector<long long> is_count = std::vector<long long>(12), ss_count = std::vector<long long>(17);

    WalkRunCase(std::vector<Cuboid> b, std::vector<double> z = {-20, 20}, std::vector<double> eps = {1.0})
        : boxes(std::move(b)), media(z, eps)
    {
        EXPECT_EQ(chdir(TableRoot().c_str()), 0);
        for (int t = 0; t < 4; t++) {
            rows[t].assign(t < 2 ? 12 : 17, std::vector<double>(n + 1));
            for (auto& r : rows[t])
                sums[t].push_back(r.data());
        }
    }
    ~WalkRunCase() { EXPECT_EQ(chdir(old.c_str()), 0); }
    void Prepare(char mode, long long walks, double precision, int weight_select = 4)
    {
        std::vector<const Cuboid*> list;
        for (const Cuboid& b : boxes)
            list.push_back(&b);
        testing::internal::CaptureStdout();
        m.BindRun(mode, walks, precision, cap, cap2, err, sums[2].data(), sums[3].data(), ss_count, sums[0].data(),
                  sums[1].data(), is_count);
        m.PrepareShared(list, media.list, 1, weight_select, &window);
        std::string error;
        EXPECT_TRUE(m.PrepareMaster(error)) << error;
        testing::internal::GetCapturedStdout();
    }
    void Go(char mode, long long walks, double precision, int threads, int weight_select = 4,
            uint64_t seed = 4242)
    {
        Prepare(mode, walks, precision, weight_select);
        m.fixed_seed = true;
        m.seed_base = seed;
        testing::internal::CaptureStdout();
        m.StartAll(threads);
        m.WaitEnd();
        testing::internal::GetCapturedStdout();
    }
    long long Counted() const { return std::accumulate(is_count.begin(), is_count.end(), 0LL); }
};

// The surface around the master keeps from its neighbours and from the far
// faces of the layers next to it.
TEST(GaussBox, MarginsFromNeighboursInterfacesAndBlocks)
{
    const struct {
        const char* what;
        std::vector<double> z, eps;
        std::vector<Cuboid> blocks;
        std::vector<double> want;
    } rows[] = {
        {"alone: 4/5 of the smallest extent", {-20, 20}, {1.0}, {Cuboid(0, 0, 0, 0, 1, 2, 3)},
         {-0.8, -0.8, -0.8, 1.8, 2.8, 3.8}},
        {"conductor above: half its gap", {-20, 20}, {1.0}, {UNIT, Cuboid(1, 0, 0, 2, 1, 1, 3)},
         {-0.5, -0.5, -0.5, 1.5, 1.5, 1.5}},
        // Gap 2 along x and 1 along y: only the x gap is its distance.
        {"diagonal block: L-infinity gap", {-20, 20}, {1.0},
         {UNIT, Cuboid(1, 3, 2, 0, 4, 3, 1), Cuboid(2, 0, 0, 4, 1, 1, 5)}, {-1, -1, -1, 2, 2, 2}},
        // The far face of the layer above the master is 2.5, 1.5 above its top.
        {"far face of the layer above", {-20, -1, 2, 2.5, 20}, {2.5, 3.9, 2.5, 3.9},
         {UNIT, Cuboid(1, 11, 0, 0, 12, 1, 1)}, {-0.75, -0.75, -0.75, 1.75, 1.75, 1.75}},
        {"far face of the layer below", {-20, -2, -1.5, 20}, {2.5, 3.9, 2.5},
         {UNIT, Cuboid(1, 0, 0, 4, 1, 1, 5)}, {-1, -1, -1, 2, 2, 2}},
    };
    for (const auto& r : rows) {
        WalkRunCase c(r.blocks, r.z, r.eps);
        c.Prepare('t', 1000, 0.01);
        const Cuboid& g = c.m.shared.gauss_surface;
        const double got[6] = {g.x0, g.y0, g.z0, g.x1, g.y1, g.z1};
        for (int i = 0; i < 6; i++)
            EXPECT_NEAR(got[i], r.want[i], 1e-12) << r.what << ", coordinate " << i;
    }
}

const Cuboid WIRE_A(0, 0, 0, 0, 2, 0.2, 0.2);
const Cuboid WIRE_B(1, 0, 0.6, 0, 2, 0.8, 0.2);

TEST(WalkRun, ChecksEveryThousandWalksAndStopsAtTheFirstCheckPastTheTarget)
{
    const int rows[][3] = {{10, 1, 1001}, {100, 0, 1}, {2500, 1, 3003}};  // target, threads, count
    for (const auto& row : rows) {
        WalkRunCase r({WIRE_A, WIRE_B});
        r.Go('t', row[0], 0, row[1]);
        EXPECT_EQ(r.m.shared.walk_count, row[2]) << "target " << row[0];
        EXPECT_EQ(r.Counted(), row[2] - 1) << "target " << row[0];
        if (row[1] == 0) {
            EXPECT_TRUE(std::isnan(r.cap[0]));
            continue;
        }
        // Each walk lands in the stratum of its start face and weight sign.
        for (int k = 0; k < 12; k++)
            for (int i = 0; i < 3; i++)
                EXPECT_TRUE(k < 6 ? r.sums[0][k][i] >= 0 : r.sums[0][k][i] <= 0) << "stratum " << k;
        EXPECT_GT(r.cap[0], 0.0);  // self capacitance
        EXPECT_LT(r.cap[1], 0.0);  // coupling
        EXPECT_GT(r.m.shared.total_hops, r.Counted());
    }
}

TEST(WalkRun, PrecisionTargetNeedsFourPassingChecks)
{
    WalkRunCase r({WIRE_A, WIRE_B}, {-20, 20}, {3.9});
    r.Go('p', 0, 0.05, 1);
    EXPECT_TRUE(r.m.shared.stop);
    EXPECT_GE(r.m.shared.converged_checks, 4);
    EXPECT_LT(r.err[0] / r.cap[0], 0.05);
    EXPECT_GT(r.err[0] / r.cap[0], 0.02);  // it stopped soon after reaching it
}

// The master's Gaussian surface ends exactly on the interface at 0.4: half
// first hops, half hops and clipped cubes all occur.
TEST(WalkRun, TwoThreadsWithTheSurfaceOnAnInterface)
{
    double cap[2], err[2];
    {
        WalkRunCase r({WIRE_A, Cuboid(1, 0, 0, 0.6, 2, 0.2, 0.8)}, {-20, 0.4, 20}, {3.9, 2.5});
        r.Go('t', 6000, 0, 2);
        EXPECT_NEAR(r.m.shared.gauss_surface.z1, 0.4, 1e-12);
        EXPECT_EQ(r.Counted(), r.m.shared.walk_count - 1);
        EXPECT_LT(r.cap[1], 0.0);
        std::copy(r.cap.begin(), r.cap.begin() + 2, cap);
        std::copy(r.err.begin(), r.err.begin() + 2, err);
    }
    // Workers that add their walks a few at a time estimate what one worker
    // adding each walk at once does.
    WalkRunCase one({WIRE_A, Cuboid(1, 0, 0, 0.6, 2, 0.2, 0.8)}, {-20, 0.4, 20}, {3.9, 2.5});
    one.Go('t', 6000, 0, 1);
    for (int k = 0; k < 2; ++k)
        EXPECT_NEAR(cap[k], one.cap[k], 5 * std::hypot(err[k], one.err[k])) << "conductor " << k;
}

// Every weight selector estimates the same capacitance across an
// interface, and the error it reports is the spread of independent seeded
// runs: over R runs the sample variance divided by the mean reported one
// is chi-square with R - 1 = 23 degrees of freedom, over 23, which leaves
// [0.143, 3.15] with probability 1e-6; selectors 0 to 2 share one formula,
// and the mean of their three ratios (69 degrees) leaves [0.375, 2.06].
TEST(WalkRun, EverySelectorsErrorIsTheSpreadOfSeededRuns)
{
    const int R = 24;
    double reference = 0, reference_se = 0, pooled = 0;
    for (int ws = 4; ws >= 0; ws--) {
        std::vector<double> cap;
        double reported = 0;
        for (int run = 0; run < R; run++) {
            WalkRunCase r({WIRE_A, Cuboid(1, 0, 0, 0.6, 2, 0.2, 0.8)}, {-20, 0.5, 20}, {3.9, 2.5});
            r.Go('t', 1000, 0, 1, ws, 7000 + run);
            cap.push_back(r.cap[0]);
            reported += r.err[0] * r.err[0] / R;
            if (ws == 3) {
                EXPECT_EQ(std::accumulate(r.ss_count.begin(), r.ss_count.end(), 0LL),
                          r.m.shared.walk_count - 1);
            }
        }
        const double mean = std::accumulate(cap.begin(), cap.end(), 0.0) / R;
        double spread = 0;
        for (double c : cap)
            spread += (c - mean) * (c - mean) / (R - 1);
        EXPECT_GT(spread / reported, 0.143) << "selector " << ws;
        EXPECT_LT(spread / reported, 3.15) << "selector " << ws;
        pooled += ws <= 2 ? spread / reported / 3 : 0;
        if (ws == 4)
            reference = mean, reference_se = std::sqrt(spread / R);
        EXPECT_LT(std::sqrt(reported), 0.34 * reference) << "selector " << ws;
        EXPECT_NEAR(mean, reference, 5 * std::hypot(std::sqrt(spread / R), reference_se)) << "selector " << ws;
    }
    EXPECT_GT(pooled, 0.375);
    EXPECT_LT(pooled, 2.06);
}

TEST(OutputZone, PercentagesBoundsWideNamesUnreachedAndTheWindow)
{
    const std::string head = "\n\t\t==============\n\t\t Output Zone\n\t\t==============\n[Korva's Results]:\n";
    const struct {
        std::vector<std::string> names;
        std::vector<double> cap, err;  // the window's slot last
        std::string rows;
    } cases[] = {
        {{"master", "a_conductor_name_longer_than_twenty", "weak", "none"},
         {-1.5e-16, 2e-17, 1e-18, 0.0, 7.0}, {1.5e-18, 1e-18, 6e-19, 0.0, 1.0},
         "              master:   1.50e-16F      +/-  1.50e-18F     (1.00%)\n"
         "a_conductor_name_longer_than_twenty:   2.00e-17F      +/-  1.00e-18F     (5.00%)\n"
         "                weak:   1.00e-18F      +/-  6.00e-19F     <~ 2.200e-18F\n"
         "                none:   0.00e+00F      +/-  0.00e+00F     <~ 0.000e+00F\n"
         "            (window):   7.00e+00F      +/-  1.00e+00F     (14.29%)\n"},
        // Two or more unreached ones fold into one line, wherever they stand.
        {{"m", "z1", "c", "z2", "z3"}, {2e-16, 0.0, -1e-16, 0.0, 0.0, -1e-16}, {2e-18, 0.0, 2e-18, 0.0, 0.0, 4e-18},
         "                   m:   2.00e-16F      +/-  2.00e-18F     (1.00%)\n"
         "                   c:   1.00e-16F      +/-  2.00e-18F     (2.00%)\n"
         "                      3 other conductors: no walk reached them\n"
         "            (window):   1.00e-16F      +/-  4.00e-18F     (4.00%)\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        WalkMgr::PrintOutputZone(c.names, c.cap, c.err);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), head + c.rows);
    }
}

// A walk's result must not depend on what the worker's walk before it did:
// every table a walk reads has to be selected for the walk's own position.
bool Same(const Randomwalk::WalkEnd& a, const Randomwalk::WalkEnd& b)
{
    return a.slot == b.slot && a.weight == b.weight && a.id_gss == b.id_gss && a.hops == b.hops;
}

TEST(WalkHistory, SeededWalksAgreeWhicheverWalkCameBefore)
{
    // A plate in the middle of three layers, with ground planes in the outer
    // ones: a walk ends in another layer than the next one starts in, and
    // the Gaussian surface crosses both interfaces.
    WalkRunCase r({Cuboid(0, -5, -5, 0.5, 5, 5, 0.6), Cuboid(1, -20, -20, -0.5, 20, 20, 0),
                   Cuboid(2, -20, -20, 2.1, 20, 20, 2.6)},
                  {-0.5, 0.3, 0.64, 2.6}, {3.9, 2.5, 3.9});
    r.window = Cuboid(0, -20, -20, -0.5, 20, 20, 2.6);
    r.Prepare('t', 100, 0.01);
    // Two workers run the same seeded walks in opposite orders.
    const int walks = 256;
    std::vector<Randomwalk::WalkEnd> forward(walks), backward(walks);
    Randomwalk a(0, &r.m.shared, *r.m.layers, 1, 4), b(1, &r.m.shared, *r.m.layers, 1, 4);
    auto seeded = [](Randomwalk& w, int seed) {
        w.rand_walk = CRandomMersenne(seed);
        w.rand_gauss = CRandomMersenne(seed + 7919);
        return w.Walk();
    };
    for (int i = 0; i < walks; i++)
        forward[i] = seeded(a, 100 + i);
    for (int i = walks - 1; i >= 0; i--)
        backward[i] = seeded(b, 100 + i);
    int ends[3] = {0, 0, 0};
    for (int i = 0; i < walks; i++) {
        EXPECT_TRUE(Same(forward[i], backward[i]))
            << "walk " << i << ": slot " << forward[i].slot << " / " << backward[i].slot << ", hops "
            << forward[i].hops << " / " << backward[i].hops;
        if (forward[i].slot >= 0 && forward[i].slot < 3)
            ends[forward[i].slot]++;
    }
    // Walks end on both planes, so the workers' histories do differ.
    EXPECT_GT(ends[1], 0);
    EXPECT_GT(ends[2], 0);
}

// Seeds that differ only above bit 31 give other walks; one seed gives the
// same walks again.
TEST(WalkRun, EveryBitOfTheSeedMovesTheWalks)
{
    auto sums = [](uint64_t seed) {
        WalkRunCase r({UNIT, Cuboid(1, 1.5, 0, 0, 2.5, 1, 1)});
        r.Go('t', 2000, 0.01, 1, 4, seed);
        return r.rows[0];
    };
    const uint64_t high = 1ull << 32;
    const auto low = sums(4242), a = sums(4242 + high), b = sums(4242 + 2 * high), top = sums(4242 + (high << 31));
    EXPECT_EQ(a, sums(4242 + high));
    EXPECT_NE(a, low);
    EXPECT_NE(b, low);
    EXPECT_NE(a, b);
    EXPECT_NE(top, a);
}

}  // namespace
