// Series solution of the layered box. A face's panel indicator is expanded
// in the sines of the face's two edges; the third direction is solved
// exactly: by transfer across the layers for the bottom and top faces, by
// the layered eigenfunctions (Prufer angles for the eigenvalues) for the
// side faces. The start point lies a quarter of the height or more from
// the bottom and top and half the side from the side faces, so every mode
// is damped by exp(-kappa / 4) or exp(-kappa * aspect / 2) at least; modes
// damped below exp(-25) are dropped.
#include "stackbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <string>

#include "digest.h"
#include "lawcache.h"

namespace {

const double PI = 3.14159265358979323846;
const double DAMP = 25.0;

double SinHalf(int m) { return (m % 2 == 0) ? 0.0 : ((m / 2) % 2 == 0 ? 1.0 : -1.0); }

// Integral of sin(m pi x) over panel i of S unit-length panels.
double PanelSine(int m, int i, int S)
{
    double w = m * PI;
    return 2.0 * std::sin(w * (2 * i + 1) / (2.0 * S)) * std::sin(w / (2.0 * S)) / w;
}

// The layers of a box: bounds[0] = 0 < ... < bounds[N] = 1.
struct Stack {
    std::vector<double> bounds, eps;
    Stack(const std::vector<double>& cuts, const std::vector<double>& e) : eps(e)
    {
        bounds.push_back(0.0);
        bounds.insert(bounds.end(), cuts.begin(), cuts.end());
        bounds.push_back(1.0);
    }
    int N() const { return (int)eps.size(); }
    int LayerOf(double z) const
    {
        int l = 0;
        while (l + 1 < N() && z >= bounds[l + 1]) ++l;
        return l;
    }
    Stack Flipped() const
    {
        std::vector<double> c, e(eps.rbegin(), eps.rend());
        for (int i = N() - 1; i >= 1; --i) c.push_back(1.0 - bounds[i]);
        return Stack(c, e);
    }
};

// Z(r) / Z(1) and eps Z'(r) / Z(1) for Z(0) = 0, (eps Z')' = eps g^2 Z: the
// potential and flux at height r of a mode that is 1 on the top face.
// Growing solutions only, so forward transfer is stable. At a cut the layer
// above counts, which the flux does not feel: eps Z' is continuous.
void ModeRatios(const Stack& st, double g, const std::vector<double>& rs, double* val, double* flux)
{
    const int N = st.N();
    double Z[64], F[64];
    std::vector<double> zv, fv;
    double* pz = Z;
    double* pf = F;
    if (N + 1 > 64) {
        zv.resize(N + 1);
        fv.resize(N + 1);
        pz = zv.data();
        pf = fv.data();
    }
    pz[0] = 0.0;
    pf[0] = 1.0;
    for (int l = 0; l < N; ++l) {
        double d = st.bounds[l + 1] - st.bounds[l], e = st.eps[l];
        double x = std::exp(g * d), c = 0.5 * (x + 1 / x), s = 0.5 * (x - 1 / x);
        pz[l + 1] = pz[l] * c + pf[l] / (e * g) * s;
        pf[l + 1] = pf[l] * c + e * g * pz[l] * s;
    }
    for (size_t k = 0; k < rs.size(); ++k) {
        int l = st.LayerOf(rs[k]);
        double w = rs[k] - st.bounds[l], e = st.eps[l];
        double x = std::exp(g * w), c = 0.5 * (x + 1 / x), s = 0.5 * (x - 1 / x);
        val[k] = (pz[l] * c + pf[l] / (e * g) * s) / pz[N];
        flux[k] = (pf[l] * c + e * g * pz[l] * s) / pz[N];
    }
}

// Prufer angle at z = 1 of (eps Y')' + s^2 eps Y = 0, Y(0) = 0: continuous,
// strictly increasing in s, k pi at the k-th eigenvalue.
double Prufer(const Stack& st, double s)
{
    double theta = 0.0;
    for (int l = 0; l < st.N(); ++l) {
        if (l > 0) {
            double q = std::nearbyint(theta / PI), delta = theta - q * PI;
            theta = q * PI + std::atan2(std::sin(delta), st.eps[l - 1] / st.eps[l] * std::cos(delta));
        }
        theta += s * (st.bounds[l + 1] - st.bounds[l]);
    }
    return theta;
}

struct Eigen {
    double s, norm;
    std::vector<double> Y, F;  // at the bottom of each layer
};

Eigen MakeEigen(const Stack& st, double s)
{
    Eigen e;
    e.s = s;
    const int N = st.N();
    e.Y.resize(N + 1);
    e.F.resize(N + 1);
    e.Y[0] = 0.0;
    e.F[0] = st.eps[0] * s;
    e.norm = 0.0;
    for (int l = 0; l < N; ++l) {
        double d = st.bounds[l + 1] - st.bounds[l], ep = st.eps[l];
        double a = e.Y[l], b = e.F[l] / (ep * s);
        double c = std::cos(s * d), sn = std::sin(s * d), s2 = std::sin(2 * s * d) / (4 * s);
        e.norm += ep * (a * a * (d / 2 + s2) + b * b * (d / 2 - s2) + a * b * sn * sn / s);
        e.Y[l + 1] = a * c + b * sn;
        e.F[l + 1] = ep * s * (b * c - a * sn);
    }
    return e;
}

// Y(z) and eps Y'(z).
void EigenAt(const Stack& st, const Eigen& e, double z, double& val, double& flux)
{
    int l = st.LayerOf(z);
    double w = z - st.bounds[l], a = e.Y[l], b = e.F[l] / (st.eps[l] * e.s);
    double c = std::cos(e.s * w), sn = std::sin(e.s * w);
    val = a * c + b * sn;
    flux = st.eps[l] * e.s * (b * c - a * sn);
}

// Integral of eps Y over [z0, z1].
double EigenWeighted(const Stack& st, const Eigen& e, double z0, double z1)
{
    double sum = 0.0, s = e.s;
    for (int l = 0; l < st.N(); ++l) {
        double lo = std::max(z0, st.bounds[l]), hi = std::min(z1, st.bounds[l + 1]);
        if (hi <= lo) continue;
        double w0 = lo - st.bounds[l], w1 = hi - st.bounds[l];
        double a = e.Y[l], b = e.F[l] / (st.eps[l] * s);
        sum += st.eps[l] * (a * (std::sin(s * w1) - std::sin(s * w0)) + b * (std::cos(s * w0) - std::cos(s * w1))) / s;
    }
    return sum;
}

std::vector<double> Eigenvalues(const Stack& st, double smax)
{
    std::vector<double> roots;
    const double spread = (st.N() + 1) * PI / 2;
    for (int k = 1; k * PI - spread <= smax; ++k) {
        double lo = std::max(1e-12, k * PI - spread), hi = k * PI + spread;
        while (hi - lo > 1e-14 * hi) {
            double mid = 0.5 * (lo + hi);
            (Prufer(st, mid) < k * PI ? lo : hi) = mid;
        }
        double s = 0.5 * (lo + hi);
        if (s <= smax) roots.push_back(s);
    }
    return roots;
}

double CosHalf(int m) { return (m % 2 != 0) ? 0.0 : ((m / 2) % 2 == 0 ? 1.0 : -1.0); }

// What one face gives for every start height k: the exit probabilities,
// the flux eps dP/dz of a start moved up, and dP/dx of a start moved along
// x, all in units of the box's height. Images counted in each entry.
struct FaceValues {
    std::vector<std::vector<double>> p, fz, wx;
};

// 4 sum_ab L[i][a] Z[a][b] R[j][b] into out[j * half + i].
void Sandwich(int half, int O1, int O2, const double* L, const double* Z, const double* R, double* out)
{
    // Modes past the cut are zero, and they are the most: stop each row at
    // its last nonzero mode.
    std::vector<int> last(O1, 0);
    for (int a = 0; a < O1; ++a)
        for (int b = O2 - 1; b >= 0; --b)
            if (Z[(size_t)a * O2 + b] != 0.0) {
                last[a] = b + 1;
                break;
            }
    std::vector<double> T((size_t)half * O2, 0.0);
    for (int i = 0; i < half; ++i)
        for (int a = 0; a < O1; ++a) {
            double l = L[(size_t)i * O1 + a];
            for (int b = 0; b < last[a]; ++b) T[(size_t)i * O2 + b] += l * Z[(size_t)a * O2 + b];
        }
    for (int i = 0; i < half; ++i)
        for (int j = 0; j < half; ++j) {
            double s = 0.0;
            for (int b = 0; b < O2; ++b) s += T[(size_t)i * O2 + b] * R[(size_t)j * O2 + b];
            out[(size_t)j * half + i] = 4.0 * s;
        }
}

// The bottom or top quarter: the start's x panel index runs along the
// first factor. The quarter holds x, y below A / 2.
void HorizontalFace(const Stack& st, double A, int S, const std::vector<double>& rs, bool top, bool weights,
                    FaceValues& out)
{
    const int half = S / 2;
    const int M = (int)(DAMP * 4 * A / PI) + 1;
    Stack use = top ? st : st.Flipped();
    std::vector<double> r2(rs);
    if (!top)
        for (double& r : r2) r = 1.0 - r;
    const int K = (int)rs.size();
    std::vector<int> odd, even;
    for (int m = 1; m <= M; ++m) (m % 2 ? odd : even).push_back(m);
    const int O = (int)odd.size(), E = (int)even.size();
    // Potentials and fluxes over (odd, odd), potentials over (even, odd).
    std::vector<double> zoo((size_t)K * O * O, 0.0), foo((size_t)K * O * O, 0.0), zeo((size_t)K * E * O, 0.0);
    std::vector<double> v(K), f(K);
    for (int a = 0; a < O; ++a)
        for (int b = a; b < O; ++b) {
            double g = PI * std::hypot((double)odd[a], (double)odd[b]) / A;
            if (g > 4 * DAMP) continue;
            ModeRatios(use, g, r2, v.data(), f.data());
            for (int k = 0; k < K; ++k) {
                zoo[((size_t)k * O + a) * O + b] = zoo[((size_t)k * O + b) * O + a] = v[k];
                foo[((size_t)k * O + a) * O + b] = foo[((size_t)k * O + b) * O + a] = top ? f[k] : -f[k];
            }
        }
    for (int a = 0; a < (weights ? E : 0); ++a)
        for (int b = 0; b < O; ++b) {
            double g = PI * std::hypot((double)even[a], (double)odd[b]) / A;
            if (g > 4 * DAMP) continue;
            ModeRatios(use, g, r2, v.data(), f.data());
            for (int k = 0; k < K; ++k) zeo[((size_t)k * E + a) * O + b] = v[k];
        }
    std::vector<double> V((size_t)half * O), D((size_t)half * std::max(E, 1));
    for (int i = 0; i < half; ++i) {
        for (int a = 0; a < O; ++a) V[(size_t)i * O + a] = 2.0 * PanelSine(odd[a], i, S) * SinHalf(odd[a]);
        for (int a = 0; a < E; ++a)
            D[(size_t)i * E + a] = 2.0 * PanelSine(even[a], i, S) * (even[a] * PI / A) * CosHalf(even[a]);
    }
    const size_t Q = (size_t)half * half;
    out.p.assign(K, std::vector<double>(Q));
    out.fz.assign(K, std::vector<double>(Q));
    out.wx.assign(K, std::vector<double>(Q));
    for (int k = 0; k < K; ++k) {
        Sandwich(half, O, O, V.data(), &zoo[(size_t)k * O * O], V.data(), out.p[k].data());
        if (!weights) continue;
        Sandwich(half, O, O, V.data(), &foo[(size_t)k * O * O], V.data(), out.fz[k].data());
        if (E > 0) Sandwich(half, E, O, D.data(), &zeo[(size_t)k * E * O], V.data(), out.wx[k].data());
    }
}

// One half of the side faces, out[k][row * half + i]: p and fz for the
// side x = 0 (images on all four sides and both halves counted); wx for
// the side x = 0 (normal derivative; images the other half and, negated,
// the side x = A) and then for the side y = 0 (derivative along it; images
// the side y = A and, negated, the other half), the two one after the other.
void SideFace(const Stack& st, double A, int S, const std::vector<double>& zb, const std::vector<double>& rs,
              bool weights, FaceValues& out)
{
    const int SZ = (int)zb.size() - 1;
    const int half = S / 2;
    const double kmax = 2 * DAMP / A;
    const int nmax = (int)(kmax * A / PI) + 1;
    std::vector<double> roots = Eigenvalues(st, kmax);
    const int K = (int)rs.size();
    const size_t H = (size_t)half * SZ;
    out.p.assign(K, std::vector<double>(H, 0.0));
    out.fz.assign(K, std::vector<double>(H, 0.0));
    out.wx.assign(K, std::vector<double>(2 * H, 0.0));
    std::vector<double> zpanel(SZ), at(K), fl(K);
    for (double s : roots) {
        Eigen e = MakeEigen(st, s);
        for (int j = 0; j < SZ; ++j) zpanel[j] = EigenWeighted(st, e, zb[j], zb[j + 1]) / e.norm;
        for (int k = 0; k < K; ++k) EigenAt(st, e, rs[k], at[k], fl[k]);
        for (int n = 1; n <= nmax; n += weights ? 1 : 2) {
            double kappa = std::hypot(n * PI / A, s);
            if (kappa > kmax) break;
            double x = std::exp(-kappa * A);
            // sinh(kappa A / 2) / sinh(kappa A), and -kappa cosh(kappa A / 2) / sinh(kappa A).
            double damp = std::exp(-kappa * A / 2) / (1 + x);
            double normal = -kappa * std::exp(-kappa * A / 2) * (1 + x) / (1 - x * x);
            for (int i = 0; i < half; ++i) {
                double c = 2.0 * PanelSine(n, i, S);
                double cp = 8.0 * c * SinHalf(n) * damp, cn = 4.0 * c * SinHalf(n) * normal;
                double ct = 4.0 * c * (n * PI / A) * CosHalf(n) * damp;
                for (int k = 0; k < K; ++k)
                    for (int j = 0; j < SZ; ++j) {
                        const size_t idx = (size_t)j * half + i;
                        if (!weights) {
                            out.p[k][idx] += cp * zpanel[j] * at[k];
                        } else if (n % 2) {
                            out.p[k][idx] += cp * zpanel[j] * at[k];
                            out.fz[k][idx] += cp * zpanel[j] * fl[k];
                            out.wx[k][idx] += cn * zpanel[j] * at[k];
                        } else {
                            out.wx[k][H + idx] += ct * zpanel[j] * at[k];
                        }
                    }
            }
        }
    }
}

// Side panels: SZ rows, split at every cut so that no panel holds a step
// of the permittivity (a density that jumps inside a panel would make the
// uniform draw in it wrong to first order).
std::vector<double> SideRows(const std::vector<double>& cuts, int SZ)
{
    std::vector<double> zb;
    for (int j = 0; j <= SZ; ++j) zb.push_back((double)j / SZ);
    zb.insert(zb.end(), cuts.begin(), cuts.end());
    std::sort(zb.begin(), zb.end());
    std::vector<double> kept;
    for (double z : zb)
        if (kept.empty() || z - kept.back() > 1e-9) kept.push_back(z);
    kept.back() = 1.0;
    return kept;
}

}  // namespace

