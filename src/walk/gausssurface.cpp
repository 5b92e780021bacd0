#include "gausssurface.h"

#include <algorithm>
#include <cmath>

namespace {

// Axis normal to each face (0 = x, 1 = y, 2 = z), the two in-plane axes of
// the patch frame, and whether the outward normal points up the axis.
const int NORMAL[6] = {2, 1, 0, 1, 0, 2};
const int AXIS_A[6] = {0, 0, 1, 0, 1, 0};
const int AXIS_B[6] = {1, 2, 2, 2, 2, 1};
const bool UPWARD[6] = {false, false, true, true, false, true};

double Lo(const Cuboid& c, int axis)
{
    return axis == 0 ? c.x0 : axis == 1 ? c.y0 : c.z0;
}

double Hi(const Cuboid& c, int axis)
{
    return axis == 0 ? c.x1 : axis == 1 ? c.y1 : c.z1;
}

struct Rect {
    double a0, a1, b0, b1;
};

// Appends the parts of r outside q to out.
void Subtract(const Rect& r, const Rect& q, std::vector<Rect>& out)
{
    if (q.a0 >= r.a1 || q.a1 <= r.a0 || q.b0 >= r.b1 || q.b1 <= r.b0) {
        out.push_back(r);
        return;
    }
    const double ca0 = std::max(r.a0, q.a0), ca1 = std::min(r.a1, q.a1);
    if (r.a0 < ca0)
        out.push_back({r.a0, ca0, r.b0, r.b1});
    if (ca1 < r.a1)
        out.push_back({ca1, r.a1, r.b0, r.b1});
    if (r.b0 < q.b0)
        out.push_back({ca0, ca1, r.b0, q.b0});
    if (q.b1 < r.b1)
        out.push_back({ca0, ca1, q.b1, r.b1});
}

// Whether box j hides face `face` of box i: it holds the space just outside
// the face, or it has a face in the same place and direction and comes first.
bool Hides(const Cuboid& j, size_t jdx, size_t idx, int face, double c)
{
    const int n = NORMAL[face];
    const double lo = Lo(j, n), hi = Hi(j, n);
    if (UPWARD[face])
        return (lo <= c && c < hi) || (hi == c && jdx < idx);
    return (lo < c && c <= hi) || (lo == c && jdx < idx);
}

// Index of the layer that holds height z (on an interface, the one above),
// or -1 outside the stack. The bounds of layer i are the positions of
// layers i - 1 and i.
int LayerAt(const std::vector<Layer>& ls, double z)
{
    for (size_t i = 1; i < ls.size(); ++i)
        if (ls[i].pos > z)
            return ls[i - 1].pos <= z ? (int)i : -1;
    return -1;
}

}  // namespace

FaceDivisors GaussSurface::Divisors(const Cuboid& m, const Cuboid& g, int gauss_select)
{
    if (gauss_select == 0)
        return {1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
    return {2 * (m.z0 - g.z0), 2 * (m.y0 - g.y0), 2 * (g.x1 - m.x1),
            2 * (g.y1 - m.y1), 2 * (m.x0 - g.x0), 2 * (g.z1 - m.z1)};
}

std::vector<GaussPatch> GaussSurface::Exposed(const std::vector<Cuboid>& boxes, size_t i, int face)
{
    const Cuboid& box = boxes[i];
    const int n = NORMAL[face], a = AXIS_A[face], b = AXIS_B[face];
    const double c = UPWARD[face] ? Hi(box, n) : Lo(box, n);
    std::vector<Rect> left = {{Lo(box, a), Hi(box, a), Lo(box, b), Hi(box, b)}}, next;
    for (size_t j = 0; j < boxes.size() && !left.empty(); ++j) {
        if (j == i || !Hides(boxes[j], j, i, face, c))
            continue;
        const Rect q = {Lo(boxes[j], a), Hi(boxes[j], a), Lo(boxes[j], b), Hi(boxes[j], b)};
        next.clear();
        for (const Rect& r : left)
            Subtract(r, q, next);
        left.swap(next);
    }
    std::vector<GaussPatch> out;
    for (const Rect& r : left) {
        GaussPatch p;
        p.face = face;
        p.fixed = c;
        p.a0 = r.a0;
        p.a1 = r.a1;
        p.b0 = r.b0;
        p.b1 = r.b1;
        out.push_back(p);
    }
    return out;
}

bool GaussSurface::Build(const std::vector<Cuboid>& grown, const std::vector<FaceDivisors>& dist,
                         const std::vector<Layer>& ls)
{
    patches.clear();
    cumulative.clear();
    total = 0.0;
    on_interface = false;
    double per_face[6] = {0, 0, 0, 0, 0, 0};
    auto add = [&](GaussPatch p, double z0, double z1, double eps, double d) {
        p.eps = eps;
        p.dist = d;
        double w = (p.a1 - p.a0) * (z1 - z0) * eps / d;
        if (!(w > 0))
            return;
        if (p.face != 0 && p.face != 5) {
            p.b0 = z0;
            p.b1 = z1;
        }
        patches.push_back(p);
        total += w;
        cumulative.push_back(total);
        per_face[p.face] += w;
    };
    for (size_t i = 0; i < grown.size(); ++i) {
        for (int f = 0; f < 6; ++f) {
            for (const GaussPatch& p : Exposed(grown, i, f)) {
                int k = LayerAt(ls, f == 0 || f == 5 ? p.fixed : p.b0);
                if (k < 0)
                    return false;
                if (f == 0 || f == 5) {
                    if (std::fabs(ls[k - 1].pos - p.fixed) < 1e-12 ||
                        std::fabs(ls[k].pos - p.fixed) < 1e-12)
                        on_interface = true;
                    add(p, p.b0, p.b1, ls[k].diel, dist[i][f]);
                    continue;
                }
                // A side rectangle is cut into one band per layer it crosses.
                for (; k < (int)ls.size(); ++k) {
                    add(p, std::max(ls[k - 1].pos, p.b0), std::min(ls[k].pos, p.b1), ls[k].diel,
                        dist[i][f]);
                    if (ls[k].pos >= p.b1)
                        break;
                }
            }
        }
    }
    for (int f = 0; f < 6; ++f)
        face_share[f] = total > 0 ? per_face[f] / total : 0.0;
    return !patches.empty();
}

Vector3 GaussSurface::Draw(CRandomMersenne& rnd, CRandomMersenne& slice, int& id_gss,
                           double& dist) const
{
    const double x = rnd.Random() * total;
    size_t k = std::lower_bound(cumulative.begin(), cumulative.end(), x) - cumulative.begin();
    if (k >= patches.size())
        k = patches.size() - 1;
    const GaussPatch& p = patches[k];
    id_gss = p.face;
    dist = p.dist;
    const double da = p.a1 - p.a0, db = p.b1 - p.b0;
    if (p.face == 0 || p.face == 5) {
        const double r2 = rnd.Random();
        const double r3 = rnd.Random();
        return Vector3(p.a0 + da * r2, p.b0 + db * r3, p.fixed);
    }
    const double r4 = rnd.Random();
    const int m = slice.IRandomX(0, 49);
    const double z = p.b0 + (m + 0.5) * db / 50;
    const double along = p.a0 + r4 * da;
    if (p.face == 2 || p.face == 4)
        return Vector3(p.fixed, along, z);
    return Vector3(along, p.fixed, z);
}
