// Per-length references for wires with dielectric bodies (conformal films,
// sidewall spacers, an air-gap trench) and for a stack of thin bands: the
// cross-section solved by fd2d and extrapolated in the grid step.
//   korva_body_reference deck NAME L FILE     writes the case's deck, wires L um long
//   korva_body_reference solve NAME [--plain] [H...]
//       solves on steps H (default 0.01 0.005 0.0025 0.00125 um), extrapolates
//       the first three and the last three steps and prints both; --plain
//       leaves the bodies (or the thin bands) out, or grounds the floating fill
// Each case sits in a grounded channel closed at both ends: a ground slab
// under it (conductor "ground") and walls and a lid (conductor "box"), so the
// walk never leaves it and the wires' ends are the same at every length; the
// difference of two lengths over their difference is then the cross-section's
// value. Every coordinate is a multiple of 0.01 um, so each step resolves
// the geometry exactly.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fd2d.h"

namespace {

// The channel's inside in the cross-section, the walls' thickness and how far
// the channel runs past the wires' ends.
const double X0 = -0.8, X1 = 0.8, Z1 = 1.0, WALL = 0.2, END = 1.0;

struct Band {
    double z_top;  // the last band's top is ignored (it reaches the window's top)
    double eps;
};

struct Body {
    Rect2 r;
    double reach;  // runs from y = -reach to L + reach
    double eps;
};

struct Wire {
    const char* name;
    Rect2 r;
};

struct BodyCase {
    const char* name;
    const char* about;
    std::vector<Band> bands;
    std::vector<Wire> wires;  // the first is the master
    std::vector<Body> bodies;
    size_t plain_bands = 0;  // > 0: --plain keeps only the bands from this one on
    // Bars as long as the wires that float, charge-neutral; --plain grounds them.
    std::vector<Wire> fill = {};
};

Rect2 Grown(const Rect2& r, double t)
{
    return {r.x0 - t, r.z0 - t, r.x1 + t, r.z1 + t};
}

std::vector<BodyCase> Cases()
{
    const Rect2 a1 = {-0.25, 0.2, -0.05, 0.4}, a2 = {0.05, 0.2, 0.25, 0.4};
    const double film = 0.03, spacer = 0.04;
    std::vector<BodyCase> cases = {
        {"film_wires", "two wires 0.1 um apart in 4.2, each in a 0.03 um conformal film of 7",
         {{1e9, 4.2}},
         {{"w1", a1}, {"w2", a2}},
         {{Grown(a1, film), film, 7.0}, {Grown(a2, film), film, 7.0}}},
        {"spacer_wires", "two wires 0.1 um apart in 2.7 over 4.2, 0.04 um spacers of 7 on their sides only",
         {{0.2, 4.2}, {1e9, 2.7}},
         {{"w1", a1}, {"w2", a2}},
         {{{a1.x0 - spacer, a1.z0, a1.x0, a1.z1}, 0.0, 7.0},
          {{a1.x1, a1.z0, a1.x1 + spacer, a1.z1}, 0.0, 7.0},
          {{a2.x0 - spacer, a2.z0, a2.x0, a2.z1}, 0.0, 7.0},
          {{a2.x1, a2.z0, a2.x1 + spacer, a2.z1}, 0.0, 7.0}}},
        {"airgap_trench", "two wires 0.1 um apart in 3.9, the gap between them air up to 0.05 um above them",
         {{1e9, 3.9}},
         {{"w1", a1}, {"w2", a2}},
         {{{a1.x1, a1.z0, a2.x0, a1.z1 + 0.05}, 0.0, 1.0}}},
    };
    // Fourteen bands of 0.02 to 0.05 um between the ground and a wire 0.5 um
    // above it, under 4.2.
    BodyCase stack{"thin_bands", "a wire over fourteen bands 0.02 to 0.05 um thick, 4.2 above", {}, {}, {}};
    const double t[14] = {0.03, 0.04, 0.02, 0.05, 0.03, 0.04, 0.02, 0.03, 0.05, 0.04, 0.03, 0.02, 0.05, 0.05};
    const double e[4] = {2.2, 5.5, 3.0, 7.0};
    double z = 0;
    for (int i = 0; i < 14; ++i) {
        z += t[i];
        stack.bands.push_back({std::round(z * 100) / 100, e[i % 4]});
    }
    stack.bands.push_back({1e9, 4.2});
    stack.plain_bands = 14;
    stack.wires = {{"w1", {-0.15, 0.5, 0.15, 0.7}}};
    cases.push_back(stack);
    // The same wire wrapped in a 0.03 um film of 7 that cuts into the top
    // band: bodies and thin bands together.
    BodyCase wrapped = stack;
    wrapped.name = "thin_bands_film";
    wrapped.about = "a wire in a 0.03 um film of 7 over fourteen bands 0.02 to 0.05 um thick, 4.2 above";
    wrapped.bodies = {{Grown(stack.wires[0].r, film), film, 7.0}};
    cases.push_back(wrapped);
    // Two wires with floating bars between, beside and over them: the bar
    // between them couples them through itself where, grounded, it shields.
    BodyCase fill{"fill_wires", "two wires 0.3 um apart in 3.9 among five floating bars", {{1e9, 3.9}},
                  {{"w1", {-0.35, 0.2, -0.15, 0.4}}, {"w2", {0.15, 0.2, 0.35, 0.4}}}, {}};
    fill.fill = {{"f1", {-0.05, 0.2, 0.05, 0.4}},
                 {"f2", {-0.6, 0.2, -0.45, 0.4}},
                 {"f3", {0.45, 0.2, 0.6, 0.4}},
                 {"f4", {-0.35, 0.5, -0.15, 0.7}},
                 {"f5", {0.05, 0.5, 0.35, 0.6}}};
    cases.push_back(fill);
    return cases;
}

const BodyCase* Find(const char* name)
{
    static std::vector<BodyCase> all = Cases();
    for (const BodyCase& c : all)
        if (!strcmp(c.name, name))
            return &c;
    return nullptr;
}

void Block(FILE* f, const char* name, double x0, double y0, double z0, double x1, double y1, double z1)
{
    fprintf(f, "    <block> name %s basepoint (%.6g,%.6g,%.6g) v1 (%.6g,0,0) v2 (0,%.6g,0) hvector (0,0,%.6g) [/block]\n",
            name, x0, y0, z0, x1 - x0, y1 - y0, z1 - z0);
}

// Bands span the window; bodies do not, and come after the bands.
void WriteDeck(const BodyCase& c, double L, FILE* f)
{
    const double wx0 = X0 - WALL - 0.5, wx1 = X1 + WALL + 0.5;
    const double wy0 = -END - WALL - 0.5, wy1 = L + END + WALL + 0.5;
    const double wz0 = -WALL - 0.5, wz1 = Z1 + WALL + 0.5;
    fprintf(f, "// %s, wires %g um long: %s; in a grounded channel closed at both ends. Written by "
               "korva_body_reference.\n<vorn>\n",
            c.name, L, c.about);
    fprintf(f, "<window> v1 (%.6g,%.6g,%.6g) v2 (%.6g,%.6g,%.6g) [/window]\n", wx0, wy0, wz0, wx1, wy1, wz1);
    double z = wz0;
    for (size_t i = 0; i < c.bands.size(); ++i) {
        const double top = i + 1 == c.bands.size() ? wz1 : c.bands[i].z_top;
        fprintf(f, "<medium> name band%zu\n", i);
        const std::string n = "band" + std::to_string(i) + "_blk";
        Block(f, n.c_str(), wx0, wy0, z, wx1, wy1, top);
        fprintf(f, "  diel %.6g\n[/medium]\n", c.bands[i].eps);
        z = top;
    }
    for (size_t i = 0; i < c.bodies.size(); ++i) {
        const Body& b = c.bodies[i];
        fprintf(f, "<medium> name body%zu\n", i);
        const std::string n = "body" + std::to_string(i) + "_blk";
        Block(f, n.c_str(), b.r.x0, 0.0 - b.reach, b.r.z0, b.r.x1, L + b.reach, b.r.z1);
        fprintf(f, "  diel %.6g\n[/medium]\n", b.eps);
    }
    std::vector<Wire> all = c.wires;
    all.insert(all.end(), c.fill.begin(), c.fill.end());
    for (const Wire& w : all) {
        fprintf(f, "<conductor> name %s\n", w.name);
        const std::string n = std::string(w.name) + "_b0";
        Block(f, n.c_str(), w.r.x0, 0, w.r.z0, w.r.x1, L, w.r.z1);
        fprintf(f, "[/conductor]\n");
    }
    const double ya = -END - WALL, yb = L + END + WALL;
    fprintf(f, "<conductor> name ground\n");
    Block(f, "ground_b0", X0 - WALL, ya, -WALL, X1 + WALL, yb, 0);
    fprintf(f, "[/conductor]\n<conductor> name box\n");
    Block(f, "box_lid", X0 - WALL, ya, Z1, X1 + WALL, yb, Z1 + WALL);
    Block(f, "box_left", X0 - WALL, ya, 0, X0, yb, Z1);
    Block(f, "box_right", X1, ya, 0, X1 + WALL, yb, Z1);
    Block(f, "box_front", X0, ya, 0, X1, -END, Z1);
    Block(f, "box_back", X0, L + END, 0, X1, yb, Z1);
    fprintf(f, "[/conductor]\n<task> <capacitance> %s [/capacitance] [/task]\n[/vorn]\n", c.wires[0].name);
}

// The cross-section: the channel's inside is the grounded box, the ground
// slab a conductor reaching into it so that its top face carries flux.
Fd2dProblem CrossSection(const BodyCase& c, bool plain)
{
    Fd2dProblem p;
    p.box = {X0, -0.05, X1, Z1};
    for (const Wire& w : c.wires)
        p.conductors.push_back(w.r);
    p.conductors.push_back({X0, -0.05, X1, 0});
    for (const Wire& w : c.fill)
        p.conductors.push_back(w.r);
    const size_t first = plain ? c.plain_bands : 0;
    p.eps_r = c.bands.back().eps;
    double z = -1.0;
    for (size_t i = first; i + 1 < c.bands.size(); ++i) {
        p.media.push_back({{X0 - 1, z, X1 + 1, c.bands[i].z_top}, c.bands[i].eps});
        z = c.bands[i].z_top;
    }
    if (!plain)
        for (const Body& b : c.bodies)
            p.media.push_back({b.r, b.eps});
    return p;
}

// Self capacitance, couplings to the other wires and the ground, and to the
// box (the rest of the master's charge), F/um.
std::vector<double> Row(const std::vector<double>& q)
{
    std::vector<double> row = {q[0]};
    double rest = q[0];
    for (size_t k = 1; k < q.size(); ++k) {
        row.push_back(-q[k]);
        rest += q[k];
    }
    row.push_back(rest);
    return row;
}

// The charges with conductor 0 at 1 V and the fill floating: one solve per
// conductor at 1 V gives the charge matrix Q (Q[i][j] on j with i at 1 V),
// and the floating bars' potentials v solve Q_FF^T v = -Q_0F, so that each
// bar's charge Q[0][f] + sum over g of v_g Q[g][f] is zero.
std::vector<double> FloatingCharges(const Fd2dProblem& p, size_t fixed, double h)
{
    const size_t n = p.conductors.size(), m = n - fixed;
    std::vector<std::vector<double>> q(n);
    for (size_t i = 0; i < n; ++i) {
        Fd2dProblem one = p;
        std::swap(one.conductors[0], one.conductors[i]);
        std::vector<double> qi = Fd2dCharges(one, h);
        std::swap(qi[0], qi[i]);
        q[i] = qi;
    }
    // Gaussian elimination with partial pivoting on the m x m system.
    std::vector<std::vector<double>> a(m, std::vector<double>(m + 1));
    for (size_t f = 0; f < m; ++f) {
        for (size_t g = 0; g < m; ++g)
            a[f][g] = q[fixed + g][fixed + f];
        a[f][m] = -q[0][fixed + f];
    }
    for (size_t c = 0; c < m; ++c) {
        size_t best = c;
        for (size_t r = c + 1; r < m; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[best][c]))
                best = r;
        std::swap(a[c], a[best]);
        for (size_t r = 0; r < m; ++r) {
            if (r == c)
                continue;
            const double k = a[r][c] / a[c][c];
            for (size_t j = c; j <= m; ++j)
                a[r][j] -= k * a[c][j];
        }
    }
    std::vector<double> out(q[0].begin(), q[0].begin() + fixed);
    for (size_t g = 0; g < m; ++g) {
        const double v = a[g][m] / a[g][g];
        printf("  potential of the floating bar %zu: %.6f\n", g + 1, v);
        for (size_t j = 0; j < fixed; ++j)
            out[j] += v * q[fixed + g][j];
    }
    return out;
}

