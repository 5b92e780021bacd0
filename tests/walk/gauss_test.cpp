// The Gaussian surface: its box, its bands and shares, and the start points
// drawn on it.
#include <cmath>
#include <map>

#include "walk_support.h"

namespace {

Cuboid Box(int id, double x0, double y0, double z0, double x1, double y1, double z1)
{
    return Cuboid(id, x0, y0, z0, x1, y1, z1);
}

void ExpectBox(const Cuboid& got, const Cuboid& want)
{
    EXPECT_NEAR(got.x0, want.x0, 1e-12);
    EXPECT_NEAR(got.y0, want.y0, 1e-12);
    EXPECT_NEAR(got.z0, want.z0, 1e-12);
    EXPECT_NEAR(got.x1, want.x1, 1e-12);
    EXPECT_NEAR(got.y1, want.y1, 1e-12);
    EXPECT_NEAR(got.z1, want.z1, 1e-12);
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
        std::vector<const Cuboid*> list;
        for (const Cuboid& b : boxes)
            list.push_back(&b);
        CaptureOutput quiet;
        stores.Prepare(m, 't', list, media, 1000, 0.01, &window, 4, gauss_select);
    }
    ~Prepared() { ResetStatics(); }

    std::vector<Cuboid> boxes;
};

struct Media {
    std::vector<Cuboid> blocks;
    std::vector<Medium> media;
    std::vector<Medium*> list;

    // Slabs between consecutive heights, with the given permittivities.
    Media(const std::vector<double>& z, const std::vector<double>& eps)
    {
        blocks.reserve(eps.size());
        media.reserve(eps.size());
        for (size_t i = 0; i < eps.size(); i++) {
            blocks.push_back(Box(0, -20, -20, z[i], 20, 20, z[i + 1]));
            media.push_back(Medium(&blocks.back(), eps[i]));
        }
        for (Medium& m : media)
            list.push_back(&m);
    }
};

const Cuboid UNIT = Box(0, 0, 0, 0, 1, 1, 1);

TEST(GaussBox, OneConductorInOneMediumGrowsByFourFifthsOfTheSmallestExtent)
{
    Media air({-20, 20}, {1.0});
    Prepared p({Box(0, 0, 0, 0, 1, 2, 3)}, air.list, 1);
    ExpectBox(p.m.gauss_surface, Box(0, -0.8, -0.8, -0.8, 1.8, 2.8, 3.8));
    EXPECT_EQ(p.m.gauss_surface.id, 0);
}

TEST(GaussBox, ConductorAboveGivesHalfItsGapOnEverySide)
{
    Media air({-20, 20}, {1.0});
    Prepared p({UNIT, Box(1, 0, 0, 2, 1, 1, 3)}, air.list, 2);
    ExpectBox(p.m.gauss_surface, Box(0, -0.5, -0.5, -0.5, 1.5, 1.5, 1.5));
}

TEST(GaussBox, DiagonalBlocksCountOnlyInTheirLInfinityDirections)
{
    Media air({-20, 20}, {1.0});
    // Gap 2 along x and 1 along y: only the x gap is its distance, so the
    // y gap of 1 must not set the margin.
    Prepared p({UNIT, Box(1, 3, 2, 0, 4, 3, 1), Box(2, 0, 0, 4, 1, 1, 5)}, air.list, 3);
    ExpectBox(p.m.gauss_surface, Box(0, -1, -1, -1, 2, 2, 2));
}

TEST(GaussBox, MultiBlockMasterUsesTheBoundingBoxOfItsBlocks)
{
    Media air({-20, 20}, {1.0});
    Prepared p({UNIT, Box(0, 1, 0, 0, 2, 1, 1), Box(1, 0, 0, 2, 2, 1, 3)}, air.list, 2);
    ExpectBox(p.m.master_box, Box(0, 0, 0, 0, 2, 1, 1));
    ExpectBox(*p.m.spacemgr->master, p.m.master_box);
    ExpectBox(p.m.gauss_surface, Box(0, -0.5, -0.5, -0.5, 2.5, 1.5, 1.5));
}

