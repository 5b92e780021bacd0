// Series solution of div(eps grad u) = 0 in the unit cube, eps piecewise
// constant in z. The centre lies half a side from every face, so each mode
// contributes about exp(-kappa / 2); modes with kappa above KAPPA_CUT add less
// than 1e-19 and are dropped.
#include "cubesolver.h"

#include <cmath>

namespace {

const double PI = 3.14159265358979323846;
const double KAPPA_CUT = 90.0;

// exp(-a) sinh(a) and exp(-a) cosh(a), a >= 0: bounded for any a.
double SinhScaled(double a) { return -0.5 * std::expm1(-2.0 * a); }
double CoshScaled(double a) { return 0.5 * (1.0 + std::exp(-2.0 * a)); }

// sin(m pi / 2) and cos(m pi / 2) exactly.
double SinHalf(int m) { return (m % 2 == 0) ? 0.0 : ((m / 2) % 2 == 0 ? 1.0 : -1.0); }
double CosHalf(int m) { return (m % 2 != 0) ? 0.0 : ((m / 2) % 2 == 0 ? 1.0 : -1.0); }

// Integral of sin(m pi x) over panel column i of S, without cancellation.
double PanelSine(int m, int i, int S)
{
    double w = m * PI;
    return 2.0 * std::sin(w * (2 * i + 1) / (2.0 * S)) * std::sin(w / (2.0 * S)) / w;
}

// Row-major dense matrix, enough for the small products below.
class Matrix {
public:
    int rows, cols;
    std::vector<double> a;
    Matrix(int r, int c) : rows(r), cols(c), a((size_t)r * c, 0.0) {}
    double& operator()(int i, int j) { return a[(size_t)i * cols + j]; }
    double operator()(int i, int j) const { return a[(size_t)i * cols + j]; }
};

// L * M * R^T.
Matrix Sandwich(const Matrix& L, const Matrix& M, const Matrix& R)
{
    Matrix T(L.rows, M.cols);
    for (int i = 0; i < L.rows; ++i)
        for (int p = 0; p < L.cols; ++p) {
            double l = L(i, p);
            if (l == 0.0) continue;
            for (int q = 0; q < M.cols; ++q) T(i, q) += l * M(p, q);
        }
    Matrix out(L.rows, R.rows);
    for (int i = 0; i < L.rows; ++i)
        for (int j = 0; j < R.rows; ++j) {
            double s = 0.0;
            for (int q = 0; q < M.cols; ++q) s += T(i, q) * R(j, q);
            out(i, j) = s;
        }
    return out;
}

// Coefficients of a panel indicator along a face edge in the sine series,
// evaluated at the centre (value) or differentiated there (slope).
void EdgeFactors(int S, int modes, Matrix& value, Matrix& slope)
{
    for (int i = 0; i < S; ++i)
        for (int m = 1; m <= modes; ++m) {
            double c = 2.0 * PanelSine(m, i, S);
            value(i, m - 1) = c * SinHalf(m);
            slope(i, m - 1) = c * m * PI * CosHalf(m);
        }
}

// Vertical factor of a mode with Z(0) = 0, Z(1) = 1, Z'' = g^2 Z in each
// layer, Z and eps Z' continuous at t; ratio = eps below / eps above.
// At z == t the upper branch is used when take_upper is set.
void ModeToTop(double g, double t, double ratio, double z, bool take_upper, double& val,
               double& der)
{
    double d = SinhScaled(g * t) * CoshScaled(g * (1 - t)) +
               ratio * CoshScaled(g * t) * SinhScaled(g * (1 - t));
    double e = std::exp(g * (z - 1)) / d;
    if (z < t || (z == t && !take_upper)) {
        val = e * SinhScaled(g * z);
        der = g * e * CoshScaled(g * z);
        return;
    }
    double w = z - t;
    val = e * (SinhScaled(g * t) * CoshScaled(g * w) + ratio * CoshScaled(g * t) * SinhScaled(g * w));
    der = g * e * (SinhScaled(g * t) * SinhScaled(g * w) + ratio * CoshScaled(g * t) * CoshScaled(g * w));
}

// Prufer angle of the layered eigenproblem at z = 1: continuous and strictly
// increasing in s, equal to k pi exactly at the k-th eigenvalue.
double PruferAngle(double t, double ratio, double s)
{
    double phi = s * t;
    double q = std::nearbyint(phi / PI);
    double delta = phi - q * PI;
    double psi = q * PI + std::atan2(std::sin(delta), ratio * std::cos(delta));
    return psi + s * (1 - t);
}

// One eigenfunction: sin(s z) below t, A cos(s w) + B sin(s w) above (w = z - t).
class Eigen {
public:
    double s, t, a, b, dlow, dhigh, norm;

