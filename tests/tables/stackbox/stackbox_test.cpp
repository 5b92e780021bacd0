// Boxes through several interfaces against physics and brute force: their
// exit laws reproduce the potentials and fluxes a layered medium admits,
// and the box chosen for a start lies in the conductor-free cube around it
// with the start well inside.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "testutil.h"

#include "stackbox.h"

namespace {

// The layered potential with eps u' = 1, u(0) = 0.
double Layered(const std::vector<double>& cuts, const std::vector<double>& eps, double z)
{
    double u = 0, lo = 0;
    for (size_t l = 0; l < eps.size(); ++l) {
        double hi = l < cuts.size() ? cuts[l] : 1.0;
        if (z > lo) u += (std::min(z, hi) - lo) / eps[l];
        lo = hi;
    }
    return u;
}

TEST(StackBoxLaw, ReproducesLayeredPotentialsAndFluxes)
{
    struct Case {
        std::vector<double> cuts, eps;
        double aspect, r;
    };
    const std::vector<Case> cases = {
        {{}, {1.0}, 1.0, 0.5},
        {{0.2, 0.3, 0.45, 0.5, 0.8}, {2, 7, 3, 5, 1, 4}, 0.5, 0.3},
        {{0.2, 0.3, 0.45, 0.5, 0.8}, {2, 7, 3, 5, 1, 4}, 1.0, 0.45},  // start on a cut
        {{0.2, 0.3, 0.45, 0.5, 0.8}, {2, 7, 3, 5, 1, 4}, 4.0, 0.61},
        {{0.5}, {10, 1}, 2.0, 0.25},
    };
    const int S = 24, SZ = 32;
    for (const Case& c : cases) {
        const StackBoxLaw law = SolveStackBox(c.cuts, c.eps, c.aspect, true, S, SZ);
        const StackBoxSample q = StackBoxProbabilities(c.cuts, c.eps, c.aspect, c.r, S, SZ);
        const int Q = law.Quarter(), half = S / 2, rows = law.SZ;
        ASSERT_EQ((int)q.p.size(), law.Entries());
        double total = 0, u = 0, flux = 0, slope = 0, step = c.aspect / S;
        for (int e = 0; e < 2 * Q; ++e) {
            const double face = Layered(c.cuts, c.eps, e < Q ? 0.0 : 1.0);
            const double x = ((e % Q) % half + 0.5) * step;
            EXPECT_GE(q.p[e], 0.0);
            total += q.p[e];
            u += q.p[e] * face;
            flux += q.fz[e] * face;
            slope += q.wx[e] * (x - (c.aspect - x)) / 2;  // its x-mirror has the opposite slope
        }
        for (int row = 0; row < rows; ++row) {
            double mean = 0;  // the layered potential over the panel row
            for (int t = 0; t < 64; ++t)
                mean += Layered(c.cuts, c.eps, law.zb[row] + (t + 0.5) / 64 * (law.zb[row + 1] - law.zb[row])) / 64;
            for (int i = 0; i < half; ++i) {
                const int e = 2 * Q + row * half + i;
                total += q.p[e];
                u += q.p[e] * mean;
                flux += q.fz[e] * mean;
                slope += q.wx[e] * (0 - c.aspect) / 2 + q.wx[e + rows * half] * ((i + 0.5) * step - c.aspect / 2);
            }
        }
        const double expect = Layered(c.cuts, c.eps, c.r);
        EXPECT_NEAR(total, 1.0, 1e-9);
        EXPECT_NEAR(u, expect, 1e-4 * expect + 1e-12) << "potential at r = " << c.r;
        EXPECT_NEAR(flux, 1.0, 1e-3) << "flux eps du/dz at r = " << c.r;
        EXPECT_NEAR(slope, 1.0, 1e-4) << "du/dx for u = x";
        if (c.cuts.empty()) {
            double top = 0;
            for (int e = Q; e < 2 * Q; ++e) top += q.p[e];
            EXPECT_NEAR(top, 1.0 / 6, 1e-9);
        }
    }
}

TEST(StackBoxes, ChosenBoxLiesInTheFreeCubeWithTheStartWellInside)
{
    TableSet tables;
    std::vector<Cuboid> blocks;
    std::vector<Medium> media;
    const double tops[] = {0.25, 0.3, 0.7, 0.75, 0.9, 0.95, 1.15, 1.17, 1.22, 3.0};
    const double eps[] = {4.1, 7.0, 4.3, 4.9, 4.1, 4.9, 2.9, 4.4, 4.9, 2.9};
    double z = -1;
    blocks.reserve(10);
    for (int i = 0; i < 10; ++i) {
        blocks.push_back(Cuboid(0, -9, -9, z, 9, 9, tops[i]));
        media.push_back(Medium(&blocks.back(), eps[i]));
        z = tops[i];
    }
    std::vector<Medium*> m;
    for (Medium& x : media) m.push_back(&x);
    Layers stack(tables, m);
    std::unique_ptr<StackBoxes> boxes(StackBoxes::Build(tables.layers));
    ASSERT_TRUE(boxes);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> uz(-0.5, 2.5), ud(0.005, 0.8), u(0, 1);
    int chosen = 0;
    for (int i = 0; i < 3000; ++i) {
        const double z0 = uz(rng), d = ud(rng);
        const StackBoxChoice c = boxes->Choose(z0, d);
        if (c.a < 0) continue;
        ++chosen;
        const double za = boxes->z[c.a], zb = boxes->z[c.b], H = zb - za, half = StackBoxes::ASPECT[c.q] * H / 2;
        ASSERT_GE(za, z0 - d - 1e-12);
        ASSERT_LE(zb, z0 + d + 1e-12);
        ASSERT_LE(half, d + 1e-12);
        const double r = (z0 - za) / H;
        ASSERT_TRUE(r >= 0.25 - 1e-12 && r <= 0.75 + 1e-12) << r;
        ASSERT_NEAR(c.reach, std::min(std::min(z0 - za, zb - z0), half), 1e-12);
        if (i % 100 == 0) {
            // Every drawn point lies on the box's surface.
            const BoxPoint p = DrawStackBox(boxes->Law(c), r, u(rng), u(rng), u(rng), u(rng));
            const double A = StackBoxes::ASPECT[c.q];
            const bool on = p.z == 0 || p.z == 1 || p.x == 0 || p.x == A || p.y == 0 || p.y == A;
            EXPECT_TRUE(on && p.x >= 0 && p.x <= A && p.y >= 0 && p.y <= A && p.z >= 0 && p.z <= 1);
        }
    }
    EXPECT_GT(chosen, 1000);
}

std::vector<std::string> Files(const std::string& dir)
{
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    return out;
}

std::string LawBytes(const StackBoxLaw& l)
{
    auto bytes = [](const auto& v) { return std::string((const char*)v.data(), v.size() * sizeof(v[0])); };
    return bytes(l.zb) + bytes(l.nodes) + bytes(l.cdf) + bytes(l.zcdf) + bytes(l.xcdf) + bytes(l.zsign) +
           bytes(l.xsign) + bytes(l.ztotal) + bytes(l.xtotal);
}

TEST(StackBoxes, KeptLawsAreTakenOnlyWhole)
{
    TableSet tables;
    std::vector<Cuboid> blocks = {Cuboid(0, -9, -9, -1, 9, 9, 0.2), Cuboid(0, -9, -9, 0.2, 9, 9, 0.25),
                                  Cuboid(0, -9, -9, 0.25, 9, 9, 2)};
    std::vector<Medium> media = {Medium(&blocks[0], 4.1), Medium(&blocks[1], 7.0), Medium(&blocks[2], 4.3)};
    Layers stack(tables, {&media[0], &media[1], &media[2]});
    TempDir dir;
    // The first-hop law of one box, made or read from the folder after the
    // kept file was damaged at `at` bytes from its start (< 0: from its end;
    // 0: not damaged).
    auto law = [&](long at) {
        for (const std::string& f : at ? Files(dir.path()) : std::vector<std::string>()) {
            std::fstream io(f, std::ios::in | std::ios::out | std::ios::binary);
            io.seekp(at, at < 0 ? std::ios::end : std::ios::beg);
            io.put('\x5a');
        }
        std::unique_ptr<StackBoxes> boxes(StackBoxes::Build(tables.layers, true));
        boxes->cache_dir = dir.path();
        const StackBoxChoice c = boxes->Choose(0.22, 0.1);
        EXPECT_GE(c.a, 0);
        return LawBytes(boxes->Law(c));
    };
    const std::string made = law(0);
    ASSERT_EQ(Files(dir.path()).size(), 1u);
    EXPECT_EQ(law(0), made);  // kept whole: read back
    for (long at : {-3L, -20L, 400L, 9L})  // the digest, the data, the key
        EXPECT_EQ(law(at), made) << at;
    EXPECT_EQ(Files(dir.path()).size(), 1u);
}

TEST(LayeredBoxLaws, EachKeyGivesItsOwnLawToEveryThread)
{
    // Keys that differ in one cut, one permittivity, the side ratio or the
    // number of layers, asked for by two threads in opposite orders: each
    // gets one law of its own layers, the same to both, made once.
    const std::vector<std::pair<std::vector<double>, std::vector<double>>> layers = {
        {{0.4}, {4.1, 7.0}}, {{0.45}, {4.1, 7.0}}, {{0.4}, {4.1, 5.5}}, {{0.3, 0.6}, {4.1, 7.0, 5.5}},
        {{0.3, 0.6}, {4.1, 7.0, 4.1}}};
    const double aspects[] = {1.0, 0.5};
    LayeredBoxLaws laws(false);
    std::vector<const StackBoxLaw*> seen[2];
    auto ask = [&](int t) {
        for (int i = 0; i < 10; ++i) {
            const int k = t ? 9 - i : i;
            const auto& l = layers[k / 2];
            seen[t].push_back(laws.Get(l.first, l.second, aspects[k % 2]));
        }
    };
    std::thread other(ask, 1);
    ask(0);
    other.join();
    EXPECT_EQ(laws.Made(), 10);
    for (int i = 0; i < 10; ++i) {
        const StackBoxLaw* law = seen[0][i];
        ASSERT_TRUE(law);
        EXPECT_EQ(law, seen[1][9 - i]);
        EXPECT_EQ(law->cuts, layers[i / 2].first);
        EXPECT_EQ(law->eps, layers[i / 2].second);
        EXPECT_EQ(law->aspect, aspects[i % 2]);
        EXPECT_TRUE(law->zcdf.empty());  // no first-hop densities asked for
        for (int j = 0; j < i; ++j)
            EXPECT_NE(law, seen[0][j]);
    }
}

// A layered law kept in the folder comes back as it was made, and one
// with first-hop densities is kept apart from one without.
TEST(LayeredBoxLaws, KeptLawsComeBackAsMade)
{
    TempDir dir;
    const std::vector<double> cuts = {0.3, 0.7}, eps = {4.0, 7.0, 4.0};
    std::string made[2];
    for (const bool weights : {false, true})
        for (int run = 0; run < 2; ++run) {
            LayeredBoxLaws laws(weights);
            laws.cache_dir = dir.path();
            const StackBoxLaw* law = laws.Get(cuts, eps, 0.5);
            ASSERT_TRUE(law);
            EXPECT_EQ(law->zcdf.empty(), !weights);
            if (run == 0)
                made[weights] = LawBytes(*law);
            else
                EXPECT_EQ(LawBytes(*law), made[weights]);
            EXPECT_EQ(Files(dir.path()).size(), weights ? 2u : 1u);
        }
}

}  // namespace
