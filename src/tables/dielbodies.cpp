#include "dielbodies.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "layers.h"

namespace {

// How far from a plane a point still lies on it: landings on a cube face
// that touches a plane come within rounding of it; the grid is 2e-4 um.
const double ON_PLANE = 1e-9;
// Offset at which the permittivity on either side of a plane is read.
const double SIDE = 1e-7;

double Lo(const Cuboid& b, int a) { return a == 0 ? b.x0 : a == 1 ? b.y0 : b.z0; }
double Hi(const Cuboid& b, int a) { return a == 0 ? b.x1 : a == 1 ? b.y1 : b.z1; }
double At(const Vector3& p, int a) { return a == 0 ? p.x : a == 1 ? p.y : p.z; }
void Set(Vector3& p, int a, double v) { (a == 0 ? p.x : a == 1 ? p.y : p.z) = v; }

bool Inside(const Cuboid& b, const Vector3& p)
{
    return p.x >= b.x0 && p.x <= b.x1 && p.y >= b.y0 && p.y <= b.y1 && p.z >= b.z0 && p.z <= b.z1;
}

double Gap(double v, double lo, double hi) { return v < lo ? lo - v : v > hi ? v - hi : 0.0; }

}  // namespace

int DielBodies::BinX(double x) const { return std::min(nx - 1, std::max(0, (int)std::floor((x - bx0) / bin_x))); }
int DielBodies::BinY(double y) const { return std::min(ny - 1, std::max(0, (int)std::floor((y - by0) / bin_y))); }

void DielBodies::AddToBins(std::vector<std::vector<int>>& bins, int index, double x0, double y0, double x1,
                           double y1)
{
    for (int i = BinX(x0); i <= BinX(x1); ++i)
        for (int j = BinY(y0); j <= BinY(y1); ++j)
            bins[(size_t)i * ny + j].push_back(index);
}

double DielBodies::BandEps(double z) const
{
    const size_t k = std::upper_bound(band_z.begin(), band_z.end(), z) - band_z.begin();
    return band_eps[k];
}

double DielBodies::EpsAt(const Vector3& p, bool* in_body) const
{
    int best = -1;
    if (nx > 0 && p.x >= bx0 && p.y >= by0 && p.x <= bx0 + nx * bin_x && p.y <= by0 + ny * bin_y)
        for (int i : body_bins[(size_t)BinX(p.x) * ny + BinY(p.y)])
            if (i > best && Inside(bodies[i].box, p))
                best = i;
    if (in_body)
        *in_body = best >= 0;
    return best >= 0 ? bodies[best].eps : BandEps(p.z);
}

bool DielBodies::BodyMeets(const Cuboid& g) const
{
    if (nx == 0 || g.x1 < bx0 || g.y1 < by0 || g.x0 > bx0 + nx * bin_x || g.y0 > by0 + ny * bin_y)
        return false;
    const int i0 = BinX(std::max(g.x0, bx0)), i1 = BinX(std::min(g.x1, bx0 + nx * bin_x));
    const int j0 = BinY(std::max(g.y0, by0)), j1 = BinY(std::min(g.y1, by0 + ny * bin_y));
    for (int i = i0; i <= i1; ++i)
        for (int j = j0; j <= j1; ++j)
            for (int k : body_bins[(size_t)i * ny + j]) {
                const Cuboid& b = bodies[k].box;
                if (b.x0 < g.x1 && b.x1 > g.x0 && b.y0 < g.y1 && b.y1 > g.y0 && b.z0 < g.z1 && b.z1 > g.z0)
                    return true;
            }
    return false;
}

static bool SamePiece(const DielPatch& a, const DielPatch& b)
{
    return a.axis == b.axis && std::fabs(a.pos - b.pos) <= ON_PLANE && a.eps_neg == b.eps_neg &&
           a.eps_pos == b.eps_pos;
}

