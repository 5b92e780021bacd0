// Independent references for the shielded 3-D cases: a finite-volume
// solution of div(eps grad u) = 0 inside a closed grounded box, on uniform
// grids of decreasing spacing, extrapolated to zero spacing.
//   korva_box_reference deck NAME FILE   writes the case's deck for Korva
//   korva_box_reference solve NAME [N...] solves on grids of N cells per 0.1 um
//                                          (default 2 4 6) and extrapolates
// Every face of every block and every interface lies on a 0.1 um lattice, so
// each grid resolves the geometry exactly.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const double EPS0_F_PER_UM = 8.854187817e-18;

struct Block {
    double x0, y0, z0, x1, y1, z1;
};

struct Conductor {
    const char* name;
    std::vector<Block> blocks;
};

struct Layer {
    double z_top;  // the last layer's top is ignored (it reaches the box's lid)
    double eps;
};

// The inside of the box is [0, X] x [0, Y] x [0, Z]; its walls are 0.2 um
// thick. Conductor 0 is the master, the box is the last.
struct BoxCase {
    const char* name;
    const char* about;
    double X, Y, Z;
    std::vector<Layer> layers;
    std::vector<Conductor> wires;
    // Layers from this one on, up to the last but one, go into the deck as
    // bodies filling the box, the band above them reaching down in their
    // stead: the same field, walked as bodies (0: all bands).
    size_t bodies_from = 0;
};

std::vector<BoxCase> Cases()
{
    return {
        {"box_airgap_pair",
         "two wires side by side in an air gap under a high-k cap: 3.9 below 0.4, air to 0.6, "
         "7 to 0.8, 2.5 above",
         1.6, 1.6, 1.2,
         {{0.4, 3.9}, {0.6, 1.0}, {0.8, 7.0}, {1e9, 2.5}},
         {{"w1", {{0.4, 0.2, 0.4, 0.6, 1.4, 0.6}}}, {"w2", {{1.0, 0.2, 0.4, 1.2, 1.4, 0.6}}}}},
        {"box_crossing_sheet",
         "crossing wires on both sides of a thin high-k sheet: 3.9 below 0.5, 10 to 0.6, 2.5 to "
         "0.9, 4.2 above",
         1.6, 1.6, 1.2,
         {{0.5, 3.9}, {0.6, 10.0}, {0.9, 2.5}, {1e9, 4.2}},
         {{"w1", {{0.5, 0.2, 0.2, 0.8, 1.4, 0.4}}}, {"w2", {{0.2, 0.6, 0.7, 1.4, 0.9, 0.9}}}}},
        {"box_flat_films",
         "two wires side by side on two flat films that are bodies: 3.9 below 0.3, 7 to 0.35, 5.5 to 0.4, "
         "4.1 above",
         1.6, 1.6, 1.2,
         {{0.3, 3.9}, {0.35, 7.0}, {0.4, 5.5}, {1e9, 4.1}},
         {{"w1", {{0.2, 0.5, 0.4, 1.4, 0.8, 0.7}}}, {"w2", {{0.2, 1.1, 0.4, 1.4, 1.4, 0.7}}}},
         1},
    };
}

const BoxCase* Find(const char* name)
{
    static std::vector<BoxCase> all = Cases();
    for (const BoxCase& c : all)
        if (!strcmp(c.name, name))
            return &c;
    return nullptr;
}

double LayerEps(const BoxCase& c, double z)
{
    for (const Layer& l : c.layers)
        if (z < l.z_top)
            return l.eps;
    return c.layers.back().eps;
}

// ---------------------------------------------------------------------------
// The deck Korva reads: the same wires, the box as six slabs around them,
// the layers across the whole window.

