// Drawing on a transition cube: clipping at an interface, the panel search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
        std::vector<SurfaceGuide> guides(32);
        for (SurfaceGuide& guide : guides)
            guide.Build(face.data(), table, panels);
        ASSERT_EQ(guides[0].usable, shape != FALLING);
        std::vector<std::vector<double>*> rows(32, table);
        std::vector<double*> faces(32, face.data());
        rw.layers.lower_psum = rw.layers.half_psum = rows.data();
        rw.layers.lower_psum_face = rw.layers.half_psum_face = faces.data();
        for (bool guided : {false, true}) {
            rw.layers.lower_psum_guide = rw.layers.half_psum_guide = guided ? guides.data() : nullptr;
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

}  // namespace
