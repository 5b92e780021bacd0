#include "shelltable.h"

#include <algorithm>
#include <cmath>

namespace {

// Cell faces along one axis: every break kept, each interval cut into
// cells of `first` next to its ends, growing by `growth` towards its middle.
std::vector<double> AxisEdges(std::vector<double> breaks, double first, double growth, double merge)
{
    std::sort(breaks.begin(), breaks.end());
    std::vector<double> kept;
    for (double b : breaks)
        if (kept.empty() || b - kept.back() > merge)
            kept.push_back(b);
    std::vector<double> edges;
    for (size_t i = 0; i + 1 < kept.size(); ++i) {
        const double a = kept[i], b = kept[i + 1];
        std::vector<double> left{a}, right;
        double l = a, r = b, s = first;
        while (r - l > 4 * s) {
            l += s;
            r -= s;
            left.push_back(l);
            right.push_back(r);
            s *= growth;
        }
        const int n = std::max(1, (int)std::ceil((r - l) / s - 1e-9));
        for (int k = 1; k < n; ++k)
            left.push_back(l + (r - l) * k / n);
        edges.insert(edges.end(), left.begin(), left.end());
        edges.insert(edges.end(), right.rbegin(), right.rend());
    }
    if (!kept.empty())
        edges.push_back(kept.back());
    return edges;
}

// The cells [i0, i1) of `edges` that [lo, hi] covers.
void Range(const std::vector<double>& edges, double lo, double hi, double merge, int& i0, int& i1)
{
    i0 = (int)(std::lower_bound(edges.begin(), edges.end(), lo - merge) - edges.begin());
    i1 = (int)(std::lower_bound(edges.begin(), edges.end(), hi - merge) - edges.begin());
}

}  // namespace