void WriteDeck(const BoxCase& c, FILE* f)
{
    const double w = 0.2;
    auto block = [&](const char* name, double x0, double y0, double z0, double x1, double y1, double z1) {
        fprintf(f, "    <block> name %s basepoint (%g,%g,%g) v1 (%g,0,0) v2 (0,%g,0) hvector (0,0,%g) [/block]\n",
                name, x0, y0, z0, x1 - x0, y1 - y0, z1 - z0);
    };
    fprintf(f, "// %s: %s, inside a closed grounded box. Written by korva_box_reference.\n<vorn>\n",
            c.name, c.about);
    const double lo = -w - 0.5, hx = c.X + w + 0.5, hy = c.Y + w + 0.5, hz = c.Z + w + 0.5;
    fprintf(f, "<window> v1 (%g,%g,%g) v2 (%g,%g,%g) [/window]\n", lo, lo, lo, hx, hy, hz);
    double z = lo;
    const size_t last = c.layers.size() - 1;
    for (size_t i = 0; i < c.layers.size(); ++i) {
        double top = i < last ? c.layers[i].z_top : hz;
        if (c.bodies_from && i >= c.bodies_from && i < last)
            continue;  // written below, as a body
        fprintf(f, "<medium> name m%zu\n", i);
        std::string n = "m" + std::to_string(i) + "_blk";
        block(n.c_str(), lo, lo, z, hx, hy, top);
        fprintf(f, "  diel %g\n[/medium]\n", c.layers[i].eps);
        z = top;
    }
    for (size_t i = c.bodies_from; c.bodies_from && i < last; ++i) {
        fprintf(f, "<medium> name film%zu\n", i);
        std::string n = "film" + std::to_string(i) + "_blk";
        block(n.c_str(), -w, -w, c.layers[i - 1].z_top, c.X + w, c.Y + w, c.layers[i].z_top);
        fprintf(f, "  diel %g\n[/medium]\n", c.layers[i].eps);
    }
    for (const Conductor& k : c.wires) {
        fprintf(f, "<conductor> name %s\n", k.name);
        int i = 0;
        for (const Block& b : k.blocks) {
            std::string n = std::string(k.name) + "_b" + std::to_string(i++);
            block(n.c_str(), b.x0, b.y0, b.z0, b.x1, b.y1, b.z1);
        }
        fprintf(f, "[/conductor]\n");
    }
    fprintf(f, "<conductor> name box\n");
    block("box_bottom", -w, -w, -w, c.X + w, c.Y + w, 0);
    block("box_top", -w, -w, c.Z, c.X + w, c.Y + w, c.Z + w);
    block("box_left", -w, -w, 0, 0, c.Y + w, c.Z);
    block("box_right", c.X, -w, 0, c.X + w, c.Y + w, c.Z);
    block("box_front", 0, -w, 0, c.X, 0, c.Z);
    block("box_back", 0, c.Y, 0, c.X, c.Y + w, c.Z);
    fprintf(f, "[/conductor]\n<task> <capacitance> %s [/capacitance] [/task]\n[/vorn]\n",
            c.wires[0].name);
}

// ---------------------------------------------------------------------------
// Finite volumes on nodes: u lives on the grid nodes, eps on the cells; the
// coupling of two neighbouring nodes is h times the mean permittivity of the
// four cells that share their edge, so a flux across an interface on a grid
// plane and one along it are both consistent.

struct Grid {
    int nx, ny, nz;
    double h;
    std::vector<double> cx, cy, cz;  // edge couplings to the +x, +y, +z neighbour
    std::vector<int> fixed;          // -1 free, else the conductor holding the node (box = wires)
    size_t Index(int i, int j, int k) const { return ((size_t)k * (ny + 1) + j) * (nx + 1) + i; }
    size_t Size() const { return (size_t)(nx + 1) * (ny + 1) * (nz + 1); }
};

Grid MakeGrid(const BoxCase& c, int per_tenth)
{
    Grid g;
    g.h = 0.1 / per_tenth;
    g.nx = (int)std::lround(c.X / g.h);
    g.ny = (int)std::lround(c.Y / g.h);
    g.nz = (int)std::lround(c.Z / g.h);
    const size_t n = g.Size();
    g.cx.assign(n, 0.0);
    g.cy.assign(n, 0.0);
    g.cz.assign(n, 0.0);
    g.fixed.assign(n, -1);
    std::vector<double> cell_eps(g.nz);
    for (int k = 0; k < g.nz; ++k)
        cell_eps[k] = LayerEps(c, (k + 0.5) * g.h);
    // Cells outside the box count as zero: they hold no field.
    auto eps = [&](int i, int j, int k) {
        if (i < 0 || j < 0 || k < 0 || i >= g.nx || j >= g.ny || k >= g.nz)
            return 0.0;
        return cell_eps[k];
    };
    const double wires = (double)c.wires.size();
    for (int k = 0; k <= g.nz; ++k)
        for (int j = 0; j <= g.ny; ++j)
            for (int i = 0; i <= g.nx; ++i) {
                const size_t p = g.Index(i, j, k);
                g.cx[p] = g.h * 0.25 * (eps(i, j, k) + eps(i, j - 1, k) + eps(i, j, k - 1) + eps(i, j - 1, k - 1));
                g.cy[p] = g.h * 0.25 * (eps(i, j, k) + eps(i - 1, j, k) + eps(i, j, k - 1) + eps(i - 1, j, k - 1));
                g.cz[p] = g.h * 0.25 * (eps(i, j, k) + eps(i - 1, j, k) + eps(i, j - 1, k) + eps(i - 1, j - 1, k));
                if (i == 0 || j == 0 || k == 0 || i == g.nx || j == g.ny || k == g.nz)
                    g.fixed[p] = (int)wires;
                const double x = i * g.h, y = j * g.h, z = k * g.h, t = 1e-9;
                for (size_t w = 0; w < c.wires.size(); ++w)
                    for (const Block& b : c.wires[w].blocks)
                        if (x > b.x0 - t && x < b.x1 + t && y > b.y0 - t && y < b.y1 + t &&
                            z > b.z0 - t && z < b.z1 + t)
                            g.fixed[p] = (int)w;
            }
    return g;
}

