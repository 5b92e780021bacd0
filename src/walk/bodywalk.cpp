static const char KORVA_SOURCE[] = "src/bodywalk";

// The walk of a run whose media include dielectric bodies. The band walk's
// cut-position tables assume one horizontal interface across the whole
// cube; near bodies that rarely holds, so this walk keeps to steps that need
// no such assumption:
// - a cube that meets no interface at all;
// - a cube centred on a point of a planar interface piece, with one
//   permittivity on each side throughout the cube: the half-cube tables of
//   that pair, their z axis turned onto the piece's normal. A cube that
//   touches an interface lands on it with a probability of about a sixth,
//   so walks do not crawl towards interfaces;
// - where neither fits a cube of at least FLOOR times the conductor
//   distance (edges and corners of bodies), one finite-volume step of that
//   length, with the permittivities of its cell faces.
#include <cmath>

#include "dielbodies.h"
#include "edgelaw.h"
#include "floating.h"
#include "gausssurface.h"
#include "log.h"
#include "randomwalk.h"
#include "spacemanager.h"

namespace {

// The step's length as a share of the conductor distance; builds that
// measure the step's bias set another.
#ifndef KORVA_BODY_FLOOR
#define KORVA_BODY_FLOOR 32
#endif
const double FLOOR = 1.0 / KORVA_BODY_FLOOR;
// Distance that SearchNearestCuboid reports for a point outside the window.
const int NOT_FOUND = (int)0x80000001u;
const double SIDE = 1e-7;

// The point of a half cube drawn in its own frame (normal along z), turned
// so that the normal lies along `axis`; the turn is a cyclic permutation.
Vector3 Turn(const Vector3& centre, const Vector3& drawn, int axis)
{
    const double o[3] = {drawn.x - centre.x, drawn.y - centre.y, drawn.z - centre.z};
    double t[3];
    t[axis] = o[2];
    t[(axis + 1) % 3] = o[0];
    t[(axis + 2) % 3] = o[1];
    return Vector3(centre.x + t[0], centre.y + t[1], centre.z + t[2]);
}

double At(const Vector3& p, int a) { return a == 0 ? p.x : a == 1 ? p.y : p.z; }

// Coordinates in the frame of a cut table whose z axis is `axis`, and back.
Vector3 ToTable(const Vector3& p, int axis)
{
    return Vector3(At(p, (axis + 1) % 3), At(p, (axis + 2) % 3), At(p, axis));
}

Vector3 FromTable(const Vector3& t, int axis)
{
    double o[3];
    o[axis] = t.z;
    o[(axis + 1) % 3] = t.x;
    o[(axis + 2) % 3] = t.y;
    return Vector3(o[0], o[1], o[2]);
}

// The start face whose normal, in the frame of a table turned onto `axis`,
// is what the normal of face id_gss is in space.
int FaceInTable(int id_gss, int axis)
{
    const int g = GAUSS_FACE_AXIS[id_gss];
    const int t = g == axis ? 2 : g == (axis + 1) % 3 ? 0 : 1;
    for (int f = 0; f < 6; ++f)
        if (GAUSS_FACE_AXIS[f] == t && GAUSS_FACE_SIGN[f] == GAUSS_FACE_SIGN[id_gss])
            return f;
    return id_gss;
}

// The box through the bands that a hop from pt, held to r by the bands and
// free of conductors and body faces for `free`, takes instead of its cube:
// when it reaches at least twice as far, pt lies in no body and no body
// reaches into it; a = -1 otherwise.
StackBoxChoice BoxAmongBodies(const DielBodies& b, const StackBoxes& boxes, const Vector3& pt, double r,
                              double free)
{
    const StackBoxChoice none;
    if (r >= 0.5 * free)
        return none;
    const StackBoxChoice c = boxes.Choose(pt.z, free);
    if (c.a < 0 || c.reach < 2 * r)
        return none;
    const double za = boxes.z[c.a], H = boxes.z[c.b] - za;
    const double half_side = StackBoxes::ASPECT[c.q] * H / 2;
    bool in_body = false;
    b.EpsAt(pt, &in_body);
    if (in_body ||
        b.BodyMeets(Cuboid(0, pt.x - half_side, pt.y - half_side, za, pt.x + half_side, pt.y + half_side, za + H)))
        return none;
    return c;
}

// Beside an edge only cubes held to the edge's distance fit, and walks
// crawl; where the best cube is under this share of the conductor distance,
// a cube centred on the edge is looked for.
const double EDGE_TRY = 0.25;

}  // namespace