void DielBodies::Build(const std::vector<const Medium*>& media, const std::vector<Layer>& layers)
{
    // The bands: each face of the stack carries the permittivity beneath it;
    // the lowest medium reaches down and the highest up without bound.
    std::vector<std::pair<double, double>> faces;  // (z, permittivity below)
    for (const Layer& l : layers)
        if (std::fabs(l.pos) < 1e99)
            faces.push_back({l.pos, l.diel});
    double above = 1.0;
    for (const Layer& l : layers)
        if (l.diel > 0)
            above = l.diel;
    band_z.clear();
    band_eps.clear();
    for (size_t i = 0; i < faces.size(); ++i) {
        double below = faces[i].second;
        if (!(below > 0))
            continue;
        double next = above;
        for (size_t j = i + 1; j < faces.size(); ++j)
            if (faces[j].second > 0) {
                next = faces[j].second;
                break;
            }
        if (band_eps.empty())
            band_eps.push_back(below);
        if (next != below) {
            band_z.push_back(faces[i].first);
            band_eps.push_back(next);
        }
    }
    if (band_eps.empty())
        band_eps.push_back(above);

    bodies.clear();
    patches.clear();
    for (const Medium* m : media)
        bodies.push_back({*m->block, m->diel});
    if (bodies.empty())
        return;
    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300, size = 0.0;
    for (const Body& b : bodies) {
        x0 = std::min(x0, b.box.x0);
        y0 = std::min(y0, b.box.y0);
        x1 = std::max(x1, b.box.x1);
        y1 = std::max(y1, b.box.y1);
        size += std::min(b.box.x1 - b.box.x0, b.box.y1 - b.box.y0);
    }
    // Bins about the width of a body (wires are long and thin), within a
    // million bins in all.
    const double extent = std::max(x1 - x0, y1 - y0);
    double bin = std::max(size / bodies.size(), extent / 1024.0);
    if (!(bin > 0))
        bin = 1.0;
    while (((x1 - x0) / bin + 1) * ((y1 - y0) / bin + 1) > 1e6)
        bin *= 1.5;
    // Where every body is long along an axis (the films of parallel wires),
    // bins as long as the shortest of them hold no more patches, and a
    // search near a bin's end no longer reads the same long patches again
    // in the next bin.
    double long_x = 1e300, long_y = 1e300;
    for (const Body& b : bodies) {
        long_x = std::min(long_x, b.box.x1 - b.box.x0);
        long_y = std::min(long_y, b.box.y1 - b.box.y0);
    }
    bin_x = std::max(bin, std::min(long_x, x1 - x0));
    bin_y = std::max(bin, std::min(long_y, y1 - y0));
    bx0 = x0;
    by0 = y0;
    nx = std::max(1, (int)std::ceil((x1 - x0) / bin_x));
    ny = std::max(1, (int)std::ceil((y1 - y0) / bin_y));
    body_bins.assign((size_t)nx * ny, {});
    for (size_t i = 0; i < bodies.size(); ++i)
        AddToBins(body_bins, (int)i, bodies[i].box.x0, bodies[i].box.y0, bodies[i].box.x1, bodies[i].box.y1);
    for (const Body& b : bodies)
        for (int a = 0; a < 3; ++a) {
            FacePatches(b, a, false);
            FacePatches(b, a, true);
        }
    // Pieces as SamePiece judges them: planes within ON_PLANE are one plane
    // and distinct planes lie far further apart, so sorting puts each
    // piece's patches side by side.
    std::vector<int> order(patches.size()), piece(patches.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = (int)i;
    std::sort(order.begin(), order.end(), [this](int a, int b) {
        const DielPatch &p = patches[a], &q = patches[b];
        return std::make_tuple(p.axis, p.eps_neg, p.eps_pos, p.pos) < std::make_tuple(q.axis, q.eps_neg, q.eps_pos, q.pos);
    });
    for (size_t i = 0, id = 0; i < order.size(); ++i) {
        if (i > 0 && !SamePiece(patches[order[i - 1]], patches[order[i]]))
            ++id;
        piece[order[i]] = (int)id;
    }
    std::vector<std::vector<int>> patch_bins((size_t)nx * ny);
    std::vector<Flat> flats(patches.size());
    for (size_t i = 0; i < patches.size(); ++i) {
        const DielPatch& p = patches[i];
        Flat& f = flats[i];
        f.lo[p.axis] = f.hi[p.axis] = p.pos;
        f.lo[(p.axis + 1) % 3] = p.lo[0];
        f.hi[(p.axis + 1) % 3] = p.hi[0];
        f.lo[(p.axis + 2) % 3] = p.lo[1];
        f.hi[(p.axis + 2) % 3] = p.hi[1];
        f.index = (int)i;
        f.axis = p.axis;
        f.piece = piece[i];
        AddToBins(patch_bins, (int)i, f.lo[0], f.lo[1], f.hi[0], f.hi[1]);
    }
    bin_first.assign(patch_bins.size() + 1, 0);
    binned.clear();
    for (size_t b = 0; b < patch_bins.size(); ++b) {
        for (int k : patch_bins[b])
            binned.push_back(flats[k]);
        bin_first[b + 1] = (uint32_t)binned.size();
    }
}

// The pieces of one face of a body across which the permittivity steps:
// the face is cut by every box edge and band interface that crosses it, and
// each cell is judged by the permittivities just off its centre.
void DielBodies::FacePatches(const Body& b, int a, bool high)
{
    const int u = (a + 1) % 3, v = (a + 2) % 3;
    const double pos = high ? Hi(b.box, a) : Lo(b.box, a);
    const double u0 = Lo(b.box, u), u1 = Hi(b.box, u), v0 = Lo(b.box, v), v1 = Hi(b.box, v);
    std::vector<double> cu = {u0, u1}, cv = {v0, v1};
    const Cuboid& f = b.box;
    for (int bi = BinX(f.x0); bi <= BinX(f.x1); ++bi)
        for (int bj = BinY(f.y0); bj <= BinY(f.y1); ++bj)
            for (int i : body_bins[(size_t)bi * ny + bj]) {
                const Cuboid& o = bodies[i].box;
                if (Lo(o, a) > pos || Hi(o, a) < pos)
                    continue;
                for (double c : {Lo(o, u), Hi(o, u)})
                    if (c > u0 && c < u1)
                        cu.push_back(c);
                for (double c : {Lo(o, v), Hi(o, v)})
                    if (c > v0 && c < v1)
                        cv.push_back(c);
            }
    for (double z : band_z) {
        if (u == 2 && z > u0 && z < u1)
            cu.push_back(z);
        if (v == 2 && z > v0 && z < v1)
            cv.push_back(z);
    }
    std::sort(cu.begin(), cu.end());
    cu.erase(std::unique(cu.begin(), cu.end()), cu.end());
    std::sort(cv.begin(), cv.end());
    cv.erase(std::unique(cv.begin(), cv.end()), cv.end());
    for (size_t j = 0; j + 1 < cv.size(); ++j) {
        // Cells of one row with the same two permittivities make one patch.
        int open = -1;
        for (size_t i = 0; i + 1 < cu.size(); ++i) {
            Vector3 c;
            Set(c, a, pos);
            Set(c, u, 0.5 * (cu[i] + cu[i + 1]));
            Set(c, v, 0.5 * (cv[j] + cv[j + 1]));
            Vector3 below = c, over = c;
            Set(below, a, pos - SIDE);
            Set(over, a, pos + SIDE);
            const double en = EpsAt(below), ep = EpsAt(over);
            if (en == ep) {
                open = -1;
                continue;
            }
            if (open >= 0 && patches[open].eps_neg == en && patches[open].eps_pos == ep) {
                patches[open].hi[0] = cu[i + 1];
                continue;
            }
            DielPatch p;
            p.axis = a;
            p.pos = pos;
            p.lo[0] = cu[i];
            p.hi[0] = cu[i + 1];
            p.lo[1] = cv[j];
            p.hi[1] = cv[j + 1];
            p.eps_neg = en;
            p.eps_pos = ep;
            open = (int)patches.size();
            patches.push_back(p);
        }
    }
}

// Calls f(k, d, da) for every patch k within L-infinity distance `reach` of
// p in x and y, with its distance d and its distance da along its normal;
// f lowers `bound` as it finds nearer patches, and rings of bins farther
// than the bound are not searched. Returns a distance that every patch not
// passed to f lies at or beyond.
template <class F>
double DielBodies::ForNear(const Vector3& p, double reach, double& bound, F f) const
{
    double unmet = 1e300;
    if (patches.empty())
        return unmet;
    const double gx = Gap(p.x, bx0, bx0 + nx * bin_x), gy = Gap(p.y, by0, by0 + ny * bin_y);
    if (std::max(gx, gy) > reach)
        return std::max(gx, gy);
    const int ci = (int)std::floor((p.x - bx0) / bin_x), cj = (int)std::floor((p.y - by0) / bin_y);
    for (int ring = 0;; ++ring) {
        // Every patch not met yet lies outside the block of the inner rings,
        // at least as far from p as that block's nearest side. Most hops are
        // far shorter than a bin and search p's own bin alone.
        if (ring > 0) {
            const double x_lo = p.x - (bx0 + (ci - ring + 1) * bin_x), x_hi = bx0 + (ci + ring) * bin_x - p.x;
            const double y_lo = p.y - (by0 + (cj - ring + 1) * bin_y), y_hi = by0 + (cj + ring) * bin_y - p.y;
            const double side = std::min(std::min(x_lo, x_hi), std::min(y_lo, y_hi));
            if (side > std::min(bound, reach)) {
                unmet = std::min(unmet, side);
                break;
            }
        }
        if (ci - ring < 0 && cj - ring < 0 && ci + ring >= nx && cj + ring >= ny)
            break;
        for (int i = ci - ring; i <= ci + ring; ++i) {
            if (i < 0 || i >= nx)
                continue;
            const bool edge_col = i == ci - ring || i == ci + ring;
            const double gi = Gap(p.x, bx0 + i * bin_x, bx0 + (i + 1) * bin_x);
            for (int j = cj - ring; j <= cj + ring; ++j) {
                if (j < 0 || j >= ny || (!edge_col && j != cj - ring && j != cj + ring))
                    continue;
                // A bin of the ring farther than the nearest patch found holds none nearer.
                if (ring > 0) {
                    const double gap = std::max(gi, Gap(p.y, by0 + j * bin_y, by0 + (j + 1) * bin_y));
                    if (gap > std::min(bound, reach)) {
                        unmet = std::min(unmet, gap);
                        continue;
                    }
                }
                const size_t b = (size_t)i * ny + j;
                for (const Flat* q = binned.data() + bin_first[b], *e = binned.data() + bin_first[b + 1]; q != e;
                     ++q) {
                    const double gx = Gap(p.x, q->lo[0], q->hi[0]), gy = Gap(p.y, q->lo[1], q->hi[1]);
                    const double gz = Gap(p.z, q->lo[2], q->hi[2]);
                    const int a = q->axis;
                    f(q->index, std::max(gx, std::max(gy, gz)), a == 0 ? gx : a == 1 ? gy : gz, q->piece);
                }
            }
        }
    }
    return unmet;
}

DielBodies::Near DielBodies::Query(const Vector3& p, double reach) const
{
    Near out;
    // Coplanar patches through p: few, kept until p's own is known.
    int plane_idx[16];
    double plane_d[16];
    int planes = 0;
    // The search may stop at the nearest patch off p's planes: coplanar
    // pieces nearer than it are met on the way, and clear_on needs it.
    double other = 1e300;
    bool overflow = false;
    out.reach = reach;
    int nearest_piece = -1;
    out.met_within = ForNear(p, reach, other, [&](int k, double d, double da, int piece) {
        const DielPatch& q = patches[k];
        // p's own bin holds every patch p lies on, in index order.
        if (da <= ON_PLANE && d <= ON_PLANE) {
            if (out.on == -1)
                out.on = k;
            else if (out.on >= 0 && out.on != k && !SamePiece(patches[out.on], q))
                out.on = -2;
            return;
        }
        if (da <= ON_PLANE) {
            if (planes < 16) {
                plane_idx[planes] = k;
                plane_d[planes++] = d;
            } else {
                overflow = true;
            }
        } else if (d < other) {
            other = d;
        }
        // The nearest met off the nearest's piece: a new nearest of
        // another piece leaves the old one nearest off its own (nothing met
        // before was nearer); one of the same piece changes nothing.
        // A tie goes to the lower index, whichever bin hands it over first
        // (beyond a box's edge its two faces are equally near).
        if (d < out.clear || (d == out.clear && k < out.nearest)) {
            if (piece != nearest_piece)
                out.other_piece = out.clear;
            out.clear = d;
            out.nearest = k;
            nearest_piece = piece;
        } else if (d < out.other_piece && piece != nearest_piece) {
            out.other_piece = d;
        }
    });
    out.clear_on = other;
    if (out.on >= 0) {
        const DielPatch& o = patches[out.on];
        for (int t = 0; t < planes; ++t)
            if (!SamePiece(patches[plane_idx[t]], o))
                out.clear_on = std::min(out.clear_on, plane_d[t]);
        if (overflow)
            out.clear_on = std::min(out.clear_on, out.clear);
    }
    return out;
}

double DielBodies::ClearExcept(const Vector3& p, double reach, const DielPatch& piece) const
{
    double clear = 1e300;
    ForNear(p, reach, clear, [&](int k, double d, double, int) {
        if (d < clear && !SamePiece(patches[k], piece))
            clear = d;
    });
    return clear;
}

double DielBodies::BandClearance(double z, bool& on_band, double skip) const
{
    on_band = false;
    double best = 1e300;
    const size_t k = std::lower_bound(band_z.begin(), band_z.end(), z - ON_PLANE) - band_z.begin();
    for (size_t i = k >= 2 ? k - 2 : 0; i < band_z.size() && i <= k + 2; ++i) {
        const double d = std::fabs(band_z[i] - z);
        if (d <= ON_PLANE)
            on_band = true;
        else if (std::fabs(band_z[i] - skip) > ON_PLANE)
            best = std::min(best, d);
    }
    return best;
}

void DielBodies::StepWeights(const Vector3& p, double h, double w[6]) const
{
    // The bodies that reach into the cell's neighbourhood, found once for
    // the 48 permittivities read below (most steps meet one or two).
    int near[32];
    int n = 0;
    bool all = false;
    const Cuboid cell(0, p.x - h, p.y - h, p.z - h, p.x + h, p.y + h, p.z + h);
    if (nx > 0 && cell.x1 >= bx0 && cell.y1 >= by0 && cell.x0 <= bx0 + nx * bin_x && cell.y0 <= by0 + ny * bin_y)
        for (int i = BinX(cell.x0); i <= BinX(cell.x1) && !all; ++i)
            for (int j = BinY(cell.y0); j <= BinY(cell.y1) && !all; ++j)
                for (int k : body_bins[(size_t)i * ny + j]) {
                    const Cuboid& b = bodies[k].box;
                    if (b.x0 > cell.x1 || b.x1 < cell.x0 || b.y0 > cell.y1 || b.y1 < cell.y0 || b.z0 > cell.z1 ||
                        b.z1 < cell.z0 || std::find(near, near + n, k) != near + n)
                        continue;
                    if (n == 32) {
                        all = true;
                        break;
                    }
                    near[n++] = k;
                }
    auto eps_at = [&](const Vector3& q) {
        if (all)
            return EpsAt(q);
        int best = -1;
        for (int t = 0; t < n; ++t)
            if (near[t] > best && Inside(bodies[near[t]].box, q))
                best = near[t];
        return best >= 0 ? bodies[best].eps : BandEps(q.z);
    };
    // Flux through each face of the cell of side h about p: the permittivity
    // in series along the step (harmonic mean of two points), side by side
    // across the face (mean over a 2 x 2 grid of it).
    double total = 0.0;
    for (int a = 0; a < 3; ++a)
        for (int s = 0; s < 2; ++s) {
            const int u = (a + 1) % 3, v = (a + 2) % 3;
            const double dir = s ? 1.0 : -1.0;
            double sum = 0.0;
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j) {
                    Vector3 q = p;
                    Set(q, u, At(p, u) + (i - 0.5) * h / 2);
                    Set(q, v, At(p, v) + (j - 0.5) * h / 2);
                    Vector3 r1 = q, r2 = q;
                    Set(r1, a, At(p, a) + dir * h / 4);
                    Set(r2, a, At(p, a) + dir * h * 3 / 4);
                    sum += 2.0 / (1.0 / eps_at(r1) + 1.0 / eps_at(r2));
                }
            w[2 * a + s] = sum;
            total += sum;
        }
    for (int k = 0; k < 6; ++k)
        w[k] /= total;
}

