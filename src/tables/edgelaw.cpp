#include "edgelaw.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/stat.h>

#include "digest.h"
#include "lawcache.h"
#include "stackbox.h"

namespace {

const double PI = 3.14159265358979323846;

// sin(n pi / 2) for odd n: the modes' value at the start's plane.
double AtCentre(int n) { return ((n - 1) / 2) % 2 == 0 ? 1.0 : -1.0; }

// A symmetric positive definite band matrix, factored in place (Cholesky):
// row i keeps L(i, i - d) for d = 0..bw.
class Band {
public:
    Band(int n, int bw) : n_(n), bw_(bw), l_((size_t)n * (bw + 1), 0.0) {}
    double& At(int i, int j) { return l_[(size_t)i * (bw_ + 1) + (i - j)]; }
    double At(int i, int j) const { return l_[(size_t)i * (bw_ + 1) + (i - j)]; }
    void Factor()
    {
        for (int i = 0; i < n_; ++i)
            for (int j = std::max(0, i - bw_); j <= i; ++j) {
                double s = At(i, j);
                for (int k = std::max(0, i - bw_); k < j; ++k)
                    s -= At(i, k) * At(j, k);
                if (j == i) {
                    if (!(s > 0))
                        throw std::runtime_error("edge law: matrix not positive definite");
                    At(i, i) = std::sqrt(s);
                } else {
                    At(i, j) = s / At(j, j);
                }
            }
    }
    // Solves L L^T x = e_p.
    void SolveUnit(int p, std::vector<double>& x) const
    {
        x.assign(n_, 0.0);
        x[p] = 1.0 / At(p, p);
        for (int i = p + 1; i < n_; ++i) {
            double s = 0.0;
            for (int k = std::max(p, i - bw_); k < i; ++k)
                s += At(i, k) * x[k];
            x[i] = -s / At(i, i);
        }
        for (int i = n_ - 1; i >= 0; --i) {
            double s = x[i];
            for (int k = i + 1; k <= std::min(n_ - 1, i + bw_); ++k)
                s -= At(k, i) * x[k];
            x[i] = s / At(i, i);
        }
    }

private:
    int n_, bw_;
    std::vector<double> l_;
};

}  // namespace