double Randomwalk::LayeredBoxHop(const StackBoxLaw& law, Vector3& pt, double centre_n, int n, int bx, double L,
                                 double aspect, int face, double eps)
{
    const int by = 3 - n - bx;
    const bool along = GAUSS_FACE_AXIS[face] == n;
    const double H = 2 * L;
    const double u0 = rand_walk.Random(), u1 = rand_walk.Random(), u2 = rand_walk.Random(), u3 = rand_walk.Random();
    double w = 0.0;
    const BoxPoint q = DrawStackBoxWeighted(law, 0.5 + (At(pt, n) - centre_n) / H, along, u0, u1, u2, u3, w);
    double o[3];
    o[n] = centre_n - L + q.z * H;
    o[bx] = At(pt, bx) - aspect * L + q.x * H;
    o[by] = At(pt, by) - aspect * L + q.y * H;
    pt = Vector3(o[0], o[1], o[2]);
    // Along the layering the law holds the flux eps dP/dn, continuous
    // across the layers; across it dP/dx.
    return -GAUSS_FACE_SIGN[face] * (along ? w / eps : w) / H;
}

bool Randomwalk::LayeredFirstHop(const WalkShared& m, Vector3& pt, double along, int face, double eps, double& weight)
{
    const int n = GAUSS_FACE_AXIS[face];
    for (double aspect : {1.0, 0.5}) {
        if (!m.bodies->LayersAlong(pt, n, along, aspect * along, layer_cuts, layer_media))
            continue;
        const StackBoxLaw* law = m.layered_laws->Get(layer_cuts, layer_media, aspect);
        if (!law)
            return false;
        weight = LayeredBoxHop(*law, pt, At(pt, n), n, (n + 1) % 3, along, aspect, face, eps);
        return true;
    }
    return false;
}

bool Randomwalk::PlaneFirstHop(const WalkShared& m, Vector3& pt, double reach, int patch, int face, double eps,
                               double& weight)
{
    const DielPatch& q = m.bodies->patches[patch];
    const int n = q.axis, f = GAUSS_FACE_AXIS[face];
    const double dist = At(pt, n) - q.pos;
    // The face's normal is the box's z, or its x.
    const int bx = f == n ? (n + 1) % 3 : f;
    Vector3 centre = pt;
    if (n == 0)
        centre.x = q.pos;
    else if (n == 1)
        centre.y = q.pos;
    else
        centre.z = q.pos;
    for (double L = 0.5 * reach; L >= 2 * std::fabs(dist) && L >= 0.125 * reach; L *= 0.5) {
        if (L + std::fabs(dist) > reach)
            continue;
        for (double aspect : {1.0, 0.5}) {
            if (!m.bodies->LayersAlong(centre, n, L, aspect * L, layer_cuts, layer_media) || layer_cuts.size() != 1)
                continue;
            const StackBoxLaw* law = m.layered_laws->Get(layer_cuts, layer_media, aspect);
            if (!law)
                return false;
            weight = LayeredBoxHop(*law, pt, q.pos, n, bx, L, aspect, face, eps);
            return true;
        }
    }
    return false;
}