std::vector<double> DielBodies::ZPlanes() const
{
    std::vector<double> z(band_z);
    for (const DielPatch& p : patches)
        if (p.axis == 2)
            z.push_back(p.pos);
    std::sort(z.begin(), z.end());
    z.erase(std::unique(z.begin(), z.end(), [](double a, double b) { return b - a <= ON_PLANE; }), z.end());
    return z;
}

std::vector<std::pair<double, double>> DielBodies::Pairs() const
{
    std::vector<std::pair<double, double>> out;
    for (const DielPatch& p : patches) {
        const std::pair<double, double> k{p.eps_neg, p.eps_pos};
        if (std::find(out.begin(), out.end(), k) == out.end())
            out.push_back(k);
    }
    return out;
}

bool DielBodies::NearSomePatch(const Cuboid& g, double gap) const
{
    for (const DielPatch& p : patches) {
        const int u = (p.axis + 1) % 3, v = (p.axis + 2) % 3;
        if (std::fabs(Lo(g, p.axis) - p.pos) >= gap && std::fabs(Hi(g, p.axis) - p.pos) >= gap)
            continue;
        if (Lo(g, u) <= p.hi[0] && Hi(g, u) >= p.lo[0] && Lo(g, v) <= p.hi[1] && Hi(g, v) >= p.lo[1])
            return true;
    }
    return false;
}