namespace {

struct BoxValues {
    FaceValues bottom, top, side;
};

BoxValues SolveAll(const std::vector<double>& cuts, const std::vector<double>& eps, double aspect, int S,
                   const std::vector<double>& zb, const std::vector<double>& rs, bool weights)
{
    Stack st(cuts, eps);
    BoxValues b;
    HorizontalFace(st, aspect, S, rs, false, weights, b.bottom);
    HorizontalFace(st, aspect, S, rs, true, weights, b.top);
    SideFace(st, aspect, S, zb, rs, weights, b.side);
    return b;
}

// Cumulative |values| normalised to 1, their signs, and their sum.
void Cumulate(const std::vector<const std::vector<double>*>& parts, float* cdf, signed char* sign, double& total)
{
    double acc = 0.0;
    int e = 0;
    for (const auto* part : parts)
        for (double v : *part) {
            acc += std::fabs(v);
            if (sign) sign[e] = v < 0 ? -1 : 1;
            cdf[e++] = (float)acc;
        }
    for (int i = 0; i < e; ++i) cdf[i] = (float)(cdf[i] / acc);
    total = acc;
}

}  // namespace

StackBoxSample StackBoxProbabilities(const std::vector<double>& cuts, const std::vector<double>& eps, double aspect,
                                     double r, int S, int SZ)
{
    BoxValues b = SolveAll(cuts, eps, aspect, S, SideRows(cuts, SZ), std::vector<double>(1, r), true);
    StackBoxSample out;
    for (const auto* f : {&b.bottom, &b.top, &b.side}) {
        out.p.insert(out.p.end(), f->p[0].begin(), f->p[0].end());
        out.fz.insert(out.fz.end(), f->fz[0].begin(), f->fz[0].end());
        out.wx.insert(out.wx.end(), f->wx[0].begin(), f->wx[0].end());
    }
    return out;
}