    Eigen(double s_, double t_, double dlow_, double dhigh_)
        : s(s_), t(t_), a(std::sin(s_ * t_)), b(dlow_ / dhigh_ * std::cos(s_ * t_)), dlow(dlow_),
          dhigh(dhigh_)
    {
        double below = t / 2 - std::sin(2 * s * t) / (4 * s);
        double l = 1 - t;
        double c2 = l / 2 + std::sin(2 * s * l) / (4 * s);
        double s2 = l / 2 - std::sin(2 * s * l) / (4 * s);
        double sc = std::sin(s * l) * std::sin(s * l) / (2 * s);
        norm = dlow * below + dhigh * (a * a * c2 + b * b * s2 + 2 * a * b * sc);
    }

    void At(double z, bool take_upper, double& val, double& der) const
    {
        if (z < t || (z == t && !take_upper)) {
            val = std::sin(s * z);
            der = s * std::cos(s * z);
            return;
        }
        double w = z - t;
        val = a * std::cos(s * w) + b * std::sin(s * w);
        der = s * (b * std::cos(s * w) - a * std::sin(s * w));
    }

    // Integral of eps Z over [z0, z1].
    double WeightedIntegral(double z0, double z1) const
    {
        double sum = 0.0;
        if (z0 < t) {
            double hi = std::min(z1, t);
            sum += dlow * 2 * std::sin(s * (z0 + hi) / 2) * std::sin(s * (hi - z0) / 2) / s;
        }
        if (z1 > t) {
            double w0 = std::max(z0, t) - t, w1 = z1 - t;
            double h = 2 * std::sin(s * (w1 - w0) / 2) / s;
            double mid = s * (w0 + w1) / 2;
            sum += dhigh * h * (a * std::cos(mid) + b * std::sin(mid));
        }
        return sum;
    }
};

// Face at z = 1 (top = true) or z = 0, both with u = x, v = y.
void SolveHorizontalFace(CubeTable& tab, double dlow, double dhigh, double t, bool top)
{
    const int S = tab.segnum;
    const int modes = (int)(KAPPA_CUT / PI) + 1;
    Matrix val(S, modes), slope(S, modes);
    EdgeFactors(S, modes, val, slope);
    Matrix zv(modes, modes), zd(modes, modes);
    for (int m = 1; m <= modes; ++m)
        for (int n = 1; n <= modes; ++n) {
            double g = PI * std::sqrt((double)(m * m + n * n));
            if (g > KAPPA_CUT) continue;
            double v, d;
            if (top) {
                ModeToTop(g, t, dlow / dhigh, 0.5, true, v, d);
            } else {
                // Mirror in z: the bottom face becomes the top of the flipped cube.
                ModeToTop(g, 1 - t, dhigh / dlow, 0.5, false, v, d);
                d = -d;
            }
            zv(m - 1, n - 1) = v;
            zd(m - 1, n - 1) = d;
        }
    const int f = top ? 5 : 0;
    Matrix p = Sandwich(val, zv, val);
    Matrix wx = Sandwich(slope, zv, val);
    Matrix wy = Sandwich(val, zv, slope);
    Matrix wz = Sandwich(val, zd, val);
    for (int i = 0; i < S; ++i)
        for (int j = 0; j < S; ++j) {
            int k = j * S + i;
            tab.P(f, k) = p(i, j);
            tab.W(0, f, k) = wx(i, j);
            tab.W(1, f, k) = wy(i, j);
            tab.W(2, f, k) = wz(i, j);
        }
}

// Face 4 (x = 0, u = y, v = z) solved in sin(n pi y) Z_k(z) sinh(kappa (1 - x));
// the other side faces follow from the symmetries x -> 1 - x and x <-> y.
void SolveSideFaces(CubeTable& tab, double dlow, double dhigh, double t)
{
    const int S = tab.segnum;
    const int nmodes = (int)(KAPPA_CUT / PI) + 1;
    std::vector<double> roots = LayeredEigenvalues(t, dlow / dhigh, KAPPA_CUT);
    const int kmodes = (int)roots.size();
    Matrix val(S, nmodes), slope(S, nmodes);
    EdgeFactors(S, nmodes, val, slope);
    Matrix rowv(S, kmodes), rowd(S, kmodes);
    for (int k = 0; k < kmodes; ++k) {
        Eigen e(roots[k], t, dlow, dhigh);
        double zc, zcd;
        e.At(0.5, true, zc, zcd);
        for (int j = 0; j < S; ++j) {
            double c = e.WeightedIntegral((double)j / S, (double)(j + 1) / S) / e.norm;
            rowv(j, k) = c * zc;
            rowd(j, k) = c * zcd;
        }
    }
    Matrix hv(nmodes, kmodes), hd(nmodes, kmodes);
    for (int n = 1; n <= nmodes; ++n)
        for (int k = 0; k < kmodes; ++k) {
            double kappa = std::hypot(n * PI, roots[k]);
            if (kappa > KAPPA_CUT) continue;
            double e = std::exp(-kappa / 2);
            hv(n - 1, k) = e / (1 + std::exp(-kappa));        // sinh(k/2) / sinh(k)
            hd(n - 1, k) = -kappa * e / -std::expm1(-kappa);  // d/dx at x = 1/2
        }
    Matrix p = Sandwich(val, hv, rowv);
    Matrix wn = Sandwich(val, hd, rowv);
    Matrix wt = Sandwich(slope, hv, rowv);
    Matrix wz = Sandwich(val, hv, rowd);
    for (int i = 0; i < S; ++i)
        for (int j = 0; j < S; ++j) {
            int k = j * S + i;
            for (int f = 1; f <= 4; ++f) {
                tab.P(f, k) = p(i, j);
                tab.W(2, f, k) = wz(i, j);
            }
            // Faces 4 and 2 have x as normal axis, 1 and 3 have y.
            tab.W(0, 4, k) = wn(i, j);
            tab.W(1, 4, k) = wt(i, j);
            tab.W(0, 2, k) = -wn(i, j);
            tab.W(1, 2, k) = wt(i, j);
            tab.W(1, 1, k) = wn(i, j);
            tab.W(0, 1, k) = wt(i, j);
            tab.W(1, 3, k) = -wn(i, j);
            tab.W(0, 3, k) = wt(i, j);
        }
}

}  // namespace

