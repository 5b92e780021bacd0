// Edge cubes against physics: where the quadrants make a planar interface
// (or none) the laws reproduce the potentials that medium admits; where one
// quadrant differs they converge as the grid is refined; draws follow the
// mixture of the nodes around the start; and a kept law is taken only whole.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cmath>
#include <fstream>
#include <random>

#include "edgelaw.h"
#include "testutil.h"

namespace {

// Face and panel-centre point of entry e.
void EntryPoint(const EdgeLaw& law, int e, double c[3], int& face)
{
    const int P = law.P, iu = (e % (P * P)) / P, iv = e % P;
    face = e / (P * P);
    const double u = -1 + (iu + 0.5) * 2.0 / P, v = -1 + (iv + 0.5) * 2.0 / P, s = face % 2 ? 1.0 : -1.0;
    const int axis = face / 2;
    c[axis] = s;
    c[axis == 0 ? 1 : 0] = u;
    c[axis == 2 ? 1 : 2] = v;
}

std::array<double, 6> FaceTotals(const EdgeLaw& law, int ia, int ib)
{
    std::array<double, 6> f{};
    const double* p = law.NodeProb(ia, ib);
    for (int e = 0; e < law.Entries(); ++e)
        f[e / (law.P * law.P)] += p[e];
    return f;
}

TEST(EdgeLaw, ReproducesThePotentialsOfPlanarMedia)
{
    // Linear in its panels' coordinates, so a panel's centre gives its mean.
    struct Case {
        std::array<double, 4> eps;
        int axis;  // the potential x / eps(x) (0) or z / eps(z) (2)
    };
    const Case cases[] = {{{1, 1, 1, 1}, 0}, {{1, 1, 1, 1}, 2}, {{2, 9, 2, 9}, 0}, {{3, 3, 0.5, 0.5}, 2}};
    for (const Case& c : cases) {
        const EdgeLaw law = SolveEdgeLaw(c.eps, 16, 9, 48, 31, 0.5);
        double worst = 0.0;
        for (int ia = 0; ia < law.K; ++ia)
            for (int ib = 0; ib < law.K; ++ib) {
                const double* p = law.NodeProb(ia, ib);
                double sum = 0.0, mean = 0.0, y = 0.0;
                for (int e = 0; e < law.Entries(); ++e) {
                    double q[3];
                    int face;
                    EntryPoint(law, e, q, face);
                    ASSERT_GE(p[e], 0.0);
                    const double t = q[c.axis];
                    const int quadrant = c.axis == 0 ? (t > 0) : 2 * (t > 0);
                    sum += p[e];
                    mean += p[e] * t / c.eps[quadrant];
                    y += p[e] * q[1];
                }
                const double t0 = c.axis == 0 ? law.Node(ia) : law.Node(ib);
                const int quadrant = c.axis == 0 ? (t0 > 0) : 2 * (t0 > 0);
                EXPECT_NEAR(sum, 1.0, 1e-12);
                EXPECT_NEAR(y, 0.0, 1e-12);
                worst = std::max(worst, std::fabs(mean - t0 / c.eps[quadrant]));
            }
        EXPECT_LT(worst, 5e-5) << "eps " << c.eps[0] << " " << c.eps[1] << " " << c.eps[2] << " " << c.eps[3];
    }
    const EdgeLaw one = SolveEdgeLaw({1, 1, 1, 1}, 16, 9, 48, 31, 0.5);
    for (double f : FaceTotals(one, 4, 4))
        EXPECT_NEAR(f, 1.0 / 6, 2e-4);
}

TEST(EdgeLaw, WedgeLawsConvergeAsTheGridIsRefined)
{
    for (const std::array<double, 4>& eps : {std::array<double, 4>{4, 4, 4, 7}, std::array<double, 4>{7, 7, 7, 4}}) {
        const EdgeLaw coarse = SolveEdgeLaw(eps, 16, 5, 48, 31), fine = SolveEdgeLaw(eps, 16, 5, 96, 31);
        for (int ia = 0; ia < 5; ++ia)
            for (int ib = 0; ib < 5; ++ib) {
                const std::array<double, 6> a = FaceTotals(coarse, ia, ib), b = FaceTotals(fine, ia, ib);
                for (int f = 0; f < 6; ++f)
                    EXPECT_NEAR(a[f], b[f], 3e-4) << "node " << ia << "," << ib << " face " << f;
                // x and z swap with the two quadrants beside the odd one.
                const std::array<double, 6> m = FaceTotals(coarse, ib, ia);
                EXPECT_NEAR(a[0], m[4], 1e-12);
                EXPECT_NEAR(a[1], m[5], 1e-12);
            }
        // The odd quadrant, seen from its own corner, draws more (or less)
        // than a third of the side faces' walks as it is denser (or not).
        const std::array<double, 6> c = FaceTotals(coarse, 2, 2);
        EXPECT_EQ(c[1] > c[0], eps[3] > eps[0]);
    }
}

TEST(EdgeLaw, DrawsFollowTheMixtureOfTheNodesAround)
{
    const EdgeLaw law = SolveEdgeLaw({1, 1, 1, 5}, 8, 5, 24, 31, 0.5);
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0, 1);
    // A start a quarter of the way from node (1, 2) to (2, 3).
    const double step = law.Node(1) - law.Node(0);
    const double a = law.Node(1) + 0.25 * step, b = law.Node(2) + 0.25 * step;
    std::array<double, 6> want{};
    for (int da = 0; da < 2; ++da)
        for (int db = 0; db < 2; ++db) {
            const double w = (da ? 0.25 : 0.75) * (db ? 0.25 : 0.75);
            const std::array<double, 6> f = FaceTotals(law, 1 + da, 2 + db);
            for (int k = 0; k < 6; ++k)
                want[k] += w * f[k];
        }
    const int N = 200000;
    std::array<int, 6> seen{};
    for (int n = 0; n < N; ++n) {
        const EdgePoint q = DrawEdge(law, a, b, u(rng), u(rng), u(rng), u(rng), u(rng));
        const double c[3] = {q.x, q.y, q.z};
        int on = -1;
        for (int k = 0; k < 3; ++k) {
            ASSERT_LE(std::fabs(c[k]), 1.0);
            if (std::fabs(c[k]) == 1.0)
                on = 2 * k + (c[k] > 0);
        }
        ASSERT_GE(on, 0);
        ++seen[on];
    }
    for (int k = 0; k < 6; ++k)
        EXPECT_NEAR(seen[k] / (double)N, want[k], 5 * std::sqrt(want[k] * (1 - want[k]) / N)) << "face " << k;
}