StackBoxLaw SolveStackBox(const std::vector<double>& cuts, const std::vector<double>& eps, double aspect, bool weights,
                          int S, int SZ, int steps)
{
    StackBoxLaw law;
    law.S = S;
    law.zb = SideRows(cuts, SZ);
    law.SZ = (int)law.zb.size() - 1;
    law.aspect = aspect;
    law.cuts = cuts;
    law.eps = eps;
    for (int j = 0; j <= steps; ++j) law.nodes.push_back(0.25 + 0.5 * j / steps);
    for (double c : cuts)
        if (c > 0.25 && c < 0.75) law.nodes.push_back(c);
    std::sort(law.nodes.begin(), law.nodes.end());
    std::vector<double> kept;
    for (double r : law.nodes)
        if (kept.empty() || r - kept.back() > 1e-9) kept.push_back(r);
    law.nodes = kept;

    BoxValues b = SolveAll(cuts, eps, aspect, S, law.zb, law.nodes, weights);
    const size_t K = law.nodes.size();
    const int n = law.Entries(), nx = law.XEntries();
    law.cdf.resize(K * n);
    if (!weights) {
        for (size_t k = 0; k < K; ++k) {
            for (auto* f : {&b.bottom, &b.top, &b.side})
                for (double& v : f->p[k]) v = std::max(v, 0.0);
            double unused;
            Cumulate({&b.bottom.p[k], &b.top.p[k], &b.side.p[k]}, &law.cdf[k * n], nullptr, unused);
        }
        return law;
    }
    law.zcdf.resize(K * n);
    law.zsign.resize(K * n);
    law.xcdf.resize(K * nx);
    law.xsign.resize(K * nx);
    law.ztotal.resize(K);
    law.xtotal.resize(K);
    for (size_t k = 0; k < K; ++k) {
        // A panel's probability is positive; truncation noise below 1e-10
        // must not make a cumulative sum step back.
        for (auto* f : {&b.bottom, &b.top, &b.side})
            for (double& v : f->p[k]) v = std::max(v, 0.0);
        double unused;
        Cumulate({&b.bottom.p[k], &b.top.p[k], &b.side.p[k]}, &law.cdf[k * n], nullptr, unused);
        Cumulate({&b.bottom.fz[k], &b.top.fz[k], &b.side.fz[k]}, &law.zcdf[k * n], &law.zsign[k * n], law.ztotal[k]);
        Cumulate({&b.bottom.wx[k], &b.top.wx[k], &b.side.wx[k]}, &law.xcdf[k * nx], &law.xsign[k * nx], law.xtotal[k]);
    }
    return law;
}