bool DielBodies::CutPlane(const Vector3& p, double reach, const Near& near, bool on_band, double band_clear,
                          DielPatch& plane, double& radius) const
{
    if (on_band || near.on != -1)
        return false;
    const double whole = std::min(reach, std::min(near.clear, band_clear));
    if (whole >= 0.5 * reach)
        return false;
    if (band_clear <= near.clear) {
        // The band interface nearest p.
        const size_t k = std::lower_bound(band_z.begin(), band_z.end(), p.z) - band_z.begin();
        double zb = k < band_z.size() ? band_z[k] : -1e300;
        if (k > 0 && std::fabs(band_z[k - 1] - p.z) < std::fabs(zb - p.z))
            zb = band_z[k - 1];
        plane = DielPatch();
        plane.axis = 2;
        plane.pos = zb;
        plane.eps_neg = EpsAt(Vector3(p.x, p.y, zb - SIDE));
        plane.eps_pos = EpsAt(Vector3(p.x, p.y, zb + SIDE));
        radius = std::min(std::min(reach, near.clear), BandClearance(p.z, zb));
        return true;
    }
    if (near.nearest < 0)
        return false;
    plane = patches[near.nearest];
    // The query met every patch within met_within: the nearest off the
    // piece among them is the nearest of all when it lies within that, and
    // when all beyond lie beyond reach, only reach counts.
    double off_piece;
    if (near.reach == reach && near.other_piece <= near.met_within)
        off_piece = near.other_piece;
    else if (near.reach == reach && near.met_within >= reach)
        off_piece = reach;
    else
        off_piece = ClearExcept(p, reach, plane);
    radius = std::min(std::min(reach, off_piece), BandClearance(p.z, plane.axis == 2 ? plane.pos : 1e300));
    return true;
}