// out = A u at every node (the net flux out of each node's volume).
void Apply(const Grid& g, const std::vector<double>& u, std::vector<double>& out)
{
    const size_t sx = 1, sy = g.nx + 1, sz = (size_t)(g.nx + 1) * (g.ny + 1);
    std::fill(out.begin(), out.end(), 0.0);
    for (int k = 0; k <= g.nz; ++k)
        for (int j = 0; j <= g.ny; ++j)
            for (int i = 0; i <= g.nx; ++i) {
                const size_t p = g.Index(i, j, k);
                if (i < g.nx) {
                    const double f = g.cx[p] * (u[p] - u[p + sx]);
                    out[p] += f;
                    out[p + sx] -= f;
                }
                if (j < g.ny) {
                    const double f = g.cy[p] * (u[p] - u[p + sy]);
                    out[p] += f;
                    out[p + sy] -= f;
                }
                if (k < g.nz) {
                    const double f = g.cz[p] * (u[p] - u[p + sz]);
                    out[p] += f;
                    out[p + sz] -= f;
                }
            }
}

// Charges (in units of eps0 * um) on every conductor with the master at 1.
std::vector<double> Solve(const Grid& g, size_t conductors, int& iterations)
{
    const size_t n = g.Size();
    std::vector<double> u(n, 0.0), r(n), z(n), p(n), q(n), diag(n, 0.0);
    for (size_t i = 0; i < n; ++i)
        if (g.fixed[i] == 0)
            u[i] = 1.0;
    // The diagonal: A applied to unit vectors, summed from the couplings.
    {
        const size_t sx = 1, sy = g.nx + 1, sz = (size_t)(g.nx + 1) * (g.ny + 1);
        for (int k = 0; k <= g.nz; ++k)
            for (int j = 0; j <= g.ny; ++j)
                for (int i = 0; i <= g.nx; ++i) {
                    const size_t a = g.Index(i, j, k);
                    if (i < g.nx) { diag[a] += g.cx[a]; diag[a + sx] += g.cx[a]; }
                    if (j < g.ny) { diag[a] += g.cy[a]; diag[a + sy] += g.cy[a]; }
                    if (k < g.nz) { diag[a] += g.cz[a]; diag[a + sz] += g.cz[a]; }
                }
    }
    Apply(g, u, r);
    double rr0 = 0.0;
    for (size_t i = 0; i < n; ++i) {
        r[i] = g.fixed[i] < 0 ? -r[i] : 0.0;
        rr0 += r[i] * r[i];
    }
    double rz = 0.0;
    for (size_t i = 0; i < n; ++i) {
        z[i] = g.fixed[i] < 0 ? r[i] / diag[i] : 0.0;
        p[i] = z[i];
        rz += r[i] * z[i];
    }
    iterations = 0;
    for (; iterations < 100000; ++iterations) {
        double rr = 0.0;
        for (size_t i = 0; i < n; ++i)
            rr += r[i] * r[i];
        if (rr <= 1e-24 * rr0)
            break;
        Apply(g, p, q);
        double pq = 0.0;
        for (size_t i = 0; i < n; ++i) {
            if (g.fixed[i] >= 0)
                q[i] = 0.0;
            pq += p[i] * q[i];
        }
        const double alpha = rz / pq;
        double rz_new = 0.0;
        for (size_t i = 0; i < n; ++i) {
            u[i] += alpha * p[i];
            r[i] -= alpha * q[i];
            z[i] = g.fixed[i] < 0 ? r[i] / diag[i] : 0.0;
            rz_new += r[i] * z[i];
        }
        const double beta = rz_new / rz;
        rz = rz_new;
        for (size_t i = 0; i < n; ++i)
            p[i] = z[i] + beta * p[i];
    }
    Apply(g, u, q);
    std::vector<double> charge(conductors, 0.0);
    for (size_t i = 0; i < n; ++i)
        if (g.fixed[i] >= 0)
            charge[g.fixed[i]] += q[i];
    return charge;
}