const double StackBoxes::ASPECT[StackBoxes::ASPECTS] = {0.5, 1.0, 2.0, 4.0};

StackBoxes* StackBoxes::Build(const std::vector<Layer>& layers, bool near_interfaces)
{
    std::vector<double> faces, above;
    double bottom = 1.0;
    for (size_t i = 0; i + 1 < layers.size(); ++i) {
        if (std::fabs(layers[i].pos) >= FAR_POS / 2) continue;
        if (faces.empty()) bottom = layers[i].diel;
        faces.push_back(layers[i].pos);
        above.push_back(layers[i + 1].diel);
    }
    if (faces.size() < 2) return nullptr;
    // Planes at the quarters of every band as well, so that a box can end
    // inside a thick band around a thin one.
    // Below the lowest and above the highest interface the outer media run
    // on: planes at doubling distances let boxes grow there too.
    std::vector<double> z, eps;
    const double step = faces[1] - faces[0], top_step = faces.back() - faces[faces.size() - 2];
    for (int k = OUTER_PLANES; k >= 0; --k) {
        z.push_back(faces[0] - step * std::ldexp(1.0, k) / PLANES_PER_BAND);
        eps.push_back(bottom);
    }
    for (size_t i = 0; i < faces.size(); ++i) {
        z.push_back(faces[i]);
        eps.push_back(above[i]);
        if (i + 1 == faces.size()) {
            for (int k = 0; k <= OUTER_PLANES; ++k) {
                z.push_back(faces[i] + top_step * std::ldexp(1.0, k) / PLANES_PER_BAND);
                eps.push_back(above[i]);
            }
            break;
        }
        const double t = faces[i + 1] - faces[i];
        for (int k = 1; k < PLANES_PER_BAND; ++k) {
            z.push_back(faces[i] + t * k / PLANES_PER_BAND);
            eps.push_back(above[i]);
        }
    }
    if (near_interfaces) {
        // First hops start at any distance from an interface their Gaussian
        // surface crosses. Planes at halving distances on both sides of each
        // interface give such a start a box about as large as its distance
        // to the conductors, however close it lies to the interface; its
        // weight then stays bounded.
        std::vector<std::pair<double, double>> planes;
        for (size_t i = 0; i < z.size(); ++i) planes.push_back({z[i], eps[i]});
        for (size_t i = 0; i < faces.size(); ++i) {
            const double below = i > 0 ? faces[i] - faces[i - 1] : faces[1] - faces[0];
            const double over = i + 1 < faces.size() ? faces[i + 1] - faces[i] : below;
            const double eps_below = i > 0 ? above[i - 1] : bottom;
            for (int k = 1; k <= REFINE_PLANES; ++k) {
                planes.push_back({faces[i] - below * std::ldexp(1.0, -k), eps_below});
                planes.push_back({faces[i] + over * std::ldexp(1.0, -k), above[i]});
            }
        }
        std::sort(planes.begin(), planes.end());
        z.clear();
        eps.clear();
        for (const auto& p : planes)
            if (z.empty() || p.first - z.back() > 1e-9) {
                z.push_back(p.first);
                eps.push_back(p.second);
            }
    }
    StackBoxes* b = new StackBoxes(z.size() * z.size() * ASPECTS);
    // A first hop looks once per walk, and past the many planes close by.
    b->candidates = near_interfaces ? 64 : 16;
    b->weights = near_interfaces;
    b->z = z;
    b->eps_above = eps;
    b->eps_bottom = bottom;
    return b;
}