bool DielBodies::EdgeCube(const Vector3& p, int k, double room, double least, double span, Edge& out) const
{
    const DielPatch& q = patches[k];
    const int A = q.axis, u = (A + 1) % 3, v = (A + 2) % 3;
    // The patch's side nearest p: a line along v at u = lo or hi, or along
    // u at v = lo or hi.
    const double side[4] = {q.lo[0], q.hi[0], q.lo[1], q.hi[1]};
    int best = 0;
    for (int t = 1; t < 4; ++t)
        if (std::fabs(At(p, t < 2 ? u : v) - side[t]) < std::fabs(At(p, best < 2 ? u : v) - side[best]))
            best = t;
    const int B = best < 2 ? u : v;
    Edge e;
    e.axis = best < 2 ? v : u;
    e.a = A;
    e.b = B;
    e.centre = p;
    Set(e.centre, A, q.pos);
    Set(e.centre, B, side[best]);
    const double off = std::max(std::fabs(At(p, A) - q.pos), std::fabs(At(p, B) - side[best]));
    double half = room - off;  // p's conductor-free cube holds the edge's
    if (half < least || off > span * half)
        return false;
    // Every other interface keeps off the cube: the patches off the edge's
    // two planes, and the bands off the horizontal one.
    const Vector3& c = e.centre;
    ForNear(c, half, half, [&](int j, double d, double, int) {
        const DielPatch& o = patches[j];
        const bool in_plane = (o.axis == A && std::fabs(o.pos - q.pos) <= ON_PLANE) ||
                              (o.axis == B && std::fabs(o.pos - side[best]) <= ON_PLANE);
        if (!in_plane && d < half)
            half = d;
    });
    half = std::min(half, BandClearance(c.z, A == 2 || B == 2 ? c.z : 1e300));
    if (half < least || off > span * half)
        return false;
    // The quadrants, each of one permittivity: one must differ from the
    // other three.
    double eps[4];
    for (int t = 0; t < 4; ++t) {
        Vector3 r = c;
        Set(r, A, At(c, A) + (t & 1 ? 0.5 : -0.5) * half);
        Set(r, B, At(c, B) + (t & 2 ? 0.5 : -0.5) * half);
        eps[t] = EpsAt(r);
    }
    int odd = -1;
    for (int t = 0; t < 4; ++t) {
        const double o1 = eps[(t + 1) % 4], o2 = eps[(t + 2) % 4], o3 = eps[(t + 3) % 4];
        if (eps[t] != o1 && o1 == o2 && o2 == o3)
            odd = t;
    }
    if (odd < 0)
        return false;
    e.sa = odd & 1 ? 1.0 : -1.0;
    e.sb = odd & 2 ? 1.0 : -1.0;
    e.odd = eps[odd];
    e.rest = eps[(odd + 1) % 4];
    e.half = half;
    out = e;
    return true;
}

