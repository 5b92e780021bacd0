// Dielectric bodies against brute force: the cube a hop may take around a
// point holds one permittivity (or, centred on an interface piece, one on
// each side; or, centred on an edge, one in a quadrant and another in the
// rest; or, layered, one per layer), whatever the bodies' overlaps, seams
// and band interfaces; and
// the finite-volume step weighs its cell faces as series and side-by-side
// media do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "dielbodies.h"
#include "layers.h"

namespace {

struct Scene {
    TableSet tables;
    std::vector<Cuboid> boxes;
    std::vector<Medium> media;
    DielBodies bodies;

    Scene()
    {
        // Bands: 3.9 up to z = 1, 2.5 above.
        boxes = {Cuboid(0, -5, -5, -1, 5, 5, 1), Cuboid(0, -5, -5, 1, 5, 5, 3),
                 // a film around a wire, crossing the band interface
                 Cuboid(0, -0.3, -2, 0.7, 0.3, 2, 1.4),
                 // a film of the same permittivity beside it: a seam, no interface
                 Cuboid(0, 0.3, -2, 0.7, 0.6, 2, 1.2),
                 // a later body cutting into both
                 Cuboid(0, 0.2, -0.5, 0.9, 0.8, 0.5, 1.6),
                 // a body of the band's own permittivity: faces only where it leaves that band
                 Cuboid(0, -2, -1, 0.5, -1, 1, 1.5)};
        const double eps[] = {3.9, 2.5, 7.0, 7.0, 1.0, 3.9};
        for (size_t i = 0; i < boxes.size(); ++i)
            media.push_back(Medium(&boxes[i], eps[i]));
        Layers stack(tables, {&media[0], &media[1]});
        std::vector<const Medium*> b;
        for (size_t i = 2; i < media.size(); ++i)
            b.push_back(&media[i]);
        bodies.Build(b, tables.layers);
    }
};

double Coord(const Vector3& p, int a) { return a == 0 ? p.x : a == 1 ? p.y : p.z; }
double Gap(double v, double lo, double hi) { return v < lo ? lo - v : v > hi ? v - hi : 0.0; }

// The search through the bins against every patch: the distance to the
// nearest patch p does not lie on and the lowest-numbered patch at it (ties
// are common: beyond a box's edge its two faces are equally near), and the
// patch p lies on (the lowest-numbered of its piece; -2 on two pieces).
void ExpectQueryAsEveryPatchSays(const DielBodies& b, const Vector3& p)
{
    double clear = 1e300;
    int nearest = -1, on = -1;
    for (size_t k = 0; k < b.patches.size(); ++k) {
        const DielPatch& q = b.patches[k];
        const double da = std::fabs(Coord(p, q.axis) - q.pos);
        const double d = std::max({da, Gap(Coord(p, (q.axis + 1) % 3), q.lo[0], q.hi[0]),
                                   Gap(Coord(p, (q.axis + 2) % 3), q.lo[1], q.hi[1])});
        if (da <= 1e-9 && d <= 1e-9) {
            const DielPatch* o = on >= 0 ? &b.patches[on] : nullptr;
            if (on == -1)
                on = (int)k;
            else if (on >= 0 && !(o->axis == q.axis && std::fabs(o->pos - q.pos) <= 1e-9 &&
                                  o->eps_neg == q.eps_neg && o->eps_pos == q.eps_pos))
                on = -2;
        } else if (d < clear) {
            clear = d;
            nearest = (int)k;
        }
    }
    const DielBodies::Near n = b.Query(p, 100.0);
    ASSERT_EQ(n.on, on) << "at (" << p.x << "," << p.y << "," << p.z << ")";
    ASSERT_EQ(n.clear, clear) << "at (" << p.x << "," << p.y << "," << p.z << ")";
    ASSERT_EQ(n.nearest, nearest) << "at (" << p.x << "," << p.y << "," << p.z << ")";
}

TEST(DielBodies, HopCubesHoldTheMediaTheirTablesAssume)
{
    Scene s;
    const DielBodies& b = s.bodies;
    EXPECT_EQ(b.EpsAt(Vector3(0.4, 0, 1.0)), 1.0);   // the later body wins
    EXPECT_EQ(b.EpsAt(Vector3(-1.5, 0, 1.3)), 3.9);  // a body over the band interface
    EXPECT_EQ(b.EpsAt(Vector3(3, 0, 1.3)), 2.5);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1, 1);
    int on_pieces = 0, cuts = 0, edges = 0;
    for (int n = 0; n < 3000; ++n) {
        Vector3 p(2.5 * u(rng), 2.5 * u(rng), 1 + 0.8 * u(rng));
        if (n % 3 == 0) {  // a point on a patch, as landings put it there
            const DielPatch& q = b.patches[rng() % b.patches.size()];
            // Every sixth on a corner, which the patches around it share.
            auto along = [&](int a) {
                if (n % 6 == 0)
                    return rng() % 2 ? q.lo[a] : q.hi[a];
                return q.lo[a] + (q.hi[a] - q.lo[a]) * (0.5 + 0.5 * u(rng));
            };
            const double t0 = along(0);
            const double t1 = along(1);
            double c[3];
            c[q.axis] = q.pos;
            c[(q.axis + 1) % 3] = t0;
            c[(q.axis + 2) % 3] = t1;
            p = Vector3(c[0], c[1], c[2]);
        }
        ExpectQueryAsEveryPatchSays(b, p);
        const DielBodies::Near near = b.Query(p, 10.0);
        bool on_band = false;
        const double band = b.BandClearance(p.z, on_band, 1e300);
        if (near.on == -2 || (on_band && near.on >= 0))
            continue;
        const DielPatch* piece = near.on >= 0 ? &b.patches[near.on] : nullptr;
        // A cut cube, where the walk takes one (at least twice the whole
        // cube and twice its distance to the plane), holds its one plane.
        DielPatch plane;
        double r1 = 0.0;
        const bool planed = b.CutPlane(p, 10.0, near, on_band, band, plane, r1);
        // Off a band, the cube reaches to the nearest patch off the plane's
        // piece: brute force over every patch.
        if (planed && band > near.clear) {
            double off = 1e300;
            for (const DielPatch& q : b.patches) {
                if (q.axis == plane.axis && std::fabs(q.pos - plane.pos) <= 1e-9 && q.eps_neg == plane.eps_neg &&
                    q.eps_pos == plane.eps_pos)
                    continue;
                const int u = (q.axis + 1) % 3, v = (q.axis + 2) % 3;
                off = std::min(off, std::max({std::fabs(Coord(p, q.axis) - q.pos), Gap(Coord(p, u), q.lo[0], q.hi[0]),
                                              Gap(Coord(p, v), q.lo[1], q.hi[1])}));
            }
            ASSERT_EQ(r1, std::min({10.0, off, b.BandClearance(p.z, plane.axis == 2 ? plane.pos : 1e300)}))
                << "at (" << p.x << "," << p.y << "," << p.z << ")";
        }
        if (planed && r1 < 5 &&
            r1 > 2 * std::min(near.clear, band) && r1 > 2 * std::fabs(Coord(p, plane.axis) - plane.pos))
            for (int k = (++cuts, 0); k < 60; ++k) {
                const Vector3 q(p.x + 0.999 * r1 * u(rng), p.y + 0.999 * r1 * u(rng), p.z + 0.999 * r1 * u(rng));
                const double side = Coord(q, plane.axis) - plane.pos;
                if (std::fabs(side) > 1e-6) {
                    ASSERT_EQ(b.EpsAt(q), side < 0 ? plane.eps_neg : plane.eps_pos)
                        << "cut cube at (" << p.x << "," << p.y << "," << p.z << ") radius " << r1 << " plane axis "
                        << plane.axis << " at " << plane.pos << " meets (" << q.x << "," << q.y << "," << q.z << ")"
                        << " clear " << near.clear << " band " << band;
                }
            }
        // An edge cube holds p near its line, and one permittivity in
        // three of its quadrants and another in the fourth.
        DielBodies::Edge e;
        const int k = near.on >= 0 ? near.on : near.nearest;
        if (k >= 0 && b.EdgeCube(p, k, 10.0, 0.0, 0.5, e) && e.half < 5) {
            ++edges;
            const Vector3& c = e.centre;
            ASSERT_EQ(Coord(p, e.axis), Coord(c, e.axis));
            ASSERT_LE(std::max(std::fabs(Coord(p, e.a) - Coord(c, e.a)), std::fabs(Coord(p, e.b) - Coord(c, e.b))),
                      e.half / 2 + 1e-12);
            for (int n = 0; n < 60; ++n) {
                const Vector3 q(c.x + 0.999 * e.half * u(rng), c.y + 0.999 * e.half * u(rng),
                                c.z + 0.999 * e.half * u(rng));
                const double da = e.sa * (Coord(q, e.a) - Coord(c, e.a)), db = e.sb * (Coord(q, e.b) - Coord(c, e.b));
                if (std::fabs(da) < 1e-6 || std::fabs(db) < 1e-6)
                    continue;
                ASSERT_EQ(b.EpsAt(q), da > 0 && db > 0 ? e.odd : e.rest)
                    << "edge cube about (" << c.x << "," << c.y << "," << c.z << ") half " << e.half << " meets ("
                    << q.x << "," << q.y << "," << q.z << ")";
            }
        }
        const double r = std::min(piece ? near.clear_on : near.clear, band);
        if (r > 5)
            continue;
        on_pieces += piece != nullptr;
        const double e0 = b.EpsAt(p);
        for (int k = 0; k < 60; ++k) {
            const Vector3 q(p.x + 0.999 * r * u(rng), p.y + 0.999 * r * u(rng), p.z + 0.999 * r * u(rng));
            double want = e0;
            if (piece) {
                const double side = Coord(q, piece->axis) - piece->pos;
                if (std::fabs(side) < 1e-6)
                    continue;
                want = side < 0 ? piece->eps_neg : piece->eps_pos;
            } else if (on_band && std::fabs(q.z - p.z) > 1e-6) {
                want = b.EpsAt(Vector3(p.x, p.y, q.z > p.z ? p.z + 1e-7 : p.z - 1e-7));
            }
            ASSERT_EQ(b.EpsAt(q), want) << "hop from (" << p.x << "," << p.y << "," << p.z << ") radius " << r
                                        << " meets (" << q.x << "," << q.y << "," << q.z << ")";
        }
    }
    EXPECT_GT(on_pieces, 200);
    EXPECT_GT(cuts, 200);
    EXPECT_GT(edges, 200);
    // A box said to be layered along an axis holds each layer's
    // permittivity throughout the layer.
    int layered = 0;
    for (int t = 0; t < 3000; ++t) {
        const Vector3 p(1.5 * u(rng), 2.5 * u(rng), 1 + 0.6 * u(rng));
        const int n = t % 3;
        const double along = 0.05 + 0.2 * (1 + u(rng)), across = along * (t % 2 ? 1.0 : 0.5);
        std::vector<double> cut, eps;
        if (!b.LayersAlong(p, n, along, across, cut, eps))
            continue;
        ++layered;
        ASSERT_EQ(cut.size() + 1, eps.size());
        for (int k = 0; k < 60; ++k) {
            double o[3] = {p.x, p.y, p.z};
            for (int a = 0; a < 3; ++a)
                o[a] += 0.999 * (a == n ? along : across) * u(rng);
            const double rel = (o[n] - (Coord(p, n) - along)) / (2 * along);
            size_t layer = 0;
            while (layer < cut.size() && rel > cut[layer])
                ++layer;
            if (layer < cut.size() && std::fabs(rel - cut[layer]) < 1e-6)
                continue;
            ASSERT_EQ(b.EpsAt(Vector3(o[0], o[1], o[2])), eps[layer]) << "layered box about (" << p.x << ","
                                                                        << p.y << "," << p.z << ") axis " << n;
        }
    }
    EXPECT_GT(layered, 100);
    // A box of the band walk is taken only where no body reaches into it.
    for (int n = 0; n < 2000; ++n) {
        const double x = 2.5 * u(rng), y = 2.5 * u(rng), z = 1 + 0.8 * u(rng), h = 0.6 * (1 + u(rng));
        const Cuboid g(0, x, y, z, x + h, y + h, z + h);
        bool want = false;
        for (const DielBodies::Body& body : b.bodies)
            want |= body.box.x0 < g.x1 && body.box.x1 > g.x0 && body.box.y0 < g.y1 && body.box.y1 > g.y0 &&
                    body.box.z0 < g.z1 && body.box.z1 > g.z0;
        ASSERT_EQ(b.BodyMeets(g), want);
    }
}