int Solve(const BodyCase& c, bool plain, std::vector<double> steps)
{
    const Fd2dProblem p = CrossSection(c, plain);
    std::vector<std::string> names = {"C(w1,w1)"};
    for (size_t k = 1; k < c.wires.size(); ++k)
        names.push_back(std::string("C(w1,") + c.wires[k].name + ")");
    names.push_back("C(w1,ground)");
    names.push_back("C(w1,box)");
    std::vector<std::vector<double>> rows;
    printf("%s%s\n%-10s", c.name, plain ? " (plain)" : "", "step");
    for (const std::string& n : names)
        printf(" %14s", n.c_str());
    printf("\n");
    for (double h : steps) {
        if (c.fill.empty() || plain) {
            std::vector<double> q = Fd2dCharges(p, h);
            q.resize(c.wires.size() + 1);  // grounded fill: its charge goes with the box's
            rows.push_back(Row(q));
        } else {
            rows.push_back(Row(FloatingCharges(p, c.wires.size() + 1, h)));
        }
        printf("%-10g", h);
        for (double v : rows.back())
            printf(" %14.7e", v);
        printf("\n");
        fflush(stdout);
    }
    std::vector<std::vector<double>> ext;
    for (size_t i = 0; i + 3 <= rows.size(); ++i) {
        double change = 0;
        ext.push_back(Fd2dExtrapolate(rows[i], rows[i + 1], rows[i + 2], change));
        printf("from %-5g", steps[i]);
        for (double v : ext.back())
            printf(" %14.7e", v);
        printf("   (last correction %.3f%%)\n", 100 * change);
    }
    if (ext.size() >= 2) {
        printf("%-10s", "change %");
        for (size_t k = 0; k < names.size(); ++k)
            printf(" %14.4f", 100 * (ext.back()[k] - ext[ext.size() - 2][k]) / ext.back()[k]);
        printf("\n");
    }
    if (c.plain_bands && !plain) {
        // The area term of the series stack under the wire, a lower bound of
        // its coupling to the ground.
        double series = 0, z = 0;
        for (size_t i = 0; i < c.plain_bands; ++i) {
            series += (c.bands[i].z_top - z) / c.bands[i].eps;
            z = c.bands[i].z_top;
        }
        const Rect2& w = c.wires[0].r;
        series += (w.z0 - z) / c.bands.back().eps;
        printf("series area term eps0 * %g um / %.6g um = %.6e F/um\n", w.x1 - w.x0, series,
               8.854187817e-18 * (w.x1 - w.x0) / series);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && !strcmp(argv[1], "deck")) {
        const BodyCase* c = Find(argv[2]);
        if (!c) {
            fprintf(stderr, "korva_body_reference: unknown case %s\n", argv[2]);
            return 2;
        }
        FILE* f = fopen(argv[4], "w");
        if (!f) {
            fprintf(stderr, "korva_body_reference: cannot write %s: %s\n", argv[4], strerror(errno));
            return 2;
        }
        WriteDeck(*c, atof(argv[3]), f);
        fclose(f);
        return 0;
    }
    if (argc >= 3 && !strcmp(argv[1], "solve")) {
        const BodyCase* c = Find(argv[2]);
        if (!c) {
            fprintf(stderr, "korva_body_reference: unknown case %s\n", argv[2]);
            return 2;
        }
        bool plain = false;
        std::vector<double> steps;
        for (int i = 3; i < argc; ++i) {
            if (!strcmp(argv[i], "--plain"))
                plain = true;
            else
                steps.push_back(atof(argv[i]));
        }
        if (steps.empty())
            steps = {0.01, 0.005, 0.0025, 0.00125};
        return Solve(*c, plain, steps);
    }
    fprintf(stderr, "usage: korva_body_reference deck NAME L FILE | solve NAME [--plain] [H...]\n"
                    "cases: film_wires spacer_wires airgap_trench thin_bands thin_bands_film fill_wires\n");
    return 2;
}