EdgeLaw SolveEdgeLaw(const std::array<double, 4>& eps, int P, int K, int cells, int modes, double span)
{
    const int M = cells;
    const double reach = M * span;  // vertices from the first node to the last
    // Nodes lie on the grid, one of them on the edge's line.
    if (M % P != 0 || M % 2 != 0 || K < 3 || K % 2 == 0 || std::fabs(reach - std::lround(reach)) > 1e-9 ||
        std::lround(reach) % (K - 1) != 0 || !(span > 0 && span <= 0.5))
        throw std::invalid_argument("edge law: grid, panels and nodes do not fit");
    EdgeLaw law;
    law.eps = eps;
    law.P = P;
    law.K = K;
    law.span = span;
    const int E = law.Entries();
    law.prob.assign((size_t)K * K * E, 0.0);

    const double h = 2.0 / M;
    const int cp = M / P;                                  // cells per panel
    const int stride = (int)std::lround(reach) / (K - 1);  // vertices between nodes
    const int first = M / 2 - stride * (K - 1) / 2;
    auto cell_eps = [&](int i, int j) { return eps[(i >= M / 2 ? 1 : 0) + (j >= M / 2 ? 2 : 0)]; };
    // Interior vertices (1..M-1)^2, row by row.
    const int N1 = M - 1, n = N1 * N1;
    auto idx = [&](int i, int j) { return (j - 1) * N1 + (i - 1); };
    auto cx = [&](int i, int j) { return 0.5 * (cell_eps(i, j - 1) + cell_eps(i, j)); };  // (i,j)-(i+1,j)
    auto cz = [&](int i, int j) { return 0.5 * (cell_eps(i - 1, j) + cell_eps(i, j)); };  // (i,j)-(i,j+1)
    auto mass = [&](int i, int j) {
        return 0.25 * h * h * (cell_eps(i - 1, j - 1) + cell_eps(i, j - 1) + cell_eps(i - 1, j) + cell_eps(i, j));
    };
    const bool mirror = eps[1] == eps[2];
    std::vector<double> g, yint(P);
    // The last mode's mass on the end faces, per node: where the rest of
    // the series goes.
    std::vector<double> last((size_t)K * K * P * P, 0.0);
    double tail = PI / 4;  // what the end faces' series lacks, per unit of coefficient 2 / pi
    for (int nm = 1; nm <= modes; nm += 2) {
        const double k = nm * PI / 2, k2 = k * k;
        Band a(n, N1);
        for (int j = 1; j < M; ++j)
            for (int i = 1; i < M; ++i) {
                const int r = idx(i, j);
                a.At(r, r) = cx(i - 1, j) + cx(i, j) + cz(i, j - 1) + cz(i, j) + k2 * mass(i, j);
                if (i > 1)
                    a.At(r, idx(i - 1, j)) = -cx(i - 1, j);
                if (j > 1)
                    a.At(r, idx(i, j - 1)) = -cz(i, j - 1);
            }
        a.Factor();
        const double c = AtCentre(nm);
        tail -= c / nm;
        for (int iy = 0; iy < P; ++iy) {
            const double y0 = -1 + 2.0 * iy / P, y1 = y0 + 2.0 / P;
            yint[iy] = c * 2 / (nm * PI) * (std::cos(nm * PI * (y0 + 1) / 2) - std::cos(nm * PI * (y1 + 1) / 2));
        }
        const double end = c * 2 / (nm * PI);
        for (int ia = 0; ia < K; ++ia)
            for (int ib = mirror ? ia : 0; ib < K; ++ib) {
                const int vi = first + ia * stride, vj = first + ib * stride;
                a.SolveUnit(idx(vi, vj), g);
                auto G = [&](int i, int j) { return (i <= 0 || j <= 0 || i >= M || j >= M) ? 0.0 : g[idx(i, j)]; };
                double* pr = law.prob.data() + ((size_t)ia * K + ib) * E;
                // Side faces: x = -1, x = +1 over (y, z); z = -1, z = +1
                // over (x, y). A border vertex's flux crosses the halves of
                // its two border cells, each in its own permittivity.
                for (int cell = 0; cell < M; ++cell) {
                    const int pc = cell / cp;
                    const double fx[2] = {0.5 * cell_eps(0, cell) * (G(1, cell) + G(1, cell + 1)),
                                          0.5 * cell_eps(M - 1, cell) * (G(M - 1, cell) + G(M - 1, cell + 1))};
                    const double fz[2] = {0.5 * cell_eps(cell, 0) * (G(cell, 1) + G(cell + 1, 1)),
                                          0.5 * cell_eps(cell, M - 1) * (G(cell, M - 1) + G(cell + 1, M - 1))};
                    for (int s = 0; s < 2; ++s)
                        for (int iy = 0; iy < P; ++iy) {
                            pr[(0 + s) * P * P + iy * P + pc] += yint[iy] * fx[s];
                            pr[(4 + s) * P * P + pc * P + iy] += yint[iy] * fz[s];
                        }
                }
                // End faces y = -1 and y = +1 over (x, z): the screened mass.
                for (int j = 0; j < M; ++j)
                    for (int i = 0; i < M; ++i) {
                        const double m = k2 * cell_eps(i, j) * 0.25 * h * h *
                                         (G(i, j) + G(i + 1, j) + G(i, j + 1) + G(i + 1, j + 1));
                        const int e = (i / cp) * P + j / cp;
                        pr[2 * P * P + e] += end * m;
                        pr[3 * P * P + e] += end * m;
                        if (nm + 2 > modes)
                            last[((size_t)ia * K + ib) * P * P + e] += m;
                    }
            }
    }
    // The end faces' remaining terms: the mass of every further mode lies
    // where the last one's lies (ever closer to the start), and their
    // coefficients sum to a known limit.
    for (int node = 0; node < K * K; ++node) {
        const double* m = last.data() + (size_t)node * P * P;
        double sum = 0.0;
        for (int e = 0; e < P * P; ++e)
            sum += m[e];
        double* pr = law.prob.data() + (size_t)node * E;
        for (int e = 0; e < P * P; ++e) {
            pr[2 * P * P + e] += 2 / PI * tail * m[e] / sum;
            pr[3 * P * P + e] += 2 / PI * tail * m[e] / sum;
        }
    }
    // Quadrants 1 and 2 alike: the law of (b, a) is that of (a, b) with x
    // and z swapped.
    if (mirror)
        for (int ia = 0; ia < K; ++ia)
            for (int ib = 0; ib < ia; ++ib) {
                const double* from = law.prob.data() + ((size_t)ib * K + ia) * E;
                double* to = law.prob.data() + ((size_t)ia * K + ib) * E;
                for (int u = 0; u < P; ++u)
                    for (int v = 0; v < P; ++v)
                        for (int s = 0; s < 2; ++s) {
                            to[(0 + s) * P * P + u * P + v] = from[(4 + s) * P * P + v * P + u];
                            to[(4 + s) * P * P + v * P + u] = from[(0 + s) * P * P + u * P + v];
                            to[(2 + s) * P * P + u * P + v] = from[(2 + s) * P * P + v * P + u];
                        }
            }
    law.cdf.resize(law.prob.size());
    for (int node = 0; node < K * K; ++node) {
        double* pr = law.prob.data() + (size_t)node * E;
        double sum = 0.0;
        for (int e = 0; e < E; ++e) {
            pr[e] = std::max(pr[e], 0.0);
            sum += pr[e];
        }
        double run = 0.0;
        for (int e = 0; e < E; ++e) {
            pr[e] /= sum;
            run += pr[e];
            law.cdf[(size_t)node * E + e] = (float)run;
        }
        law.cdf[(size_t)node * E + E - 1] = 1.0f;
    }
    return law;
}

