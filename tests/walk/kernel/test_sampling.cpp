// Drawing on a transition cube: clipping at an interface, the panel search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "randomwalk.h"

namespace {

// An interface at fractional grid position t (in 31sts of the side from the
// bottom) of a cube of centre 0.3 and radius 0.8: the cube shrinks so that
// the interface lies exactly on the returned line.
TEST(CalcPos, SnapsInterfaceOntoGridLine)
{
    const struct {
        double t;
        bool lower;
        int line;
    } cases[] = {{0.4, true, 0},    {0.999, true, 0},  {7.5, true, 7},    {15.2, true, 15}, {15.7, false, 16},
                 {16.0, false, 17}, {28.1, false, 29}, {29.6, false, 31}, {30.3, false, 31}, {31.0, false, 31}};
    for (const auto& c : cases) {
        Cube cube(Vector3(-2, 5, 0.3), 0.8);
        const double z = 0.3 - 0.8 + c.t * 1.6 / 31;
        ASSERT_EQ(CalcPos(z, cube, c.lower), c.line) << "t " << c.t;
        const double r = cube.radius;
        EXPECT_TRUE(c.t == 31.0 ? r == 0.8 : r <= 0.8) << "t " << c.t;
        EXPECT_NEAR(0.3 - r + c.line * 2 * r / 31, z, 1e-14) << "t " << c.t;
        EXPECT_EQ(cube.center.z, 0.3);
    }
}

// Signed single-medium densities give cumulative tables that fall in places
// and are searched by bisection; positive ones, skewed like the real tables
// (corner panels a thousandth of the centre's), by the bucket guide. For each
// direction the search must pick what a plain lower_bound picks.
TEST(PanelSearch, SingleDensitiesPickWhatLowerBoundPicks)
{
    Cuboid block(0, -1, -1, 0, 1, 1, 1);
    Medium medium(&block, 1.0);
    TableSet tables;
    Layers stack(tables, std::vector<Medium*>{&medium});
    Randomwalk rw(0, nullptr, stack, 1, 4);
    for (bool signed_density : {true, false}) {
        tables.single.Reset();
        std::vector<double> w(3 * 5766), gft(5766, 1.0 / 5766);
        CRandomMersenne g(11);
        for (int d = 0; d < 3; d++) {
            double total = 0;
            for (int i = 0; i < 5766; i++) {
                const double x = g.Random();
                total += w[d * 5766 + i] = signed_density ? x - 0.4 : 1e-3 + x * x * x * x;
            }
            for (int i = 0; i < 5766; i++)
                w[d * 5766 + i] /= total;
        }
        tables.single.RegisterSingleWeight(w.data(), gft.data(), 3, 6, 31, 4);
        rw.rand_walk.RandomInit(12345);
        for (int d = 0; d < 3; d++) {
            ASSERT_EQ(tables.single.weight_guide[d].usable, !signed_density);
            double* face = tables.single.cdf_face_single_weight[d];
            std::vector<double>* panel = tables.single.cdf_single_weight[d];
            for (int i = 0; i < 20000; i++) {
                const double r = CRandomMersenne(rw.rand_walk).Random();
                int f = 0;
                while (f < 5 && face[f] < r)
                    f++;
                const int want = (int)(std::lower_bound(panel[f].begin(), panel[f].end(), r) - panel[f].begin());
                if (want >= 961) {  // no panel: the draw is skipped
                    rw.rand_walk.Random();
                    continue;
                }
                PointOnCube pt;
                ASSERT_EQ(rw.GetPointByWeight(pt, face, panel, 31), want) << "direction " << d << ", draw " << r;
                ASSERT_EQ(pt.fno, f) << "direction " << d << ", draw " << r;
            }
        }
    }
}

// An interface table is searched face by face, each face by halving with
// no jumps on the draw, or by its bucket guide when the table has a usable
// one: a full cube's cut (31 x 31 panels a face) and a half cube on an
// interface (32 x 32, the last panel taking a draw above the total).
// Whatever the sums do (rising; rising in steps that land on the guide's
// bucket edges, with empty panels; or falling in places when a table holds
// negative entries, where the guide must stand aside), the pick must be the
// one the plain first-reaching face and one-halving-at-a-time search make.
TEST(PanelSearch, InterfaceTablesPickWhatPlainHalvingPicks)
{
    Cuboid block(0, -1, -1, 0, 1, 1, 1);
    Medium medium(&block, 1.0);
    TableSet tables;
    Layers stack(tables, std::vector<Medium*>{&medium});
    Randomwalk rw(0, nullptr, stack, 1, 0);
    CRandomMersenne g(5);
    enum Shape { RISING, STEPS, FALLING };
    for (const bool half : {false, true})
    for (Shape shape : {RISING, STEPS, FALLING}) {
        const int side = half ? 32 : 31, panels = side * side;
        std::vector<double> table[6], face(6);
        double acc = 0;
        for (int f = 0; f < 6; f++) {
            for (int k = 0; k < panels; k++) {
                const double x = g.Random();
                acc += shape == RISING ? x / 2000
                     : shape == STEPS  ? (x < 0.3 ? 0.0 : std::floor(x * 4) / 8192)
                                       : (x - (f == 2 ? 0.6 : 0.45)) / 200;
                table[f].push_back(acc);
            }
            face[f] = acc;
        }
        std::vector<CutGuide> guides(32);
        for (CutGuide& guide : guides)
            guide.Build(face.data(), table, panels, false);
        ASSERT_EQ(guides[0].full.usable, shape != FALLING);
        std::vector<std::vector<double>*> rows(32, table);
        std::vector<double*> faces(32, face.data());
        rw.layers.lower_psum = rw.layers.half_psum = rows.data();
        rw.layers.lower_psum_face = rw.layers.half_psum_face = faces.data();
        for (bool guided : {false, true}) {
            rw.layers.lower_psum_guide = guided ? guides.data() : nullptr;
            rw.layers.half_psum_guide = guided ? &guides[0].full : nullptr;
            for (int i = 0; i < 20000; i++) {
                const double r = CRandomMersenne(rw.rand_walk).Random();
                int f = 0;
                while (f < 5 && face[f] < r)
                    f++;
                const double* base = table[f].data();
                for (size_t n = panels; n > 1; n -= n / 2)
                    base = base[n / 2] < r ? base + n / 2 : base;
                int want = (int)(base - table[f].data()) + (*base < r);
                if (want >= panels && !half) {  // no panel: the draw is skipped
                    rw.rand_walk.Random();
                    continue;
                }
                want = std::min(want, panels - 1);
                Cube cube(Vector3(0, 0, 0), 1.0);
                bool upper = true;
                const PointOnCube pt = half ? rw.GetPointInHalf(stack, upper, 1, 2, cube, 1.0)
                                            : rw.GetPoint(-1, cube, -1 + 10.5 * 2 / 31, 1e100);
                const PointOnCube expect = Randomwalk::idx2pt(f, want, side);
                ASSERT_TRUE(pt.fno == f && pt.u == expect.u && pt.v == expect.v)
                    << "draw " << r << ", shape " << shape << (guided ? ", guided" : "") << (half ? ", half" : "");
            }
        }
    }
}

// A cut cube's table is folded by the mirrors that keep its interface: each
// orbit's eight members are the images of its first panel's centre under
// x -> -x, y -> -y and x <-> y (as a multiset: a panel on a mirror plane
// comes as often as the mirrors map onto it), and the orbits split the
// surface. A symmetric table then draws every panel with its probability
// through the walk's cut search; one asymmetric panel keeps the table
// unfolded.
TEST(CutGuide, FoldedDrawsGiveEachPanelItsProbability)
{
    const std::vector<uint16_t>& orbits = CutGuide::Orbits();
    ASSERT_EQ(orbits.size(), 8u * CutGuide::ORBITS);
    const int n = 6 * 31 * 31;
    auto centre = [](int e) {
        const PointOnCube p = Randomwalk::idx2pt(e / 961, e % 961, 31);
        return Randomwalk::StructToVector3(p, Cube(Vector3(0, 0, 0), 1.0));
    };
    auto key = [](double x, double y, double z) {
        return std::make_tuple(std::lround(x * 1e6), std::lround(y * 1e6), std::lround(z * 1e6));
    };
    std::vector<int> orbit_of(n, -1);
    for (int o = 0; o < CutGuide::ORBITS; ++o) {
        const Vector3 c = centre(orbits[8 * o]);
        std::vector<std::tuple<long, long, long>> images, members;
        for (int g = 0; g < 8; ++g) {
            double x = g & 1 ? -c.x : c.x, y = g & 2 ? -c.y : c.y;
            if (g & 4)
                std::swap(x, y);
            images.push_back(key(x, y, c.z));
            const int e = orbits[8 * o + g];
            ASSERT_TRUE(orbit_of[e] == -1 || orbit_of[e] == o) << "panel " << e << " in two orbits";
            orbit_of[e] = o;
            const Vector3 m = centre(e);
            members.push_back(key(m.x, m.y, m.z));
        }
        std::sort(images.begin(), images.end());
        std::sort(members.begin(), members.end());
        ASSERT_EQ(images, members) << "orbit " << o;
    }
    ASSERT_EQ(std::count(orbit_of.begin(), orbit_of.end(), -1), 0);

    Cuboid block(0, -1, -1, 0, 1, 1, 1);
    Medium medium(&block, 1.0);
    TableSet tables;
    Layers stack(tables, std::vector<Medium*>{&medium});
    Randomwalk rw(0, nullptr, stack, 1, 0);
    rw.rand_walk.RandomInit(77);
    // Skewed like a real cut table, a few orbits empty.
    CRandomMersenne g(9);
    std::vector<double> value(CutGuide::ORBITS), p(n);
    for (double& v : value)
        v = g.Random() < 0.05 ? 0.0 : std::pow(g.Random(), 4) + 1e-4;
    double total = 0;
    for (int e = 0; e < n; ++e)
        total += p[e] = value[orbit_of[e]];
    for (double& v : p)
        v /= total;
    const double top = *std::max_element(p.begin(), p.end());
    for (const bool symmetric : {false, true}) {
        std::vector<double> table[6], face(6);
        double acc = 0;
        for (int e = 0; e < n; ++e) {
            acc += p[e] + (symmetric || e != 1000 ? 0.0 : 1e-6 * top);
            table[e / 961].push_back(acc);
            face[e / 961] = acc;
        }
        std::vector<CutGuide> guides(30);
        for (CutGuide& guide : guides)
            guide.Build(face.data(), table, 961, true);
        ASSERT_EQ(guides[0].members != nullptr, symmetric);
        if (!symmetric)
            continue;
        std::vector<std::vector<double>*> rows(30, table);
        std::vector<double*> faces(30, face.data());
        rw.layers.lower_psum = rows.data();
        rw.layers.lower_psum_face = faces.data();
        rw.layers.lower_psum_guide = guides.data();
        const int draws = 4000000;
        std::vector<int> count(n, 0);
        for (int i = 0; i < draws; ++i) {
            // The walk's hop lands, with the same draws, on the panel centre
            // the search picks.
            const CRandomMersenne before(rw.rand_walk);
            Cube hop(Vector3(0.3, -2, 5), 0.7);
            const Vector3 landed = rw.CutPoint(-1, hop, 5 - 0.7 + 10.5 * 1.4 / 31, 1e100);
            rw.rand_walk = before;
            Cube cube(Vector3(0.3, -2, 5), 0.7);
            const PointOnCube pt = rw.GetPoint(-1, cube, 5 - 0.7 + 10.5 * 1.4 / 31, 1e100);
            const Vector3 centre = Randomwalk::StructToVector3(pt, cube);
            ASSERT_TRUE(landed.x == centre.x && landed.y == centre.y && landed.z == centre.z) << "draw " << i;
            const int e = pt.fno * 961 + (int)std::lround(pt.v * 31 - 0.5) * 31 + (int)std::lround(pt.u * 31 - 0.5);
            ASSERT_TRUE(e >= 0 && e < n && p[e] > 0) << "panel " << e;
            ++count[e];
        }
        // Pearson's statistic over the panels drawn at all: about its
        // degrees of freedom, far below them plus eight standard deviations.
        double chi2 = 0;
        int cells = 0;
        for (int e = 0; e < n; ++e)
            if (p[e] > 0) {
                const double want = p[e] * draws;
                chi2 += (count[e] - want) * (count[e] - want) / want;
                ++cells;
            }
        EXPECT_LT(chi2, cells + 8 * std::sqrt(2.0 * cells)) << "over " << cells << " panels";
    }
}

}  // namespace