bool Randomwalk::EdgeHop(const WalkShared& m, Vector3& pt, double reach, int patch, double r, double floor)
{
    DielBodies::Edge e;
    if (!m.bodies->EdgeCube(pt, patch, reach, std::max(2 * r, floor), EdgeLaws::SPAN, e))
        return false;
    const EdgeLaw* law = m.edge_laws->Get(e.odd, e.rest);
    if (!law)
        return false;
    const double a = e.sa * (At(pt, e.a) - At(e.centre, e.a)) / e.half;
    const double b = e.sb * (At(pt, e.b) - At(e.centre, e.b)) / e.half;
    const double ua = rand_walk.Random(), ub = rand_walk.Random(), ue = rand_walk.Random();
    const double u1 = rand_walk.Random(), u2 = rand_walk.Random();
    const EdgePoint q = DrawEdge(*law, a, b, ua, ub, ue, u1, u2);
    double o[3] = {pt.x, pt.y, pt.z};
    o[e.a] = At(e.centre, e.a) + e.sa * q.x * e.half;
    o[e.axis] = At(e.centre, e.axis) + q.y * e.half;
    o[e.b] = At(e.centre, e.b) + e.sb * q.z * e.half;
    pt = Vector3(o[0], o[1], o[2]);
    return true;
}

bool Randomwalk::FlatBoxHop(const WalkShared& m, Vector3& pt, double reach, double r)
{
    const StackBoxes& boxes = *m.body_boxes;
    // The box of largest reach may stand where a side face of a body cuts
    // into it; one of half the room is tried next.
    for (double room : {reach, 0.5 * reach}) {
        const StackBoxChoice c = boxes.Choose(pt.z, room);
        if (c.a < 0 || c.reach < 2 * r)
            return false;
        const double za = boxes.z[c.a], zb = boxes.z[c.b], H = zb - za, aspect = StackBoxes::ASPECT[c.q];
        if (!m.bodies->LayersAlong(Vector3(pt.x, pt.y, 0.5 * (za + zb)), 2, 0.5 * H, 0.5 * aspect * H, layer_cuts,
                                   layer_media))
            continue;
        const StackBoxLaw* law = m.flat_laws->Get(layer_cuts, layer_media, aspect);
        if (!law)
            return false;
        pt = BoxLanding(boxes, c, *law, pt);
        return true;
    }
    return false;
}

void Randomwalk::BodyHop(const WalkShared& m, Vector3& pt, double reach)
{
    const DielBodies& b = *m.bodies;
    const DielBodies::Near near = b.Query(pt, reach);
    bool on_band = false;
    const double band_clear = b.BandClearance(pt.z, on_band, 1e300);
    const double floor = reach * FLOOR;
    int axis = 2;
    double dlow = 0.0, dhigh = 0.0, r;
    bool half = false;
    if (near.on == -2) {
        r = 0.0;
    } else if (near.on >= 0) {
        const DielPatch& p = b.patches[near.on];
        // A band interface across the piece's normal would cut the half cube.
        r = on_band && p.axis != 2 ? 0.0 : std::min(reach, std::min(near.clear_on, band_clear));
        axis = p.axis;
        dlow = p.eps_neg;
        dhigh = p.eps_pos;
        half = true;
        if (m.edge_laws && r < EDGE_TRY * reach && EdgeHop(m, pt, reach, near.on, r, floor))
            return;
    } else {
        r = std::min(reach, std::min(near.clear, band_clear));
        if (m.edge_laws && near.nearest >= 0 && r < EDGE_TRY * reach && EdgeHop(m, pt, reach, near.nearest, r, floor))
            return;
        // Away from bodies, thin bands are crossed as the band walk crosses
        // them: a box through several interfaces.
        if (m.stack_boxes) {
            const StackBoxChoice c = BoxAmongBodies(b, *m.stack_boxes, pt, r, std::min(reach, near.clear));
            if (c.a >= 0) {
                pt = BoxLanding(*m.stack_boxes, c, pt);
                return;
            }
        }
        // Only where a horizontal plane holds the cube: a vertical one
        // would cut into any box about as large.
        if (m.body_boxes && r < 0.5 * reach && (r == band_clear || (near.nearest >= 0 && r == near.clear &&
                                                                   b.patches[near.nearest].axis == 2)) &&
            FlatBoxHop(m, pt, reach, r))
            return;
        if (on_band) {
            dlow = b.EpsAt(Vector3(pt.x, pt.y, pt.z - SIDE));
            dhigh = b.EpsAt(Vector3(pt.x, pt.y, pt.z + SIDE));
            half = dlow != dhigh;
        } else {
            // A cube that holds the nearest planar piece, as the stack's
            // walk takes one that holds an interface: the tables with cut
            // positions, turned onto the piece's normal.
            DielPatch plane;
            double r1 = 0.0;
            if (b.CutPlane(pt, reach, near, on_band, band_clear, plane, r1)) {
                const int a = plane.axis;
                const double dist = std::fabs(At(pt, a) - plane.pos);
                if (plane.eps_neg == plane.eps_pos) {
                    r = std::max(r, r1);
                } else if (r1 > 2 * dist && r1 > 2 * r) {
                    const bool lower = plane.pos < At(pt, a);
                    layers.SelectCutTrans(lower, plane.eps_neg, plane.eps_pos);
                    Cube t(ToTable(pt, a), r1);
                    pt = FromTable(CutPoint(lower ? -1 : 1, t, plane.pos, plane.pos), a);
                    return;
                }
            }
        }
    }
    if (r < floor) {
        double w[6];
        b.StepWeights(pt, floor, w);
        double u = rand_walk.Random();
        int k = 0;
        while (k < 5 && u >= w[k]) {
            u -= w[k];
            ++k;
        }
        const double step = (k % 2 ? floor : -floor);
        if (k / 2 == 0)
            pt.x += step;
        else if (k / 2 == 1)
            pt.y += step;
        else
            pt.z += step;
        return;
    }
    Cube cube(pt, r);
    if (!half) {
        pt = StructToVector3(GetPoint(0, cube, 0.0, 0.0), cube);
        return;
    }
    layers.UpdateHalfPSum(dlow, dhigh);
    bool upper = true;
    const PointOnCube s = GetPointInHalf(layers, upper, dlow, dhigh, cube, r);
    pt = Turn(cube.center, StructToVector3(s, cube), axis);
}

