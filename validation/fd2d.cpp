#include "fd2d.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

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
                    double target = 0.25 * (phi[n - nz] + phi[n + nz] + phi[n - 1] + phi[n + 1]);
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
            for (long m : {n - nz, n + nz, n - 1, n + 1})
                if (owner[m] == -1)
                    q[owner[n]] += phi[n] - phi[m];
        }
    for (double& v : q)
        v *= EPS0 * p.eps_r;
    return q;
}

std::vector<double> Fd2dExtrapolated(const Fd2dProblem& p, double h, double& change)
{
    std::vector<double> a = Fd2dCharges(p, h), b = Fd2dCharges(p, h / 2), c = Fd2dCharges(p, h / 4);
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