CubeTable::CubeTable(int segnum_)
    : segnum(segnum_), prob((size_t)6 * segnum_ * segnum_, 0.0),
      weight((size_t)18 * segnum_ * segnum_, 0.0)
{
}

double CubeTable::AbsWeightSum(int d) const
{
    double s = 0.0;
    for (int f = 0; f < 6; ++f)
        for (int k = 0; k < Panels(); ++k) s += std::fabs(W(d, f, k));
    return s;
}

std::vector<double> LayeredEigenvalues(double cut, double ratio, double smax)
{
    // |angle - s| < pi / 2, so the k-th root lies in (k pi - pi/2, k pi + pi/2).
    std::vector<double> roots;
    for (int k = 1; k * PI - PI / 2 <= smax; ++k) {
        double lo = k * PI - PI / 2, hi = k * PI + PI / 2;
        for (int it = 0; it < 200; ++it) {
            double mid = 0.5 * (lo + hi);
            if (mid <= lo || mid >= hi) break;
            if (PruferAngle(cut, ratio, mid) < k * PI)
                lo = mid;
            else
                hi = mid;
        }
        double s = 0.5 * (lo + hi);
        if (s <= smax) roots.push_back(s);
    }
    return roots;
}

double LayeredEigenfunction(double cut, double ratio, double s, double z)
{
    Eigen e(s, cut, ratio, 1.0);
    double v, d;
    e.At(z, true, v, d);
    return v;
}

CubeTable SolveCube(int segnum, double dlow, double dhigh, double cut)
{
    CubeTable tab(segnum);
    SolveHorizontalFace(tab, dlow, dhigh, cut, true);
    SolveHorizontalFace(tab, dlow, dhigh, cut, false);
    SolveSideFaces(tab, dlow, dhigh, cut);
    return tab;
}

CubeTable SolveHomogeneous(int segnum) { return SolveCube(segnum, 1.0, 1.0, 0.5); }

CubeTable SolveCutCube(double dlow, double dhigh, int a)
{
    if (a == 0) return SolveHomogeneous(FULL_SEGNUM);
    return SolveCube(FULL_SEGNUM, dlow, dhigh, (double)a / FULL_SEGNUM);
}

CubeTable SolveHalfCube(double dlow, double dhigh) { return SolveCube(HALF_SEGNUM, dlow, dhigh, 0.5); }
