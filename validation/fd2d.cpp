#include "fd2d.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const double EPS0 = 8.854187817e-18;  // F/um

long Index(double v, double h)
{
    return std::lround(v / h);
}

}  // namespace

std::vector<double> Fd2dCharges(const Fd2dProblem& p, double h)
{
    const long ox = Index(p.box.x0, h), oz = Index(p.box.z0, h);
    const long nx = Index(p.box.x1, h) - ox + 1, nz = Index(p.box.z1, h) - oz + 1;
    std::vector<double> phi(nx * nz, 0.0);
    std::vector<int> owner(nx * nz, -1);  // conductor of a node, -1: free
    for (long i = 0; i < nx; ++i)
        for (long k = 0; k < nz; ++k)
            if (i == 0 || k == 0 || i == nx - 1 || k == nz - 1)
                owner[i * nz + k] = -2;  // the grounded box
    for (size_t c = 0; c < p.conductors.size(); ++c) {
        const Rect2& r = p.conductors[c];
        for (long i = Index(r.x0, h) - ox; i <= Index(r.x1, h) - ox; ++i)
            for (long k = Index(r.z0, h) - oz; k <= Index(r.z1, h) - oz; ++k)
                if (i >= 0 && i < nx && k >= 0 && k < nz) {
                    owner[i * nz + k] = (int)c;
                    phi[i * nz + k] = c == 0 ? 1.0 : 0.0;
                }
    }
    // Finite volumes around the nodes: the permittivity is constant on each
    // cell between four nodes, and the edge from a node to its neighbour
    // carries the flux through the control-volume face that crosses it, half
    // in each of the two cells beside the edge; so its weight is their mean.
    // An interface on a grid line is never crossed by an edge: the node on it
    // joins the two media, and a layered stack is solved exactly. Weights
    // are relative to the background, so a uniform problem keeps the plain
    // five-point average.
    std::vector<double> cell((nx - 1) * (nz - 1), 1.0);
    for (const Medium2& m : p.media) {
        for (double v : {m.r.x0, m.r.x1, m.r.z0, m.r.z1})
            if (std::fabs(v / h - std::round(v / h)) > 1e-6) {
                fprintf(stderr, "fd2d: a medium's edge at %g um is off the grid of step %g um\n", v, h);
                exit(2);
            }
        const long i0 = std::max(0L, Index(m.r.x0, h) - ox), i1 = std::min(nx - 1, Index(m.r.x1, h) - ox);
        const long k0 = std::max(0L, Index(m.r.z0, h) - oz), k1 = std::min(nz - 1, Index(m.r.z1, h) - oz);
        for (long i = i0; i < i1; ++i)
            for (long k = k0; k < k1; ++k)
                cell[i * (nz - 1) + k] = m.eps_r / p.eps_r;
    }
    auto c = [&](long i, long k) { return cell[i * (nz - 1) + k]; };
    // wx: edge from (i, k) to (i + 1, k); wz: edge from (i, k) to (i, k + 1).
    std::vector<double> wx(nx * nz, 0.0), wz(nx * nz, 0.0), inv(nx * nz, 0.0);
    for (long i = 0; i < nx - 1; ++i)
        for (long k = 1; k < nz - 1; ++k)
            wx[i * nz + k] = 0.5 * (c(i, k - 1) + c(i, k));
    for (long i = 1; i < nx - 1; ++i)
        for (long k = 0; k < nz - 1; ++k)
            wz[i * nz + k] = 0.5 * (c(i - 1, k) + c(i, k));
    for (long i = 1; i < nx - 1; ++i)
        for (long k = 1; k < nz - 1; ++k) {
            const long n = i * nz + k;
            inv[n] = 1.0 / (wx[n - nz] + wx[n] + wz[n - 1] + wz[n]);
        }
    // Red-black SOR with the factor that is optimal for the box's size.
    const double omega = 2.0 / (1.0 + std::sin(M_PI / (double)std::max(nx, nz)));
    for (int sweep = 0; sweep < 200000; ++sweep) {
        double change = 0.0;
        for (int colour = 0; colour < 2; ++colour)
            for (long i = 1; i < nx - 1; ++i)
                for (long k = 1 + (i + colour) % 2; k < nz - 1; k += 2) {
                    const long n = i * nz + k;
                    if (owner[n] != -1)
                        continue;
                    double target = inv[n] * (wx[n - nz] * phi[n - nz] + wx[n] * phi[n + nz] +
                                              wz[n - 1] * phi[n - 1] + wz[n] * phi[n + 1]);
                    double d = omega * (target - phi[n]);
                    phi[n] += d;
                    change = std::max(change, std::fabs(d));
                }
        if (change < 1e-11)
            break;
    }
    // Charge on conductor c: the flux out of every free node next to it.
    std::vector<double> q(p.conductors.size(), 0.0);
    for (long i = 1; i < nx - 1; ++i)
        for (long k = 1; k < nz - 1; ++k) {
            const long n = i * nz + k;
            if (owner[n] < 0)
                continue;
            const long next[4] = {n - nz, n + nz, n - 1, n + 1};
            const double w[4] = {wx[n - nz], wx[n], wz[n - 1], wz[n]};
            for (int e = 0; e < 4; ++e)
                if (owner[next[e]] == -1)
                    q[owner[n]] += w[e] * (phi[n] - phi[next[e]]);
        }
    for (double& v : q)
        v *= EPS0 * p.eps_r;
    return q;
}

std::vector<double> Fd2dExtrapolate(const std::vector<double>& a, const std::vector<double>& b,
                                    const std::vector<double>& c, double& change)
{
    std::vector<double> out(a.size());
    change = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d1 = b[i] - a[i], d2 = c[i] - b[i];
        // Geometric tail of the differences: ratio r = d2/d1 per halving.
        const double r = d1 != 0 ? d2 / d1 : 0.0;
        const double tail = (r > 0 && r < 1) ? d2 * r / (1 - r) : 0.0;
        out[i] = c[i] + tail;
        change = std::max(change, std::fabs(tail / out[i]));
    }
    return out;
}

std::vector<double> Fd2dExtrapolated(const Fd2dProblem& p, double h, double& change)
{
    return Fd2dExtrapolate(Fd2dCharges(p, h), Fd2dCharges(p, h / 2), Fd2dCharges(p, h / 4), change);
}
