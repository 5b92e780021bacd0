// The surface of a master of several blocks: its rectangles against a
// rasterised union, its layer bands and weights, and where its start points fall.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "gausssurface.h"
#include "layers.h"

namespace {

const int N = 8;  // boxes on the integer grid 0..N

// Per face direction, how often each unit square of the grid's faces is
// covered: by the surface's rectangles, or (expected) once where an inside
// cell meets an outside one.
struct FaceCount {
    int count[6][N + 1][N][N] = {};
};

bool Inside(const std::vector<Cuboid>& boxes, int x, int y, int z)
{
    if (x < 0 || y < 0 || z < 0 || x >= N || y >= N || z >= N)
        return false;
    for (const Cuboid& b : boxes)
        if (b.x0 <= x && x < b.x1 && b.y0 <= y && y < b.y1 && b.z0 <= z && z < b.z1)
            return true;
    return false;
}

TEST(Exposed, RectanglesCoverTheUnionBoundaryExactlyOnce)
{
    // Outward step of each face, and the cell coordinate of the face plane.
    const int step[6][3] = {{0, 0, -1}, {0, -1, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> coord(0, N - 1), len(1, 4), count(2, 6);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<Cuboid> boxes;
        for (int k = count(rng); k > 0; --k) {
            int x = coord(rng), y = coord(rng), z = coord(rng);
            boxes.push_back(Cuboid(0, x, y, z, std::min(N, x + len(rng)), std::min(N, y + len(rng)),
                                   std::min(N, z + len(rng))));
        }
        FaceCount got, want;
        for (int x = 0; x < N; ++x)
            for (int y = 0; y < N; ++y)
                for (int z = 0; z < N; ++z) {
                    if (!Inside(boxes, x, y, z))
                        continue;
                    for (int f = 0; f < 6; ++f) {
                        if (Inside(boxes, x + step[f][0], y + step[f][1], z + step[f][2]))
                            continue;
                        // plane index, then the in-plane cell (a, b) of the patch frame
                        const int plane[6] = {z, y, x + 1, y + 1, x, z + 1};
                        const int a = (f == 2 || f == 4) ? y : x, b = (f == 0 || f == 5) ? y : z;
                        want.count[f][plane[f]][a][b]++;
                    }
                }
        for (size_t i = 0; i < boxes.size(); ++i)
            for (int f = 0; f < 6; ++f)
                for (const GaussPatch& p : GaussSurface::Exposed(boxes, i, f)) {
                    ASSERT_EQ(p.face, f);
                    for (int a = (int)p.a0; a < (int)p.a1; ++a)
                        for (int b = (int)p.b0; b < (int)p.b1; ++b)
                            got.count[f][(int)p.fixed][a][b]++;
                }
        for (int f = 0; f < 6; ++f)
            for (int c = 0; c <= N; ++c)
                for (int a = 0; a < N; ++a)
                    for (int b = 0; b < N; ++b)
                        ASSERT_EQ(got.count[f][c][a][b], want.count[f][c][a][b])
                            << "trial " << trial << " face " << f << " plane " << c << " cell " << a
                            << "," << b;
    }
}

// A stack of media given by interface heights and permittivities.
struct Stack {
    std::vector<Cuboid> blocks;
    std::vector<Medium> media;
    std::vector<Medium*> list;
    Layers layers;

    Stack(const std::vector<double>& z, const std::vector<double>& eps) : layers(Make(z, eps)) {}
    const std::vector<Medium*>& Make(const std::vector<double>& z, const std::vector<double>& eps)
    {
        blocks.reserve(eps.size());
        media.reserve(eps.size());
        for (size_t i = 0; i < eps.size(); i++) {
            blocks.push_back(Cuboid(0, -20, -20, z[i], 20, 20, z[i + 1]));
            media.push_back(Medium(&blocks.back(), eps[i]));
            list.push_back(&media.back());
        }
        return list;
    }
};

double Weight(const GaussPatch& p)
{
    const double h = p.b1 - p.b0;
    return (p.a1 - p.a0) * h * p.eps / p.dist;
}

TEST(Build, BandsWeightsAndInterfaces)
{
    // An L of two grown boxes (margin 0.5 around blocks (0,0,0)-(2,1,1) and
    // (0,0,0)-(1,3,1)); the interface at z = 1 lies inside the side faces in
    // the first rows, on the top faces in the last.
    const std::vector<Cuboid> grown = {Cuboid(0, -0.5, -0.5, -0.5, 2.5, 1.5, 1.5),
                                       Cuboid(0, -0.5, -0.5, -0.5, 1.5, 3.5, 1.5)};
    const FaceDivisors d = {1, 1, 1, 1, 1, 1};
    struct Row {
        std::vector<double> z, eps;
        double total;  // area x permittivity of the union's surface
        bool on_interface;
    } rows[] = {
        // an L footprint of area 10 and perimeter 14, height 2
        {{-20, 20}, {1.0}, 20 + 28, false},
        {{-20, 20}, {3.9}, 3.9 * 48, false},
        {{-20, 1.0, 20}, {3.9, 2.5}, 10 * 3.9 + 10 * 2.5 + 14 * 1.5 * 3.9 + 14 * 0.5 * 2.5, false},
        // a face on an interface takes the permittivity above it
        {{-20, 1.5, 20}, {3.9, 2.5}, 10 * 3.9 + 10 * 2.5 + 28 * 3.9, true},
        {{-20, -0.5, 20}, {3.9, 2.5}, 2.5 * 48, true},
    };
    for (const Row& r : rows) {
        Stack s(r.z, r.eps);
        GaussSurface g;
        ASSERT_TRUE(g.Build(grown, {d, d}));
        EXPECT_NEAR(g.total, r.total, 1e-9 * r.total) << r.eps.size() << " layers";
        EXPECT_EQ(g.on_interface, r.on_interface);
        double sum = 0.0, share = 0.0;
        for (size_t k = 0; k < g.patches.size(); ++k) {
            const GaussPatch& p = g.patches[k];
            sum += Weight(p);
            EXPECT_NEAR(g.cumulative[k], sum, 1e-9 * sum);
            // Every side band lies inside one layer.
            if (p.face != 0 && p.face != 5 && r.z.size() == 3) {
                EXPECT_TRUE(p.b1 <= r.z[1] + 1e-12 || p.b0 >= r.z[1] - 1e-12);
            }
        }
        for (double f : g.face_share)
            share += f;
        EXPECT_NEAR(share, 1.0, 1e-12);
    }
    // The divisors scale each face's density.
    EXPECT_EQ(GaussSurface::Divisors(Cuboid(0, 0, 0, 0, 2, 1, 1), grown[0], 1),
              (FaceDivisors{1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(GaussSurface::Divisors(Cuboid(0, 0, 0, 0, 2, 1, 1), grown[0], 0),
              (FaceDivisors{1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(GaussSurface::Divisors(Cuboid(0, 0, 0, 0, 2, 1, 1), Cuboid(0, -1, -0.25, 0, 3, 1, 2), 1),
              (FaceDivisors{0, 0.5, 2, 0, 2, 2}));
}

TEST(Draw, StartPointsLieOnTheUnionBoundaryWithTheFaceShares)
{
    const std::vector<Cuboid> grown = {Cuboid(0, 0, 0, 0, 4, 1, 1), Cuboid(0, 3, 0, 0, 4, 3, 1),
                                       Cuboid(0, 1, -2, 0.5, 2, 2, 2)};
    std::vector<FaceDivisors> d = {{1, 1, 1, 1, 1, 1}, {2, 2, 2, 2, 2, 2}, {1, 1, 1, 1, 1, 1}};
    Stack s({-20, 0.75, 20}, {3.9, 2.5});
    GaussSurface g;
    ASSERT_TRUE(g.Build(grown, d));
    CRandomMersenne rnd(7), slice(8);
    const int draws = 40000;
    int per_face[6] = {};
    for (int i = 0; i < draws; ++i) {
        int face = -1;
        double dist = 0.0;
        Vector3 p = g.Draw(rnd, slice, face, dist);
        ASSERT_TRUE(face >= 0 && face < 6);
        per_face[face]++;
        // On the face of some box, strictly inside none.
        bool on_face = false;
        for (size_t k = 0; k < grown.size(); ++k) {
            const Cuboid& b = grown[k];
            const bool within = b.x0 <= p.x && p.x <= b.x1 && b.y0 <= p.y && p.y <= b.y1 &&
                                b.z0 <= p.z && p.z <= b.z1;
            const double plane[6] = {b.z0, b.y0, b.x1, b.y1, b.x0, b.z1};
            const double at[6] = {p.z, p.y, p.x, p.y, p.x, p.z};
            ASSERT_FALSE(b.x0 < p.x && p.x < b.x1 && b.y0 < p.y && p.y < b.y1 && b.z0 < p.z &&
                         p.z < b.z1)
                << "start point inside box " << k;
            if (within && at[face] == plane[face] && dist == d[k][face])
                on_face = true;
        }
        ASSERT_TRUE(on_face) << p.x << "," << p.y << "," << p.z << " face " << face;
    }
    for (int f = 0; f < 6; ++f) {
        const double share = g.face_share[f];
        EXPECT_NEAR(per_face[f] / (double)draws, share, 5 * std::sqrt(share * (1 - share) / draws))
            << "face " << f;
    }
}

}  // namespace