// The order p for which C(h) = C0 + a h^p passes through three solutions,
// by bisection, and C0.
double Extrapolate(const double h[3], const double c[3], double& order)
{
    auto gap = [&](double p) {
        return (c[0] - c[1]) * (std::pow(h[1], p) - std::pow(h[2], p)) -
               (c[1] - c[2]) * (std::pow(h[0], p) - std::pow(h[1], p));
    };
    double lo = 0.3, hi = 4.0;
    if (gap(lo) * gap(hi) > 0) {
        order = 2.0;  // no monotone fit: fall back to the second-order rule
    } else {
        for (int it = 0; it < 200; ++it) {
            const double mid = 0.5 * (lo + hi);
            (gap(lo) * gap(mid) <= 0 ? hi : lo) = mid;
        }
        order = 0.5 * (lo + hi);
    }
    const double a = (c[1] - c[2]) / (std::pow(h[1], order) - std::pow(h[2], order));
    return c[2] - a * std::pow(h[2], order);
}

// C0 of C(h) = C0 + a h^(4/3) + b h^2 through three solutions: the first
// term is the error that the field's singularity along the wires' edges
// (a right-angled corner seen from outside) leaves, the second the grid's own.
double ExtrapolateEdges(const double h[3], const double c[3])
{
    double m[3][4];
    for (int i = 0; i < 3; ++i) {
        m[i][0] = 1.0;
        m[i][1] = std::pow(h[i], 4.0 / 3.0);
        m[i][2] = h[i] * h[i];
        m[i][3] = c[i];
    }
    for (int col = 0; col < 3; ++col)
        for (int row = col + 1; row < 3; ++row) {
            const double f = m[row][col] / m[col][col];
            for (int k = col; k < 4; ++k)
                m[row][k] -= f * m[col][k];
        }
    double x[3];
    for (int row = 2; row >= 0; --row) {
        double v = m[row][3];
        for (int k = row + 1; k < 3; ++k)
            v -= m[row][k] * x[k];
        x[row] = v / m[row][row];
    }
    return x[0];
}

int SolveCase(const BoxCase& c, std::vector<int> levels)
{
    const size_t m = c.wires.size() + 1;
    std::vector<std::vector<double>> caps;
    std::vector<double> hs;
    printf("%s: %s\n", c.name, c.about);
    for (int per : levels) {
        Grid g = MakeGrid(c, per);
        int its = 0;
        std::vector<double> q = Solve(g, m, its);
        std::vector<double> cap(m);
        for (size_t k = 0; k < m; ++k)
            cap[k] = EPS0_F_PER_UM * q[k];
        printf("  h = %.5f um (%d x %d x %d cells, %d CG iterations):", g.h, g.nx, g.ny, g.nz, its);
        for (size_t k = 0; k < m; ++k)
            printf(" C(%s) %.6e", k + 1 < m ? c.wires[k].name : "box", cap[k]);
        printf("\n");
        fflush(stdout);
        caps.push_back(cap);
        hs.push_back(g.h);
    }
    if (caps.size() < 3)
        return 0;
    const size_t L = caps.size();
    printf("  extrapolated from the last three grids:");
    for (size_t k = 0; k < m; ++k) {
        const double h[3] = {hs[L - 3], hs[L - 2], hs[L - 1]};
        const double v[3] = {caps[L - 3][k], caps[L - 2][k], caps[L - 1][k]};
        double order = 0.0;
        const double c0 = Extrapolate(h, v, order);
        const double c1 = ExtrapolateEdges(h, v);
        printf("\n    C(%s): fitted order %.2f gives %.6e; orders 4/3 and 2 give %.6e (%+.3f%%); finest "
               "grid %+.3f%%",
               k + 1 < m ? c.wires[k].name : "box", order, c0, c1, 100 * (c1 - c0) / c0,
               100 * (v[2] - c0) / c0);
    }
    printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && !strcmp(argv[1], "deck")) {
        const BoxCase* c = Find(argv[2]);
        FILE* f = c ? fopen(argv[3], "w") : nullptr;
        if (!f) {
            fprintf(stderr, "korva_box_reference: unknown case or unwritable file\n");
            return 2;
        }
        WriteDeck(*c, f);
        fclose(f);
        return 0;
    }
    if (argc >= 3 && !strcmp(argv[1], "solve")) {
        const BoxCase* c = Find(argv[2]);
        if (!c) {
            fprintf(stderr, "korva_box_reference: unknown case %s\n", argv[2]);
            return 2;
        }
        std::vector<int> levels;
        for (int i = 3; i < argc; ++i)
            levels.push_back(atoi(argv[i]));
        if (levels.empty())
            levels = {2, 4, 6};
        return SolveCase(*c, levels);
    }
    fprintf(stderr, "usage: korva_box_reference deck NAME FILE | solve NAME [N...]\n"
                    "cases: box_airgap_pair box_crossing_sheet box_flat_films\n");
    return 2;
}