StackBoxes::~StackBoxes()
{
    for (auto& l : laws) delete l.load();
}

StackBoxChoice StackBoxes::Choose(double z0, double d) const
{
    StackBoxChoice best;
    const int n = (int)z.size();
    // First interface above z0 (more than MIE above).
    int up = (int)(std::upper_bound(z.begin(), z.end(), z0 + MIE) - z.begin());
    int down = up - 1;
    while (down >= 0 && z[down] >= z0 - MIE) --down;
    for (int a = down, i = 0; a >= 0 && i < candidates && z0 - z[a] <= d; --a, ++i) {
        for (int b = up, j = 0; b < n && j < candidates && z[b] - z0 <= d; ++b, ++j) {
            double H = z[b] - z[a], r = (z0 - z[a]) / H;
            if (r < 0.25) break;  // only worse further up
            if (r > 0.75) continue;
            double amax = 2 * d / H;
            int q = ASPECTS - 1;
            while (q >= 0 && ASPECT[q] > amax) --q;
            if (q < 0) break;
            double reach = std::min(std::min(z0 - z[a], z[b] - z0), ASPECT[q] * H / 2);
            if (reach > best.reach) {
                best.a = a;
                best.b = b;
                best.q = q;
                best.reach = reach;
            }
        }
    }
    return best;
}