TEST(EdgeLaws, KeptLawsAreTakenOnlyWhole)
{
    TempDir dir;
    auto files = [&dir] {
        std::vector<std::string> out;
        if (DIR* d = opendir(dir.path().c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    out.push_back(dir.path() + "/" + e->d_name);
            closedir(d);
        }
        return out;
    };
    // The drawing table of one law, made or read back after the kept file
    // was damaged at `at` bytes from its start (< 0: from its end; 0: not).
    auto law = [&](long at) {
        for (const std::string& f : at ? files() : std::vector<std::string>()) {
            std::fstream io(f, std::ios::in | std::ios::out | std::ios::binary);
            io.seekp(at, at < 0 ? std::ios::end : std::ios::beg);
            io.put('\x5a');
        }
        EdgeLaws laws;
        laws.cache_dir = dir.path();
        const EdgeLaw* l = laws.Get(7.0, 4.0);
        EXPECT_NE(l, nullptr);
        return std::vector<float>(l->cdf.begin(), l->cdf.end());
    };
    const std::vector<float> made = law(0);
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(law(0), made);
    for (long at : {-3L, -20L, 4000L, 9L})  // the digest, the table, the key
        EXPECT_EQ(law(at), made) << at;
    EXPECT_EQ(files().size(), 1u);
}

}  // namespace