bool ShellTable::Solve(const std::vector<Cuboid>& blocks, const std::array<double, 6>& margin,
                       const std::function<double(const Vector3&)>& eps, const std::vector<double>& planes, int level,
                       long long max_cells)
{
    const double h = *std::min_element(margin.begin(), margin.end());
    panels.clear();
    cumulative.clear();
    cells = 0;
    imbalance = 0.0;
    const double merge = 1e-6 * h;
    std::vector<double> breaks[3];
    double zlo = 1e300, zhi = -1e300;
    for (const Cuboid& b : blocks) {
        const double lo[3] = {b.x0, b.y0, b.z0}, hi[3] = {b.x1, b.y1, b.z1};
        for (int a = 0; a < 3; ++a)
            breaks[a].insert(breaks[a].end(), {lo[a] - margin[2 * a], lo[a], hi[a], hi[a] + margin[2 * a + 1]});
        zlo = std::min(zlo, b.z0 - margin[4]);
        zhi = std::max(zhi, b.z1 + margin[5]);
    }
    for (double z : planes)
        if (z > zlo && z < zhi)
            breaks[2].push_back(z);
    std::vector<double> e[3];
    for (int a = 0; a < 3; ++a)
        e[a] = AxisEdges(breaks[a], h / level, 1.0 + 2.0 / level, merge);
    const int n[3] = {(int)e[0].size() - 1, (int)e[1].size() - 1, (int)e[2].size() - 1};
    cells = (long long)n[0] * n[1] * n[2];
    if (cells > max_cells)
        return false;
    auto at = [&](int i, int j, int k) { return ((size_t)k * n[1] + j) * n[0] + i; };

    // 0: outside S, held at 0; 1: inside F, held at 1; 2: the shell.
    std::vector<signed char> kind((size_t)cells, 0);
    for (int pass = 0; pass < 2; ++pass)
        for (const Cuboid& b : blocks) {
            const double g = pass == 0 ? 1.0 : 0.0;
            int r[3][2];
            Range(e[0], b.x0 - g * margin[0], b.x1 + g * margin[1], merge, r[0][0], r[0][1]);
            Range(e[1], b.y0 - g * margin[2], b.y1 + g * margin[3], merge, r[1][0], r[1][1]);
            Range(e[2], b.z0 - g * margin[4], b.z1 + g * margin[5], merge, r[2][0], r[2][1]);
            for (int k = r[2][0]; k < r[2][1]; ++k)
                for (int j = r[1][0]; j < r[1][1]; ++j)
                    for (int i = r[0][0]; i < r[0][1]; ++i)
                        kind[at(i, j, k)] = pass == 0 ? 2 : 1;
        }

    // The unknowns, their conductances to their neighbours (finite volumes,
    // the permittivity constant in a cell), and the faces they share with S.
    std::vector<int> index((size_t)cells, -1);
    std::vector<int> cell_of;
    for (size_t c = 0; c < (size_t)cells; ++c)
        if (kind[c] == 2) {
            index[c] = (int)cell_of.size();
            cell_of.push_back((int)c);
        }
    const size_t u = cell_of.size();
    if (u == 0)
        return false;
    std::vector<double> diag(u, 0.0), rhs(u, 0.0), cond(6 * u, 0.0), cell_eps(u);
    std::vector<int> nb(6 * u, -1);
    struct Open {
        int unknown;
        double g;
        Panel p;
    };
    std::vector<Open> open;
    std::vector<double> g_f(u, 0.0);
    auto coords = [&](int c, int ijk[3]) {
        ijk[0] = c % n[0];
        ijk[1] = (c / n[0]) % n[1];
        ijk[2] = c / (n[0] * n[1]);
    };
    for (size_t q = 0; q < u; ++q) {
        int ijk[3];
        coords(cell_of[q], ijk);
        const Vector3 mid(0.5 * (e[0][ijk[0]] + e[0][ijk[0] + 1]), 0.5 * (e[1][ijk[1]] + e[1][ijk[1] + 1]),
                          0.5 * (e[2][ijk[2]] + e[2][ijk[2] + 1]));
        cell_eps[q] = eps(mid);
    }
    for (size_t q = 0; q < u; ++q) {
        int ijk[3];
        coords(cell_of[q], ijk);
        double w[3];
        for (int a = 0; a < 3; ++a)
            w[a] = e[a][ijk[a] + 1] - e[a][ijk[a]];
        for (int a = 0; a < 3; ++a) {
            const int b = (a + 1) % 3, c2 = (a + 2) % 3;
            const double area = w[b] * w[c2];
            for (int side = 0; side < 2; ++side) {
                int o[3] = {ijk[0], ijk[1], ijk[2]};
                o[a] += side == 0 ? -1 : 1;
                const bool inside = o[a] >= 0 && o[a] < n[a];
                const int other = inside ? (int)at(o[0], o[1], o[2]) : -1;
                const int k = inside ? kind[other] : 0;
                double g;
                if (k == 2) {
                    const int r = index[other];
                    const double wo = e[a][o[a] + 1] - e[a][o[a]];
                    g = area / (0.5 * w[a] / cell_eps[q] + 0.5 * wo / cell_eps[r]);
                    nb[6 * q + 2 * a + side] = r;
                    cond[6 * q + 2 * a + side] = g;
                } else {
                    g = area * cell_eps[q] / (0.5 * w[a]);
                    if (k == 1) {
                        rhs[q] += g;
                        g_f[q] += g;
                    } else {
                        Panel p;
                        p.axis = a;
                        p.fixed = side == 0 ? e[a][ijk[a]] : e[a][ijk[a] + 1];
                        const int lo = std::min(b, c2), hi = std::max(b, c2);
                        p.a0 = e[lo][ijk[lo]];
                        p.a1 = e[lo][ijk[lo] + 1];
                        p.b0 = e[hi][ijk[hi]];
                        p.b1 = e[hi][ijk[hi] + 1];
                        open.push_back({(int)q, g, p});
                    }
                }
                diag[q] += g;
            }
        }
    }

    // Conjugate gradients with the diagonal as preconditioner; the matrix is
    // a symmetric M-matrix, so the solution lies in (0, 1).
    std::vector<double> x(u, 0.0), r = rhs, z(u), p(u), ap(u);
    auto apply = [&](const std::vector<double>& v, std::vector<double>& out) {
        for (size_t q = 0; q < u; ++q) {
            double s = diag[q] * v[q];
            for (int f = 0; f < 6; ++f)
                if (nb[6 * q + f] >= 0)
                    s -= cond[6 * q + f] * v[nb[6 * q + f]];
            out[q] = s;
        }
    };
    double bnorm = 0.0;
    for (double v : rhs)
        bnorm += v * v;
    bnorm = std::sqrt(bnorm);
    for (size_t q = 0; q < u; ++q)
        p[q] = z[q] = r[q] / diag[q];
    double rz = 0.0;
    for (size_t q = 0; q < u; ++q)
        rz += r[q] * z[q];
    for (int it = 0; it < 20000; ++it) {
        apply(p, ap);
        double pap = 0.0;
        for (size_t q = 0; q < u; ++q)
            pap += p[q] * ap[q];
        const double alpha = rz / pap;
        double rr = 0.0;
        for (size_t q = 0; q < u; ++q) {
            x[q] += alpha * p[q];
            r[q] -= alpha * ap[q];
            rr += r[q] * r[q];
        }
        if (std::sqrt(rr) <= 1e-13 * bnorm)
            break;
        double rz_new = 0.0;
        for (size_t q = 0; q < u; ++q) {
            z[q] = r[q] / diag[q];
            rz_new += r[q] * z[q];
        }
        const double beta = rz_new / rz;
        rz = rz_new;
        for (size_t q = 0; q < u; ++q)
            p[q] = z[q] + beta * p[q];
    }

    double out_flux = 0.0, in_flux = 0.0;
    for (size_t q = 0; q < u; ++q)
        in_flux += g_f[q] * (1.0 - x[q]);
    for (const Open& o : open) {
        out_flux += o.g * std::max(x[o.unknown], 0.0);
        panels.push_back(o.p);
        cumulative.push_back(out_flux);
    }
    if (!(out_flux > 0)) {
        panels.clear();
        cumulative.clear();
        return false;
    }
    for (double& c : cumulative)
        c /= out_flux;
    imbalance = std::fabs(in_flux - out_flux) / out_flux;
    return true;
}

Vector3 ShellTable::Draw(CRandomMersenne& rnd) const
{
    const double x = rnd.Random();
    size_t k = std::lower_bound(cumulative.begin(), cumulative.end(), x) - cumulative.begin();
    if (k >= panels.size())
        k = panels.size() - 1;
    const Panel& p = panels[k];
    const double a = p.a0 + (p.a1 - p.a0) * rnd.Random();
    const double b = p.b0 + (p.b1 - p.b0) * rnd.Random();
    switch (p.axis) {
    case 0: return Vector3(p.fixed, a, b);
    case 1: return Vector3(a, p.fixed, b);
    default: return Vector3(a, b, p.fixed);
    }
}