namespace {

// A law on disk: magic, then every field with its length, then the digest
// of all that came before. A file is taken only when its magic, its key
// (the box's stack, shape and the solver's settings) and its digest all
// match; anything else is solved afresh. Files are written under a
// temporary name and renamed, so a reader never sees half of one.
const uint64_t LAW_MAGIC = 0x4b4f525641424f58ull + 1;  // bump when the solver changes

struct Writer {
    std::string bytes;
    template <class T>
    void Put(const std::vector<T>& v)
    {
        uint64_t n = v.size();
        bytes.append((const char*)&n, 8);
        if (n)  // an empty vector's data() may be null
            bytes.append((const char*)v.data(), n * sizeof(T));
    }
    void Put(uint64_t x) { bytes.append((const char*)&x, 8); }
};

struct Reader {
    const std::string& bytes;
    size_t at = 0;
    bool ok = true;
    explicit Reader(const std::string& b) : bytes(b) {}
    template <class T>
    void Get(std::vector<T>& v)
    {
        uint64_t n = 0;
        Get(n);
        if (!ok || n > (bytes.size() - at) / sizeof(T)) {
            ok = false;
            return;
        }
        v.resize(n);
        if (n)
            memcpy(v.data(), bytes.data() + at, n * sizeof(T));
        at += n * sizeof(T);
    }
    void Get(uint64_t& x)
    {
        if (bytes.size() - at < 8) {
            ok = false;
            return;
        }
        memcpy(&x, bytes.data() + at, 8);
        at += 8;
    }
};

std::string KeyBytes(const std::vector<double>& cuts, const std::vector<double>& eps, double aspect, bool weights,
                     int S, int SZ, int steps)
{
    Writer w;
    w.Put(LAW_MAGIC);
    w.Put(std::vector<double>{aspect, DAMP});
    w.Put((uint64_t)weights);
    w.Put(std::vector<int>{S, SZ, steps});
    w.Put(cuts);
    w.Put(eps);
    return w.bytes;
}

std::string LawPath(const std::string& dir, const std::string& key)
{
    char name[40];
    snprintf(name, sizeof name, "/%016llx.law", (unsigned long long)DigestBytes(key.data(), key.size()));
    return dir + name;
}

bool LoadLaw(const std::string& path, const std::string& key, StackBoxLaw& law)
{
    // A law is a few megabytes at most; anything far larger is not one.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_size > (64 << 20))
        return false;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
    if (bytes.size() < key.size() + 8 || bytes.compare(0, key.size(), key) != 0)
        return false;
    uint64_t digest;
    memcpy(&digest, bytes.data() + bytes.size() - 8, 8);
    if (digest != DigestBytes(bytes.data(), bytes.size() - 8))
        return false;
    Reader r(bytes);
    r.at = key.size();
    std::vector<int> ints;
    std::vector<double> aspect;
    r.Get(ints);
    r.Get(aspect);
    r.Get(law.zb);
    r.Get(law.cuts);
    r.Get(law.eps);
    r.Get(law.nodes);
    r.Get(law.cdf);
    r.Get(law.zcdf);
    r.Get(law.xcdf);
    r.Get(law.zsign);
    r.Get(law.xsign);
    r.Get(law.ztotal);
    r.Get(law.xtotal);
    if (!r.ok || r.at != bytes.size() - 8 || ints.size() != 2 || aspect.size() != 1)
        return false;
    law.S = ints[0];
    law.SZ = ints[1];
    law.aspect = aspect[0];
    const size_t K = law.nodes.size();
    const bool whole =
        law.S > 0 && law.SZ + 1 == (int)law.zb.size() && law.cdf.size() == K * law.Entries() &&
        (law.zcdf.empty() || (law.zcdf.size() == K * law.Entries() && law.xcdf.size() == K * law.XEntries() &&
                              law.zsign.size() == law.zcdf.size() && law.xsign.size() == law.xcdf.size() &&
                              law.ztotal.size() == K && law.xtotal.size() == K));
    if (whole)
        MarkLawUsed(path);
    return whole;
}

void StoreLaw(const std::string& dir, const std::string& path, const std::string& key, const StackBoxLaw& law)
{
    Writer w;
    w.bytes = key;
    w.Put(std::vector<int>{law.S, law.SZ});
    w.Put(std::vector<double>{law.aspect});
    w.Put(law.zb);
    w.Put(law.cuts);
    w.Put(law.eps);
    w.Put(law.nodes);
    w.Put(law.cdf);
    w.Put(law.zcdf);
    w.Put(law.xcdf);
    w.Put(law.zsign);
    w.Put(law.xsign);
    w.Put(law.ztotal);
    w.Put(law.xtotal);
    w.Put(DigestBytes(w.bytes.data(), w.bytes.size()));
    StoreWhole(dir, path, w.bytes);
}

}  // namespace

