// The Gaussian surface: its box, its bands and shares, and the start points
// drawn on it.
#include <cmath>
#include <numeric>

#include "walk_support.h"

namespace {

using Box = Cuboid;

void ExpectBox(const Cuboid& got, const Cuboid& want)
{
    const double g[6] = {got.x0, got.y0, got.z0, got.x1, got.y1, got.z1};
    const double w[6] = {want.x0, want.y0, want.z0, want.x1, want.y1, want.z1};
    for (int i = 0; i < 6; i++)
        EXPECT_NEAR(g[i], w[i], 1e-12) << "coordinate " << i;
}

// A prepared run over the given blocks and media, in the table folder.
struct Prepared {
    InDir in{TableRoot()};
    WalkMgr m;
    Stores stores;
    Cuboid window;

    Prepared(const std::vector<Cuboid>& blocks, const std::vector<Medium*>& media, int conductors,
             int gauss_select = 1)
        : stores(conductors), window(0, -20, -20, -20, 20, 20, 20), boxes(blocks)
    {
        ResetStatics();
        CaptureOutput quiet;
        stores.Prepare(m, 't', BoxList(boxes), media, 1000, 0.01, &window, 4, gauss_select);
    }
    ~Prepared() { ResetStatics(); }

    std::vector<Cuboid> boxes;
};

const Cuboid UNIT = Box(0, 0, 0, 0, 1, 1, 1);

TEST(GaussBox, MarginsFromNeighboursInterfacesAndBlocks)
{
    struct Row {
        const char* what;
        std::vector<double> z, eps;
        std::vector<Cuboid> blocks;
        int conductors;
        Cuboid want;
    } rows[] = {
        {"alone: 4/5 of the smallest extent", {-20, 20}, {1.0}, {Box(0, 0, 0, 0, 1, 2, 3)}, 1,
         Box(0, -0.8, -0.8, -0.8, 1.8, 2.8, 3.8)},
        {"conductor above: half its gap", {-20, 20}, {1.0}, {UNIT, Box(1, 0, 0, 2, 1, 1, 3)}, 2,
         Box(0, -0.5, -0.5, -0.5, 1.5, 1.5, 1.5)},
        // Gap 2 along x and 1 along y: only the x gap is its distance.
        {"diagonal block: L-infinity gap", {-20, 20}, {1.0},
         {UNIT, Box(1, 3, 2, 0, 4, 3, 1), Box(2, 0, 0, 4, 1, 1, 5)}, 3, Box(0, -1, -1, -1, 2, 2, 2)},
        // The far face of the layer above the master is 2.5, 1.5 above its top.
        {"far face of the layer above", {-20, -1, 2, 2.5, 20}, {2.5, 3.9, 2.5, 3.9},
         {UNIT, Box(1, 11, 0, 0, 12, 1, 1)}, 2, Box(0, -0.75, -0.75, -0.75, 1.75, 1.75, 1.75)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Media media(r.z, r.eps);
        Prepared p(r.blocks, media.list, r.conductors);
        ExpectBox(p.m.gauss_surface, r.want);
        EXPECT_EQ(p.m.gauss_surface.id, 0);
    }
}

TEST(GaussBoxDeath, NoConductorIsReportedByTheSurfaceChoice)
{
    TableRoot();
    Media air({-20, 20}, {1.0});
    EXPECT_DEATH(
        {
            Log::ero = stderr;
            InDir in(TableRoot());
            ResetStatics();
            WalkMgr m;
            Stores s(0);
            s.Prepare(m, 't', {}, air.list, 100, 0.01, nullptr);
        },
        "There is no conductor in this case!korva: src/walkmgr:[0-9]+: const Cuboid "
        "WalkMgr::GetGauss\\(Vector3, Vector3\\): Assertion `false' failed.");
}

TEST(GaussBox, OneConductorInSeveralMediaTakesTheHalfwayBox)
{
    Media stack({-20, 0.5, 20}, {3.9, 2.5});
    Prepared p({UNIT}, stack.list, 1);
    const Cuboid w = p.window;  // the enlarged window
    ExpectBox(p.m.gauss_surface, Box(0, w.x0 / 2, w.y0 / 2, w.z0 / 2, (1 + w.x1) / 2,
                                     (1 + w.y1) / 2, (1 + w.z1) / 2));
}

// Draws many start points and compares the faces and bands with the tables.
void CheckDraws(const WalkMgr& m, int draws)
{
    Randomwalk rw(0, const_cast<WalkMgr*>(&m), *m.layers, 1, 4);
    rw.rand_walk = CRandomMersenne(12345);
    rw.rand_gauss = CRandomMersenne(6789);
    std::vector<int> faces(6), bands(m.sizes.size());
    const Cuboid& g = m.gauss_surface;
    for (int i = 0; i < draws; i++) {
        int id = -1, band = -1;
        Vector3 p = rw.GetGaussPoint(g, m.sizes, m.diels, m.g_endz, m.side_cdfs, id, band);
        ASSERT_TRUE(id >= 0 && id <= 5);
        faces[id]++;
        bands[band]++;
        const double on[6] = {p.z - g.z0, p.y - g.y0, p.x - g.x1, p.y - g.y1, p.x - g.x0, p.z - g.z1};
        ASSERT_EQ(on[id], 0.0) << "face " << id;
        ASSERT_TRUE(p.x >= g.x0 && p.x <= g.x1 && p.y >= g.y0 && p.y <= g.y1);
        if (id >= 1 && id <= 4) {
            // The centre of one of 50 slices of the band.
            const double lo = g.z0 + m.g_endz[band - 1], hi = g.z0 + m.g_endz[band];
            const double slice = (p.z - lo) / (hi - lo) * 50 - 0.5;
            ASSERT_NEAR(slice, std::round(slice), 1e-6);
        }
    }
    for (int k = 0; k < 6; k++) {
        const double p = m.face_share[k];
        const double sigma = std::sqrt(draws * p * (1 - p));
        EXPECT_NEAR(faces[k], draws * p, 5 * sigma + 1) << "face " << k;
    }
    double prev = 0;
    for (size_t b = 0; b < bands.size(); b++) {
        const double p = (m.diels[b] - prev) / m.gauss_total;
        prev = m.diels[b];
        const double sigma = std::sqrt(draws * p * (1 - p));
        EXPECT_NEAR(bands[b], draws * p, 5 * sigma + 1) << "band " << b;
        if (p == 0) {
            EXPECT_EQ(bands[b], 0);
        }
    }
}

TEST(GaussBands, BoxAcrossAnInterfaceGetsOneSideBandPerLayerAndDrawsByThem)
{
    Media stack({-20, 1.5, 20}, {3.9, 2.5});
    Prepared p({UNIT, Box(1, 0, 0, 3, 1, 1, 4)}, stack.list, 2);
    const WalkMgr& m = p.m;
    ExpectBox(m.gauss_surface, Box(0, -1, -1, -1, 2, 2, 2));
    ASSERT_EQ(m.sizes.size(), 4u);
    // Raw weights: faces 3 x 3 over divisor 2; sides 4 x 3 / 2 per height.
    const double w[4] = {4.5 * 3.9, 15 * 3.9, 3 * 2.5, 4.5 * 2.5};
    const double total = w[0] + w[1] + w[2] + w[3];
    double cum = 0;
    for (int i = 0; i < 4; i++) {
        cum += w[i];
        EXPECT_NEAR(m.sizes[i], w[i], 1e-12);
        EXPECT_NEAR(m.diels[i], cum, 1e-12);
    }
    EXPECT_NEAR(m.gauss_total, total, 1e-12);
    EXPECT_EQ(m.g_endz, (std::vector<double>{0.0, 2.5, 3.0, 3.0}));
    EXPECT_NEAR(m.side_cdfs[1][0], 0.25, 1e-15);
    EXPECT_NEAR(m.side_cdfs[2][3], 1.0, 1e-15);
    for (int k = 0; k < 6; k++)
        EXPECT_DOUBLE_EQ(m.gauss_dist[k], 2.0);
    EXPECT_NEAR(m.face_share[0], w[0] / total, 1e-15);
    EXPECT_NEAR(m.face_share[5], w[3] / total, 1e-15);
    for (int k = 1; k <= 4; k++)
        EXPECT_NEAR(m.face_share[k], (w[1] + w[2]) / 4 / total, 1e-15);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(m.face_share[k + 6], m.face_share[k]);
    CheckDraws(m, 200000);
}

TEST(GaussBands, UniformDivisorsUnderSelectorZero)
{
    Media air({-20, 20}, {1.0});
    Prepared p({UNIT, Box(1, 0, 0, 2, 1, 1, 3)}, air.list, 2, 0);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(p.m.gauss_dist[k], 1.0);
    // Every face is 2 x 2: equal shares.
    for (int k = 0; k < 6; k++)
        EXPECT_NEAR(p.m.face_share[k], 1.0 / 6, 1e-12);
}

TEST(GaussBands, TopFaceOnAnInterfaceGetsAZeroBandAndTheUpperPermittivity)
{
    Media stack({-20, 2, 20}, {3.9, 2.5});
    Prepared p({UNIT, Box(1, 0, 0, 3, 1, 1, 4)}, stack.list, 2);
    const WalkMgr& m = p.m;
    ASSERT_NEAR(m.gauss_surface.z1, 2.0, 0);
    ASSERT_EQ(m.sizes.size(), 4u);
    EXPECT_EQ(m.sizes[2], 0.0);  // the side band of zero height
    EXPECT_EQ(m.diels[2], m.diels[1]);
    EXPECT_NEAR(m.side_cdfs[2][3], 1.0, 1e-12);
    EXPECT_NEAR(m.sizes[3], 4.5 * 2.5, 1e-12);  // top face weighted with the layer above
    // The half-space tables were loaded for the start points on the interface.
    EXPECT_FALSE(Layers::half_weight_array.empty());
    EXPECT_FALSE(Layers::cdf_half_weights.empty());
    CheckDraws(m, 100000);  // never the band of zero height
}

TEST(GaussBands, BottomFaceOnAnInterfaceKeepsItsEntryWithTheUpperPermittivity)
{
    Media stack({-20, -1, 20}, {3.9, 2.5});
    Prepared p({UNIT, Box(1, 0, 0, -3, 1, 1, -2)}, stack.list, 2);
    const WalkMgr& m = p.m;
    ASSERT_NEAR(m.gauss_surface.z0, -1.0, 0);
    ASSERT_EQ(m.sizes.size(), 3u);
    EXPECT_NEAR(m.sizes[0], 4.5 * 2.5, 1e-12);
    EXPECT_NEAR(std::accumulate(m.face_share, m.face_share + 6, 0.0), 1.0, 1e-12);
    EXPECT_FALSE(Layers::half_weight_array.empty());
}

}  // namespace