TEST(GaussBox, InterfaceOfTheLayerAboveLimitsTheTopMargin)
{
    // Layers: 2.5 below -1, 3.9 up to 2, 2.5 up to 2.5, 3.9 above. The far
    // face of the layer above the master is 2.5, 1.5 above its top.
    Media stack({-20, -1, 2, 2.5, 20}, {2.5, 3.9, 2.5, 3.9});
    Prepared p({UNIT, Box(1, 11, 0, 0, 12, 1, 1)}, stack.list, 2);
    ExpectBox(p.m.gauss_surface, Box(0, -0.75, -0.75, -0.75, 1.75, 1.75, 1.75));
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

TEST(GaussBands, BoxAcrossAnInterfaceGetsOneSideBandPerLayer)
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
}

TEST(GaussBands, BottomFaceOnAnInterfaceKeepsItsEntryWithTheUpperPermittivity)
{
    Media stack({-20, -1, 20}, {3.9, 2.5});
    Prepared p({UNIT, Box(1, 0, 0, -3, 1, 1, -2)}, stack.list, 2);
    const WalkMgr& m = p.m;
    ASSERT_NEAR(m.gauss_surface.z0, -1.0, 0);
    ASSERT_EQ(m.sizes.size(), 3u);
    EXPECT_NEAR(m.sizes[0], 4.5 * 2.5, 1e-12);
    EXPECT_NEAR(m.face_share[0] + m.face_share[1] + m.face_share[2] + m.face_share[3] +
                    m.face_share[4] + m.face_share[5],
                1.0, 1e-12);
    EXPECT_FALSE(Layers::half_weight_array.empty());
}

TEST(GaussBands, SideBandWeightAndSharesFollowTheirFormulasToTheBit)
{
    Media air({-20, 20}, {1.0});
    Prepared p({UNIT, Box(1, 0, 0, 2, 1, 1, 3)}, air.list, 2);
    // A box with six different gaps, cut directly: the band weight and its
    // cumulative shares must come out of the very expressions, not out of
    // an algebraically equal but differently rounded form.
    const Cuboid g = Box(0, -0.2, -0.9, -0.4, 1.7, 1.3, 1.3);
    const Cuboid master = Box(0, 0, 0, 0, 1.1, 0.7, 1.0);
    std::vector<double> diels, sizes, g_endz;
    std::vector<std::vector<double>> side_cdfs;
    double dist[6];
    ASSERT_TRUE(p.m.CutGauss(*p.m.layers, g, &master, diels, sizes, g_endz, side_cdfs, dist));
    ASSERT_EQ(sizes.size(), 3u);
    const double dx = g.x1 - g.x0, dy = g.y1 - g.y0, h = g.z1 - g.z0;
    const double band = (dy / dist[4] + dx / dist[3] + dy / dist[2] + dx / dist[1]) * h;
    const double ps1 = (dx * h / dist[1]) / band;
    const double ps2 = ps1 + (dy * h / dist[2]) / band;
    const double ps3 = ps2 + (dx * h / dist[3]) / band;
    const double ps4 = ps3 + (dy * h / dist[4]) / band;
    EXPECT_EQ(sizes[1], band);
    EXPECT_EQ(side_cdfs[1], (std::vector<double>{ps1, ps2, ps3, ps4}));
    EXPECT_EQ(sizes[0], dx * dy / dist[0]);
    EXPECT_EQ(sizes[2], dx * dy / dist[5]);
    EXPECT_EQ(g_endz, (std::vector<double>{0.0, h, h}));
    EXPECT_EQ(dist[0], 2 * (master.z0 - g.z0));
    EXPECT_EQ(dist[2], 2 * (g.x1 - master.x1));
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

TEST(GaussPoint, DrawsFacesAndBandsWithTheTabulatedProbabilities)
{
    Media stack({-20, 1.5, 20}, {3.9, 2.5});
    Prepared p({UNIT, Box(1, 0, 0, 3, 1, 1, 4), Box(2, 3, 0, 0, 4, 1, 1)}, stack.list, 3);
    CheckDraws(p.m, 200000);
}

TEST(GaussPoint, NeverDrawsAZeroHeightBand)
{
    Media stack({-20, 2, 20}, {3.9, 2.5});
    Prepared p({UNIT, Box(1, 0, 0, 3, 1, 1, 4)}, stack.list, 2);
    CheckDraws(p.m, 100000);
}

}  // namespace