void StoreWhole(const std::string& dir, const std::string& path, const std::string& bytes)
{
    mkdir(dir.c_str(), 0777);
    const std::string tmp = path + ".tmp" + std::to_string((long)getpid());
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f)
        return;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (fclose(f) != 0 || !ok || rename(tmp.c_str(), path.c_str()) != 0)
        unlink(tmp.c_str());
}

static thread_local bool making = false;

bool StackBoxes::Making() { return making; }

LayeredBoxLaws::LayeredBoxLaws(bool weights_) : weights(weights_)
{
    for (auto& l : laws)
        l.store(nullptr);
    for (auto& i : index)
        i.store(-1);
}

LayeredBoxLaws::~LayeredBoxLaws()
{
    for (auto& l : laws)
        delete l.load();
}

const StackBoxLaw* LayeredBoxLaws::Get(const std::vector<double>& cuts, const std::vector<double>& eps, double aspect)
{
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        h = (h ^ bits) * 1099511628211ull;
    };
    mix(aspect);
    for (double c : cuts)
        mix(c);
    for (double e : eps)
        mix(e);
    h ^= h >> 29;
    auto same = [&](int slot) {
        const std::vector<double>& k = keys[slot];
        if (hashes[slot] != h || k.size() != cuts.size() + eps.size() + 1 || k[0] != aspect)
            return false;
        return std::equal(cuts.begin(), cuts.end(), k.begin() + 1) &&
               std::equal(eps.begin(), eps.end(), k.begin() + 1 + cuts.size());
    };
    // A slot is published in the index only after its key and law are in
    // place, so a reader that finds it may read them.
    size_t at = h & (INDEX - 1);
    for (int slot; (slot = index[at].load(std::memory_order_acquire)) >= 0; at = (at + 1) & (INDEX - 1))
        if (same(slot))
            return laws[slot].load(std::memory_order_acquire);
    std::lock_guard<std::mutex> guard(lock);
    for (int slot; (slot = index[at].load(std::memory_order_acquire)) >= 0; at = (at + 1) & (INDEX - 1))
        if (same(slot))
            return laws[slot].load(std::memory_order_acquire);
    const int now = made.load();
    if (now == SLOTS)
        return nullptr;
    making = true;
    StackBoxLaw* law = new StackBoxLaw();
    const std::string bytes = KeyBytes(cuts, eps, aspect, weights, 24, 32, 16);
    const std::string path = cache_dir.empty() ? "" : LawPath(cache_dir, bytes);
    if (path.empty() || !LoadLaw(path, bytes, *law)) {
        *law = SolveStackBox(cuts, eps, aspect, weights, 24, 32, 16);
        if (!path.empty())
            StoreLaw(cache_dir, path, bytes, *law);
    }
    std::vector<double> key{aspect};
    key.insert(key.end(), cuts.begin(), cuts.end());
    key.insert(key.end(), eps.begin(), eps.end());
    keys[now] = std::move(key);
    hashes[now] = h;
    making = false;
    laws[now].store(law, std::memory_order_release);
    made.store(now + 1, std::memory_order_release);
    index[at].store(now, std::memory_order_release);
    return law;
}

const StackBoxLaw& StackBoxes::Law(const StackBoxChoice& c)
{
    std::atomic<const StackBoxLaw*>& slot = laws[Slot(c.a, c.b, c.q)];
    const StackBoxLaw* law = slot.load(std::memory_order_acquire);
    if (law) return *law;
    std::lock_guard<std::mutex> guard(lock);
    law = slot.load(std::memory_order_acquire);
    if (law) return *law;
    making = true;
    const double H = z[c.b] - z[c.a];
    std::vector<double> cuts, eps;
    for (int i = c.a; i < c.b; ++i) {
        if (i > c.a && eps_above[i] == eps_above[i - 1]) continue;
        if (i > c.a) cuts.push_back((z[i] - z[c.a]) / H);
        eps.push_back(eps_above[i]);
    }
    const int S = 24 * refine, SZ = 32 * refine, steps = 16 * refine;
    StackBoxLaw* made_law = new StackBoxLaw();
    const std::string key = KeyBytes(cuts, eps, ASPECT[c.q], weights, S, SZ, steps);
    const std::string path = cache_dir.empty() ? "" : LawPath(cache_dir, key);
    if (path.empty() || !LoadLaw(path, key, *made_law)) {
        *made_law = SolveStackBox(cuts, eps, ASPECT[c.q], weights, S, SZ, steps);
        if (!path.empty())
            StoreLaw(cache_dir, path, key, *made_law);
    }
    law = made_law;
    making = false;
    slot.store(law, std::memory_order_release);
    made.fetch_add(1);
    return *law;
}