EdgePoint DrawEdge(const EdgeLaw& law, double a, double b, double ua, double ub, double u_entry, double u1,
                   double u2)
{
    const double step = 2 * law.span / (law.K - 1);
    auto pick = [&](double t, double u) {
        const double f = std::min(std::max((t + law.span) / step, 0.0), (double)(law.K - 1));
        int i = std::min((int)f, law.K - 2);
        return u < f - i ? i + 1 : i;
    };
    const int ia = pick(a, ua), ib = pick(b, ub);
    const int E = law.Entries();
    const float* cdf = law.NodeCdf(ia, ib);
    const int e = std::min((int)(std::upper_bound(cdf, cdf + E, (float)u_entry) - cdf), E - 1);
    const int P = law.P, face = e / (P * P), iu = (e % (P * P)) / P, iv = e % P;
    const double u = -1 + 2.0 * (iu + u1) / P, v = -1 + 2.0 * (iv + u2) / P;
    const double side = (face % 2) ? 1.0 : -1.0;
    switch (face / 2) {
    case 0:
        return {side, u, v};
    case 1:
        return {u, side, v};
    default:
        return {u, v, side};
    }
}

namespace {

// What a kept law must match: the method's version, the permittivities and
// every setting of the solve.
std::string EdgeKey(const std::array<double, 4>& eps, int P, int K, int cells, int modes, double span)
{
    std::string key = "korva edge law 1";
    auto put = [&key](const void* p, size_t n) { key.append((const char*)p, n); };
    put(eps.data(), sizeof(double) * 4);
    put(&span, sizeof span);
    const int ints[4] = {P, K, cells, modes};
    put(ints, sizeof ints);
    return key;
}

std::string EdgePath(const std::string& dir, const std::string& key)
{
    char name[40];
    snprintf(name, sizeof name, "/%016llx.edge", (unsigned long long)DigestBytes(key.data(), key.size()));
    return dir + name;
}

// The drawing table only: the walk needs nothing else.
bool LoadEdgeLaw(const std::string& path, const std::string& key, EdgeLaw& law)
{
    const size_t want = key.size() + sizeof(float) * law.cdf.size() + 8;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || (size_t)st.st_size != want)
        return false;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::string bytes(want, '\0');
    const bool read = fread(&bytes[0], 1, want, f) == want;
    fclose(f);
    uint64_t digest;
    memcpy(&digest, bytes.data() + want - 8, 8);
    if (!read || bytes.compare(0, key.size(), key) != 0 || digest != DigestBytes(bytes.data(), want - 8))
        return false;
    memcpy(law.cdf.data(), bytes.data() + key.size(), sizeof(float) * law.cdf.size());
    MarkLawUsed(path);
    return true;
}

void StoreEdgeLaw(const std::string& dir, const std::string& path, const std::string& key, const EdgeLaw& law)
{
    std::string bytes = key;
    bytes.append((const char*)law.cdf.data(), sizeof(float) * law.cdf.size());
    const uint64_t digest = DigestBytes(bytes.data(), bytes.size());
    bytes.append((const char*)&digest, 8);
    StoreWhole(dir, path, bytes);
}

}  // namespace

static thread_local bool making = false;

bool EdgeLaws::Making() { return making; }

EdgeLaws::EdgeLaws()
{
    for (auto& l : laws)
        l.store(nullptr);
}

EdgeLaws::~EdgeLaws()
{
    for (auto& l : laws)
        delete l.load();
}

const EdgeLaw* EdgeLaws::Get(double odd, double rest)
{
    const int n = made.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (odd_of[i] == odd && rest_of[i] == rest)
            return laws[i].load(std::memory_order_acquire);
    std::lock_guard<std::mutex> guard(lock);
    const int now = made.load();
    for (int i = 0; i < now; ++i)
        if (odd_of[i] == odd && rest_of[i] == rest)
            return laws[i].load();
    if (now == SLOTS)
        return nullptr;
    making = true;
    // Builds that measure the laws' own bias refine their grid and nodes.
    static const int refine = getenv("KORVA_EDGE_REFINE") ? std::max(1, std::min(4, atoi(getenv("KORVA_EDGE_REFINE")))) : 1;
    const std::array<double, 4> eps{{rest, rest, rest, odd}};
    const int P = 16, K = 12 * refine + 1, cells = 48 * refine, modes = 31;
    const std::string key = EdgeKey(eps, P, K, cells, modes, SPAN);
    const std::string path = cache_dir.empty() ? "" : EdgePath(cache_dir, key);
    EdgeLaw* law = new EdgeLaw();
    law->eps = eps;
    law->P = P;
    law->K = K;
    law->span = SPAN;
    law->cdf.resize((size_t)K * K * law->Entries());
    if (path.empty() || !LoadEdgeLaw(path, key, *law)) {
        *law = SolveEdgeLaw(eps, P, K, cells, modes, SPAN);
        if (!path.empty())
            StoreEdgeLaw(cache_dir, path, key, *law);
    }
    making = false;
    odd_of[now] = odd;
    rest_of[now] = rest;
    laws[now].store(law, std::memory_order_release);
    made.store(now + 1, std::memory_order_release);
    return law;
}