int Randomwalk::WalkBodies(WalkShared& m, int n, double& weight, int& id_gss, int& strata, long long& hops)
{
    const DielBodies& b = *m.bodies;
    int band = 0;
    id_gss = -1;
    strata = -1;
    carry = 1.0;
    double face_dist = 0.0;
    // Legs from floating conductors' surfaces, as in the band walk.
    int leg = -1, leg_face = -1;
    double leg_weight = 0.0;
leg_start:
    const GaussSurface* surface = leg < 0 ? m.block_surface : &m.floating->surfaces[leg];
    int& face = leg < 0 ? id_gss : leg_face;
    double& weight_now = leg < 0 ? weight : leg_weight;
    Vector3 pt = surface ? surface->Draw(rand_walk, rand_gauss, face, face_dist)
                         : GetGaussPoint(m.gauss_surface, m.sizes, m.diels, m.g_endz, m.side_cdfs,
                                         face, band);
    FATAL_CHECK_TEXT(face >= 0 && face <= 5, "id_gss >=0 && id_gss <=5");
    if (!surface)
        face_dist = m.gauss_dist[face];

    // First hop. The surface was sampled by the bands' permittivity; a body
    // at the start point scales the flux by its own. The run places the
    // surface off every body face. Its weight grows as the cube shrinks, so
    // a start point near one planar piece of interface takes a cut cube
    // that holds the piece (the band tables of its pair, turned onto its
    // normal) rather than a small whole-medium one.
    Cube cube = m.spacemgr->GetDomainCubic(pt);
    const double reach = cube.radius;
    const DielBodies::Near near = b.Query(pt, reach);
    bool on_band = false;
    const double band_clear = b.BandClearance(pt.z, on_band, 1e300);
    cube.radius = std::min(reach, std::min(near.clear, band_clear));
    PointOnCube spt;
    const double dlow = b.EpsAt(Vector3(pt.x, pt.y, pt.z - SIDE));
    const double dhigh = b.EpsAt(Vector3(pt.x, pt.y, pt.z + SIDE));
    const double eps_factor = b.EpsAt(pt) / b.BandEps(pt.z);
    bool cut = false;
    // Thin bands under a start point away from bodies: a box through them,
    // as the band walk's first hop takes, so that the weight does not grow
    // as one over the nearest band's distance.
    if (m.first_boxes && weight_select == 4 && !on_band && near.on == -1 && eps_factor == 1.0) {
        const StackBoxChoice c =
            BoxAmongBodies(b, *m.first_boxes, pt, cube.radius, std::min(reach, near.clear));
        if (c.a >= 0) {
            weight_now = BoxFirstHop(*m.first_boxes, c, pt, face, b.BandEps(pt.z));
            cut = true;
        }
    }
    // Between the films of neighbouring wires the cube is held to the gap
    // between the films; a box layered across the face reaches the
    // conductors through them.
    if (!cut && m.layered_laws && weight_select == 4 && !surface && leg < 0 && eps_factor == 1.0 &&
        cube.radius < 0.5 * reach && reach >= 0.5 * face_dist * (1 - 1e-9)) {
        double w = 0.0;
        if (LayeredFirstHop(m, pt, 0.5 * face_dist, face, b.BandEps(pt.z), w)) {
            weight_now = w;
            cut = true;
        }
    }
    // A start very close to a planar piece would take a cut cube shrunk to
    // put the piece on one of its table's rows, and a weight as large as
    // the cube is small. A box centred on the piece holds such a start
    // anywhere in its middle half, at the size the conductors allow.
    if (!cut && m.layered_laws && weight_select == 4 && near.on == -1 && near.nearest >= 0 &&
        cube.radius < 0.125 * reach) {
        double w = 0.0;
        if (PlaneFirstHop(m, pt, reach, near.nearest, face, b.EpsAt(pt), w)) {
            weight_now = w * eps_factor;
            cut = true;
        }
    }
    DielPatch plane;
    double r = 0.0;
    if (!cut && b.CutPlane(pt, reach, near, on_band, band_clear, plane, r)) {
        const int a = plane.axis;
        const double dist = std::fabs(At(pt, a) - plane.pos);
        if (plane.eps_neg == plane.eps_pos) {
            cube.radius = r;  // a band interface inside a body
        } else if (r > 2 * dist && r > 2 * cube.radius) {
            const bool lower = plane.pos < At(pt, a);
            layers.SelectCutPair(lower, plane.eps_neg, plane.eps_pos);
            Cube t(ToTable(pt, a), r);
            weight_now = GetClipWeightAndPoint(lower ? -1 : 1, t, lower ? plane.pos : 0.0,
                                               lower ? 0.0 : plane.pos, spt, FaceInTable(face, a), -1);
            weight_now *= eps_factor;
            pt = FromTable(StructToVector3(spt, t), a);
            cut = true;
        }
    }
    if (cut) {
    } else if (on_band && dlow != dhigh) {
        layers.UpdateHalfWSum(dlow, dhigh);
        layers.Update_PDF_Half_WSum(dlow, dhigh);
        weight_now = GetClipHalfWeightAndPoint(1, cube, 0.0, 0.0, spt, face);
        pt = StructToVector3(spt, cube);
    } else {
        weight_now = GetClipWeightAndPoint(0, cube, 0.0, 0.0, spt, face, -1);
        if (weight_select == 3 && leg < 0)
            strata = spt.strata;
        weight_now *= eps_factor;
        pt = StructToVector3(spt, cube);
    }
    weight_now *= surface && leg >= 0 ? surface->total : m.gauss_total;
    if (gauss_select == 1)
        weight_now *= face_dist;
    ++hops;

    LeafIndex::Hint leaf;
    for (;;) {
        int d = 0;
        const Cuboid* hit = m.spacemgr->SearchNearestCuboid(ToGrid(pt), d, leaf);
        if (d == NOT_FOUND || d == 0) {
            const int end = EndOrGoOn(m, d == 0 ? hit->id : n - 1, leg, leg_weight, pt);
            if (end >= 0)
                return end;
            if (end == NEW_LEG)
                goto leg_start;
            continue;
        }
        ++hops;
        BodyHop(m, pt, d / 5000.0);
    }
}