// Films around a bus of long wires in three bands, whose bins are long
// along the wires: the bands are where the stack puts them, and the search
// finds what every patch says, at random points, on the films' faces, and on
// the diagonals beyond their edges, where faces tie.
TEST(DielBodies, FilmsOfLongWiresAreSearchedAsEveryPatchSays)
{
    TableSet tables;
    std::vector<Cuboid> boxes = {Cuboid(0, -5, -5, -1, 5, 5, 0.25), Cuboid(0, -5, -5, 0.25, 5, 5, 0.6),
                                 Cuboid(0, -5, -5, 0.6, 5, 5, 3)};
    const double band_eps[] = {4.0, 5.0, 3.0};
    for (int w = 0; w < 5; ++w)
        boxes.push_back(Cuboid(0, 0.2 * w - 0.03, -0.03, 0.3, 0.2 * w + 0.13, 2.03, 0.53));
    std::vector<Medium> media;
    for (size_t i = 0; i < boxes.size(); ++i)
        media.push_back(Medium(&boxes[i], i < 3 ? band_eps[i] : 7.0));
    Layers stack(tables, {&media[0], &media[1], &media[2]});
    std::vector<const Medium*> films;
    for (size_t i = 3; i < media.size(); ++i)
        films.push_back(&media[i]);
    DielBodies b;
    b.Build(films, tables.layers);
    EXPECT_EQ(b.band_z, (std::vector<double>{0.25, 0.6}));
    for (double z : {0.0, 0.4, 1.0})
        EXPECT_EQ(b.BandEps(z), z < 0.25 ? 4.0 : z < 0.6 ? 5.0 : 3.0);
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(0, 1);
    const double xs[] = {-0.03, 0.13, 0.17, 0.33};
    for (int n = 0; n < 4000; ++n) {
        Vector3 p(-0.2 + 1.2 * u(rng), -0.2 + 2.4 * u(rng), 0.2 + 0.45 * u(rng));
        if (n % 4 == 1) {  // beyond a top edge, as far out as up
            const double t = 0.1 * u(rng);
            p = Vector3(xs[rng() % 4] + (rng() % 2 ? t : -t), p.y, 0.53 + t);
        } else if (n % 4 == 2) {  // on a face
            const DielPatch& q = b.patches[rng() % b.patches.size()];
            double c[3];
            c[q.axis] = q.pos;
            c[(q.axis + 1) % 3] = q.lo[0] + (q.hi[0] - q.lo[0]) * u(rng);
            c[(q.axis + 2) % 3] = q.lo[1] + (q.hi[1] - q.lo[1]) * u(rng);
            p = Vector3(c[0], c[1], c[2]);
        }
        ExpectQueryAsEveryPatchSays(b, p);
    }
}

TEST(DielBodies, StepWeightsPutMediaInSeriesAlongAndSideBySideAcross)
{
    Scene s;
    double w[6];
    s.bodies.StepWeights(Vector3(3, 3, 0), 0.1, w);  // inside the lower band
    for (double x : w)
        EXPECT_NEAR(x, 1.0 / 6, 1e-15);
    s.bodies.StepWeights(Vector3(3, 3, 1), 0.1, w);  // on the band interface
    EXPECT_NEAR(w[5] / w[4], 2.5 / 3.9, 1e-12);
    EXPECT_NEAR(w[0] / w[4], (2.5 + 3.9) / 2 / 3.9, 1e-12);
    EXPECT_NEAR(w[0], w[3], 1e-15);
}

}  // namespace