namespace {

// The node whose law a start at r takes: the mixture of the laws at the
// two nodes around r.
int PickNode(const std::vector<double>& nd, double r, double u)
{
    int k = (int)(std::upper_bound(nd.begin(), nd.end(), r) - nd.begin()) - 1;
    k = std::max(0, std::min(k, (int)nd.size() - 1));
    if (k + 1 < (int)nd.size() && r > nd[k] && u < (r - nd[k]) / (nd[k + 1] - nd[k])) ++k;
    return k;
}

int PickEntry(const float* c, int n, double u)
{
    int e = (int)(std::upper_bound(c, c + n, (float)u) - c);
    return e < n ? e : n - 1;
}

// Entry e of the p / fz layout, image bits (three) and places in the panel.
BoxPoint Place(const StackBoxLaw& law, int e, int bits, double f, double g)
{
    const int half = law.S / 2;
    const double A = law.aspect, step = A / law.S;
    BoxPoint p;
    if (e < 2 * law.Quarter()) {
        bool top = e >= law.Quarter();
        int q = top ? e - law.Quarter() : e;
        p.x = (q % half + f) * step;
        p.y = (q / half + g) * step;
        if (bits & 1) p.x = A - p.x;
        if (bits & 2) p.y = A - p.y;
        p.z = top ? 1.0 : 0.0;
        return p;
    }
    int q = e - 2 * law.Quarter();
    double t = (q % half + f) * step;
    if (bits & 1) t = A - t;
    const int row = q / half;
    p.z = law.zb[row] + g * (law.zb[row + 1] - law.zb[row]);
    switch (bits >> 1) {
    case 0: p.x = 0.0; p.y = t; break;
    case 1: p.x = A; p.y = t; break;
    case 2: p.y = 0.0; p.x = t; break;
    default: p.y = A; p.x = t; break;
    }
    return p;
}

}  // namespace

BoxPoint DrawStackBox(const StackBoxLaw& law, double r, double u_node, double u_entry, double u_image,
                      double u_place)
{
    const int k = PickNode(law.nodes, r, u_node);
    const int e = PickEntry(law.NodeCdf(k), law.Entries(), u_entry);
    const double t8 = u_image * 8.0;
    const int bits = std::min(7, (int)t8);
    return Place(law, e, bits, t8 - bits, u_place);
}

BoxPoint DrawStackBoxWeighted(const StackBoxLaw& law, double r, bool along_z, double u_node, double u_entry,
                              double u_image, double u_place, double& weight)
{
    const int k = PickNode(law.nodes, r, u_node);
    if (along_z) {
        const int n = law.Entries();
        const int e = PickEntry(&law.zcdf[(size_t)k * n], n, u_entry);
        weight = law.zsign[(size_t)k * n + e] * law.ztotal[k];
        const double t8 = u_image * 8.0;
        const int bits = std::min(7, (int)t8);
        return Place(law, e, bits, t8 - bits, u_place);
    }
    const int n = law.XEntries();
    const int e = PickEntry(&law.xcdf[(size_t)k * n], n, u_entry);
    double sign = law.xsign[(size_t)k * n + e];
    const double t4 = u_image * 4.0;
    const int bits = std::min(3, (int)t4);
    const double f = t4 - bits;
    const int half = law.S / 2;
    const int sides = half * law.SZ;
    BoxPoint p;
    if (e < 2 * law.Quarter()) {
        // Moving the start along x: the image mirrored in x has the
        // opposite derivative.
        p = Place(law, e, bits, f, u_place);
        if (bits & 1) sign = -sign;
    } else if (e < 2 * law.Quarter() + sides) {
        // The sides across x: the one at x = A has the opposite derivative.
        p = Place(law, e, (bits & 1) | (bits & 2 ? 2 : 0), f, u_place);
        if (bits & 2) sign = -sign;
    } else {
        // The sides along x: mirrored along the side, the opposite derivative.
        p = Place(law, e - sides, (bits & 1) | (bits & 2 ? 6 : 4), f, u_place);
        if (bits & 1) sign = -sign;
    }
    weight = sign * law.xtotal[k];
    return p;
}