bool DielBodies::LayersAlong(const Vector3& p, int n, double along, double across, std::vector<double>& cuts,
                             std::vector<double>& eps) const
{
    const double lo = At(p, n) - along, H = 2 * along;
    double box_lo[3], box_hi[3];
    for (int a = 0; a < 3; ++a) {
        const double h = a == n ? along : across;
        box_lo[a] = At(p, a) - h;
        box_hi[a] = At(p, a) + h;
    }
    // The planes' positions first, turned into the cuts in place below (the
    // walk's first hop calls this, and must not allocate).
    std::vector<double>& at = cuts;
    at.clear();
    bool layered = true;
    double bound = std::max(along, across);
    ForNear(p, bound, bound, [&](int k, double, double, int) {
        const DielPatch& q = patches[k];
        double qlo[3], qhi[3];
        qlo[q.axis] = qhi[q.axis] = q.pos;
        qlo[(q.axis + 1) % 3] = q.lo[0];
        qhi[(q.axis + 1) % 3] = q.hi[0];
        qlo[(q.axis + 2) % 3] = q.lo[1];
        qhi[(q.axis + 2) % 3] = q.hi[1];
        for (int a = 0; a < 3; ++a)
            if (qhi[a] <= box_lo[a] || qlo[a] >= box_hi[a])
                return;  // outside or on the box's surface
        if (q.axis != n)
            layered = false;
        else
            at.push_back(q.pos);
    });
    // Band interfaces are planes across z.
    for (double z : band_z)
        if (z > box_lo[2] && z < box_hi[2]) {
            if (n != 2)
                return false;
            at.push_back(z);
        }
    if (!layered || at.empty())
        return false;
    // No interface crosses a layer, so one point tells its permittivity.
    std::sort(at.begin(), at.end());
    const size_t planes = std::unique(at.begin(), at.end()) - at.begin();
    eps.clear();
    size_t kept = 0;
    for (size_t i = 0; i <= planes; ++i) {
        const double a = i == 0 ? lo : at[i - 1], b = i == planes ? lo + H : at[i];
        Vector3 mid = p;
        Set(mid, n, 0.5 * (a + b));
        const double e = EpsAt(mid);
        if (!eps.empty() && eps.back() == e)
            continue;
        if (!eps.empty())
            cuts[kept++] = (a - lo) / H;  // kept < i: the positions still to read lie beyond
        eps.push_back(e);
    }
    cuts.resize(kept);
    return kept > 0;
}
