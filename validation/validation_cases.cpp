#include "validation_cases.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "runner.h"

namespace {

const double EPS0_F_PER_UM = 8.854187817e-18;
const double PI = 3.14159265358979323846;

// Capacitance of the isolated unit cube, in units of 4 pi eps0 times its side.
const double UNIT_CUBE = 0.6606785;

// Walks that leave the window are absorbed there, as if the window were a
// grounded box, which raises the cube's capacitance above its free-space
// value. To first order C = C_inf (1 + a <1/|X|>), where a = 0.6606785 um is
// the cube's capacitance radius and <1/|X|> the mean inverse distance of the
// points where walks land outside the 400 um window (validation/README.md
// gives the derivation; a simulation of 40000 walks with the cube tables
// gives <1/|X|> = 1/297 um, so the correction is +0.22%).
const double CUBE_MEAN_INVERSE_EXIT_DISTANCE = 1.0 / 297.0;

int IndexOf(const RunOutput& out, const std::string& name)
{
    for (size_t i = 0; i < out.names.size(); ++i)
        if (out.names[i] == name)
            return (int)i;
    return -1;
}

RunOptions OptionsFor(const ValidationSettings& s, int seed)
{
    RunOptions o;
    o.mode = 'p';
    o.rel_err = s.rel_err;
    o.threads = s.threads;
    o.fixed_seed = s.fixed_seed;
    o.seed = seed;
    return o;
}

CaseResult Make(const ValidationSettings& s, const std::string& name, double value, double ref,
                double err)
{
    CaseResult r;
    r.name = name;
    r.value = value;
    r.reference = ref;
    r.std_err = err;
    r.sigmas = s.sigmas;
    r.slack = s.slack;
    return r;
}

// Couplings of the guarded plate to the ground planes below and above it.
RunOutput PlateCases(const ValidationSettings& s, const std::string& deck, const std::string& name,
                     double ref_bottom, double ref_top, int seed, std::vector<CaseResult>& results)
{
    RunOutput out;
    int rc = RunDeck(deck, OptionsFor(s, seed), out);
    const char* sides[2] = {"bottom", "top"};
    const double refs[2] = {ref_bottom, ref_top};
    for (int k = 0; k < 2; ++k) {
        int i = rc == 0 ? IndexOf(out, sides[k]) : -1;
        std::string label = name + ", plate to " + sides[k];
        if (i < 0)
            results.push_back(Make(s, label, NAN, refs[k], 0));
        else
            results.push_back(Make(s, label, std::fabs(out.cap[i]), refs[k], out.err[i]));
    }
    return out;
}

CaseResult CubeCase(const ValidationSettings& s, const std::string& deck, int seed)
{
    RunOutput out;
    if (RunDeck(deck, OptionsFor(s, seed), out) != 0)
        return Make(s, "cube self capacitance", NAN, CubeReference(), 0);
    return Make(s, "cube self capacitance", out.cap[0], CubeReference(), out.err[0]);
}

// C(a,b) seen from master a must agree with C(b,a) seen from master b.
CaseResult SymmetryCase(const ValidationSettings& s, const std::string& deck, int seed,
                        const std::string& label = "coupling symmetry")
{
    char scratch[] = "/tmp/korva-validate-XXXXXX";
    if (!mkdtemp(scratch))
        return Make(s, label, NAN, 1, 0);
    RunOutput first;
    if (RunDeck(deck, OptionsFor(s, seed), first) != 0 || first.names.size() < 2)
        return Make(s, label, NAN, 1, 0);
    const std::string a = first.names[0], b = first.names[1];
    RunOutput second;
    std::string swapped = DeckWithMaster(deck, b, scratch);
    int rc = RunDeck(swapped, OptionsFor(s, seed + 1), second);
    unlink(swapped.c_str());
    rmdir(scratch);
    int ia = IndexOf(second, a);
    if (rc != 0 || ia < 0)
        return Make(s, label, NAN, 1, 0);
    double cab = std::fabs(first.cap[1]), cba = std::fabs(second.cap[ia]);
    double err = std::sqrt(first.err[1] * first.err[1] + second.err[ia] * second.err[ia]);
    return Make(s, label + " C(" + a + "," + b + ")", cab, cba, err);
}

// Finite-volume solutions of the box cases on grids of 0.05 down to 0.0125 um
// (0.01 um for the air gap), extrapolated to zero spacing with the order
// fitted to the last three grids (validation/README.md); farads.
struct BoxReference {
    const char* deck;
    double self, coupling, box;
};
const BoxReference BOX_REFERENCES[] = {
    {"box_airgap_pair", 1.919427e-16, 2.305812e-17, 1.688846e-16},
    {"box_crossing_sheet", 3.081080e-16, 3.993096e-17, 2.681770e-16},
};

// Whether the walk takes media that do not span the window (bodies). Until it
// does, it refuses their decks, and the cases that have a body are skipped.
const bool WALK_TAKES_BODIES = true;

// Per-length rows of the cases with bodies (validation/body_reference.cpp
// holds their cross-sections and writes their decks): the 2-D solution on
// steps 0.005, 0.0025 and 0.00125 um extrapolated to a zero step, with the bodies and,
// as a check that the cases can tell, without them; F/um.
struct PerLengthReference {
    const char* deck;   // NAME_L10.kd and NAME_L20.kd
    bool bodies;        // false: bands only, which the walk takes today
    const char* names[4];
    double with[4];
    double plain[4];
};
const PerLengthReference PER_LENGTH_REFERENCES[] = {
    {"film_wires", true, {"w1", "w2", "ground", "box"}, {2.708978e-16, 1.427807e-16, 8.099700e-17, 4.712007e-17}, {2.275490e-16, 1.076898e-16, 7.510386e-17, 4.475543e-17}},
    {"spacer_wires", true, {"w1", "w2", "ground", "box"}, {2.267122e-16, 1.219724e-16, 7.492638e-17, 2.981342e-17}, {1.735795e-16, 7.333195e-17, 7.190648e-17, 2.834100e-17}},
    {"airgap_trench", true, {"w1", "w2", "ground", "box"}, {1.519755e-16, 4.166212e-17, 6.918219e-17, 4.113101e-17}, {2.112955e-16, 9.999763e-17, 6.973930e-17, 4.155861e-17}},
    {"thin_bands", false, {"w1", "ground", "box", nullptr}, {1.609977e-16, 4.084159e-17, 1.201561e-16, 0}, {1.667504e-16, 4.909151e-17, 1.176588e-16, 0}},
    {"thin_bands_film", true, {"w1", "ground", "box", nullptr}, {1.691979e-16, 4.215034e-17, 1.270476e-16, 0}, {1.609977e-16, 4.084159e-17, 1.201561e-16, 0}},
};

// Two wires among five floating bars (fill_wires), the bars floating: each
// bar's potential set so that its charge is zero, by superposition of one
// solve per conductor; `plain` holds the row with the bars grounded, whose
// C(w1,w2) differs by far more than 2 %.
const PerLengthReference FILL_REFERENCE = {
    "fill_wires", false, {"w1", "w2", "ground", "box"}, {2.013862e-16, 4.672008e-17, 8.295930e-17, 7.170686e-17},
    {3.130948e-16, 6.467779e-19, 5.047683e-17, 2.619711e-16}};

const char* const PLATE_BODY_DECKS[] = {"plates_film_bodies.kd", "plates_side_by_side.kd"};

// A box case whose flat films are bodies (korva_box_reference solves the
// same field with them as bands), on grids of 0.05, 0.025 and 0.0125 um.
const BoxReference FLAT_FILMS = {"box_flat_films", 3.407538e-16, 6.361373e-17, 2.771393e-16};

CaseResult Skipped(const ValidationSettings& s, const std::string& label, double ref)
{
    CaseResult r = Make(s, label, NAN, ref, 0);
    r.skipped = true;
    return r;
}

// The wires' ends are the same at both lengths (the channel around them is
// closed), so the difference of the two rows over the 10 um between them is
// the cross-section's row.
void PerLengthCase(const ValidationSettings& s, const std::string& deck_dir, const PerLengthReference& c,
                   int seed, std::vector<CaseResult>& results, const std::vector<std::string>& floating = {})
{
    const bool run = WALK_TAKES_BODIES || !c.bodies;
    RunOutput a, b;
    int rc = -1;
    RunOptions first = OptionsFor(s, seed), second = OptionsFor(s, seed + 1);
    first.floating = second.floating = floating;
    if (run) {
        rc = RunDeck(deck_dir + "/" + c.deck + "_L10.kd", first, a);
        if (rc == 0)
            rc = RunDeck(deck_dir + "/" + c.deck + "_L20.kd", second, b);
    }
    for (int k = 0; k < 4 && c.names[k]; ++k) {
        const std::string label = std::string(c.deck) + " C(w1," + c.names[k] + ")/um";
        const int i = rc == 0 ? IndexOf(a, c.names[k]) : -1, j = rc == 0 ? IndexOf(b, c.names[k]) : -1;
        if (!run)
            results.push_back(Skipped(s, label, c.with[k]));
        else if (i < 0 || j < 0)
            results.push_back(Make(s, label, NAN, c.with[k], 0));
        else
            results.push_back(Make(s, label, (std::fabs(b.cap[j]) - std::fabs(a.cap[i])) / 10.0, c.with[k],
                                   std::hypot(a.err[i], b.err[j]) / 10.0));
    }
}

}  // namespace

std::vector<std::string> BodyCaseDecks()
{
    std::vector<std::string> decks;
    for (const PerLengthReference& c : PER_LENGTH_REFERENCES)
        for (const char* length : {"_L10.kd", "_L20.kd"})
            decks.push_back(c.deck + std::string(length));
    for (const char* d : PLATE_BODY_DECKS)
        decks.push_back(d);
    decks.push_back(FLAT_FILMS.deck + std::string(".kd"));
    return decks;
}

// The master's row of a box case against its references.
static void BoxCase(const ValidationSettings& s, const std::string& deck_dir, const BoxReference& b, int seed,
             std::vector<CaseResult>& r)
{
    RunOutput out;
    const int rc = RunDeck(deck_dir + "/" + b.deck + ".kd", OptionsFor(s, seed), out);
    const char* names[3] = {"w1", "w2", "box"};
    const double refs[3] = {b.self, b.coupling, b.box};
    for (int k = 0; k < 3; ++k) {
        const int i = rc == 0 ? IndexOf(out, names[k]) : -1;
        const std::string label = std::string(b.deck) + " C(w1," + names[k] + ")";
        r.push_back(i < 0 ? Make(s, label, NAN, refs[k], 0) : Make(s, label, std::fabs(out.cap[i]), refs[k], out.err[i]));
    }
}

std::vector<CaseResult> RunBodyCases(const ValidationSettings& s, const std::string& deck_dir)
{
    std::vector<CaseResult> r;
    int seed = 808;
    for (const PerLengthReference& c : PER_LENGTH_REFERENCES) {
        PerLengthCase(s, deck_dir, c, seed, r);
        seed += 2;
    }
    // Bodies 20 um wide between the plates (the window is 40 um): the field
    // under and over the plate and its guard gap is layered or, for media
    // side by side, the same in both, so the plate formulas hold.
    const double area = 10.1 * 10.1;
    struct Plate {
        const char* deck;
        const char* name;
        double bottom, top;
    } plates[] = {
        {PLATE_BODY_DECKS[0], "film bodies", ParallelPlateReference(area, {0.4, 0.3, 0.3}, {3.9, 7.0, 3.9}),
         ParallelPlateReference(area, {0.4, 0.6}, {3.9, 2.5})},
        {PLATE_BODY_DECKS[1], "bodies side by side",
         ParallelPlateReference(area / 2, {1.0}, {7.0}) + ParallelPlateReference(area / 2, {1.0}, {2.5}),
         ParallelPlateReference(area, {1.0}, {3.9})},
    };
    for (const Plate& p : plates) {
        if (WALK_TAKES_BODIES) {
            PlateCases(s, deck_dir + "/" + p.deck, p.name, p.bottom, p.top, seed++, r);
        } else {
            r.push_back(Skipped(s, std::string(p.name) + ", plate to bottom", p.bottom));
            r.push_back(Skipped(s, std::string(p.name) + ", plate to top", p.top));
        }
    }
    BoxCase(s, deck_dir, FLAT_FILMS, seed++, r);
    return r;
}

std::vector<CaseResult> RunBoxCases(const ValidationSettings& s, const std::string& deck_dir)
{
    std::vector<CaseResult> r;
    int seed = 606;
    for (const BoxReference& b : BOX_REFERENCES)
        BoxCase(s, deck_dir, b, seed++, r);
    return r;
}

std::vector<FamilyCase> ReadFamily(const std::string& dir)
{
    std::vector<FamilyCase> cases;
    std::ifstream in(dir + "/cases.tsv");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t'))
            f.push_back(field);
        if (f.size() != 6)
            continue;
        FamilyCase c;
        c.name = f[0];
        c.stack = f[1];
        c.deck = f[2];
        c.pairs = f[3];
        c.ref_bottom = std::stod(f[4]);
        c.ref_top = std::stod(f[5]);
        cases.push_back(c);
    }
    return cases;
}

FamilyResult RunFamilyCase(const ValidationSettings& s, const std::string& dir, const FamilyCase& c,
                           int seed)
{
    std::vector<CaseResult> r;
    RunOutput out = PlateCases(s, dir + "/" + c.deck, c.name, c.ref_bottom, c.ref_top, seed, r);
    FamilyResult fr;
    fr.bottom = r[0];
    fr.top = r[1];
    fr.walks = out.walks;
    if (out.walks > 0) {
        fr.hops_per_walk = (double)out.hops / out.walks;
        fr.walks_per_second = out.seconds > 0 ? out.walks / out.seconds : 0.0;
        fr.walks_per_cpu_second = out.cpu_seconds > 0 ? out.walks / out.cpu_seconds : 0.0;
    }
    return fr;
}

static const RunOutput::Potential* PotentialOf(const RunOutput& out, const std::string& name)
{
    for (const RunOutput::Potential& p : out.potentials)
        if (p.name == name)
            return &p;
    return nullptr;
}

std::vector<CaseResult> RunFloatingCases(const ValidationSettings& s, const std::string& deck_dir)
{
    std::vector<CaseResult> results;
    RunOptions floats = OptionsFor(s, 31);
    floats.floating = {"fl"};
    RunOutput plate;
    const int rc = RunDeck(deck_dir + "/floating_plate.kd", floats, plate);
    const int top = rc == 0 ? IndexOf(plate, "top") : -1;
    results.push_back(Make(s, "floating plate, plate to top", top < 0 ? NAN : std::fabs(plate.cap[top]),
                           ParallelPlateReference(100.0, {0.4, 0.55}, {3.9, 3.9}), top < 0 ? 0 : plate.err[top]));
    results.back().slack = 0.02;  // fringe at the floating plate's edges
    // The shell held fixed: the bar's self capacitance is Cin, the shell's Cin + Cout.
    char scratch[] = "/tmp/korva-floating-XXXXXX";
    const bool made = mkdtemp(scratch);

    // The plate at 1 V: fl's charge C(fl,plate) + C(fl,fl) V is zero, both
    // from a run with fl held fixed as the master.
    const RunOutput::Potential* v = rc == 0 ? PotentialOf(plate, "fl") : nullptr;
    RunOutput held;
    double ratio = NAN, ratio_err = 0;
    if (made && RunDeck(DeckWithMaster(deck_dir + "/floating_plate.kd", "fl", scratch), OptionsFor(s, 35), held) == 0) {
        const int ip = IndexOf(held, "plate");
        ratio = std::fabs(held.cap[ip]) / held.cap[0];
        ratio_err = ratio * std::hypot(held.err[ip] / held.cap[ip], held.err[0] / held.cap[0]);
    }
    results.push_back(Make(s, "floating plate, its potential", v ? v->value : NAN, ratio,
                           v ? std::hypot(v->err, ratio_err) : 0));
    results.back().slack = 0;

    const std::string shell_deck = deck_dir + "/floating_shell.kd";
    RunOutput bar, shell, fl, outer;
    floats.floating = {"shell"};
    const bool ran = made && RunDeck(shell_deck, OptionsFor(s, 32), bar) == 0 &&
                     RunDeck(DeckWithMaster(shell_deck, "shell", scratch), OptionsFor(s, 33), shell) == 0 &&
                     RunDeck(shell_deck, floats, fl) == 0 &&
                     RunDeck(DeckWithMaster(shell_deck, "outer", scratch), floats, outer) == 0;
    double series = NAN, err = 0;
    if (ran) {
        const double cin = bar.cap[0], cout = shell.cap[IndexOf(shell, "shell")] - cin;
        series = cin * cout / (cin + cout);
        // First-order spread of the reference: d/dCin and d/dCself of the series.
        const double a = (cout * cout - cin * cin) / ((cin + cout) * (cin + cout)), b = cin * cin / ((cin + cout) * (cin + cout));
        err = std::hypot(std::hypot(a * bar.err[0], b * shell.err[IndexOf(shell, "shell")]), fl.err[0]);
    }
    results.push_back(Make(s, "floating shell, bar self", ran ? fl.cap[0] : NAN, series, err));
    results.back().slack = 0;
    // The bar at 1 V: the shell's charge is zero at Cin / (Cin + Cout).
    const RunOutput::Potential* w = ran ? PotentialOf(fl, "shell") : nullptr;
    double divider = NAN, divider_err = 0;
    if (ran) {
        const double cin = bar.cap[0], cself = shell.cap[IndexOf(shell, "shell")];
        divider = cin / cself;
        divider_err = divider * std::hypot(bar.err[0] / cin, shell.err[IndexOf(shell, "shell")] / cself);
    }
    results.push_back(Make(s, "floating shell, its potential", w ? w->value : NAN, divider,
                           w ? std::hypot(w->err, divider_err) : 0));
    results.back().slack = 0;
    const int ib = ran ? IndexOf(outer, "bar") : -1, io = ran ? IndexOf(fl, "outer") : -1;
    results.push_back(Make(s, "floating shell, reciprocity C(bar,outer)", ib < 0 ? NAN : std::fabs(outer.cap[ib]),
                           io < 0 ? NAN : std::fabs(fl.cap[io]), ib < 0 ? 0 : std::hypot(outer.err[ib], fl.err[io])));
    results.back().slack = 0;
    for (const char* m : {"shell", "outer", "fl"})
        unlink((std::string(scratch) + "/master_" + m + ".kd").c_str());
    rmdir(scratch);
    PerLengthCase(s, deck_dir, FILL_REFERENCE, 34, results, {"f1", "f2", "f3", "f4", "f5"});
    return results;
}

double ParallelPlateReference(double area_um2, const std::vector<double>& thickness_um,
                              const std::vector<double>& eps)
{
    double series = 0.0;
    for (size_t i = 0; i < thickness_um.size(); ++i)
        series += thickness_um[i] / eps[i];
    return EPS0_F_PER_UM * area_um2 / series;
}

double CubeReference()
{
    const double a = UNIT_CUBE;  // um
    return UNIT_CUBE * 4.0 * PI * EPS0_F_PER_UM * (1.0 + a * CUBE_MEAN_INVERSE_EXIT_DISTANCE);
}

std::vector<CaseResult> RunAllCases(const ValidationSettings& s, const std::string& deck_dir,
                                    const std::string& example_dir)
{
    // The plate is 10 x 10 um; the guard gap of 0.1 um adds half its width
    // on every side. Both ground planes are 1 um from the plate.
    const double area = 10.1 * 10.1;
    std::vector<CaseResult> r;
    PlateCases(s, deck_dir + "/plates_one_medium.kd", "one medium",
               ParallelPlateReference(area, {1.0}, {3.9}), ParallelPlateReference(area, {1.0}, {3.9}),
               101, r);
    PlateCases(s, deck_dir + "/plates_two_media.kd", "3.9 under 2.5",
               ParallelPlateReference(area, {0.5, 0.5}, {3.9, 2.5}),
               ParallelPlateReference(area, {1.0}, {2.5}), 202, r);
    PlateCases(s, deck_dir + "/plates_contrast.kd", "10 under 1",
               ParallelPlateReference(area, {0.5, 0.5}, {10.0, 1.0}),
               ParallelPlateReference(area, {1.0}, {1.0}), 252, r);
    // The Gaussian surface lies 0.05 um around the plate, so its bottom face
    // is on the interface at 0.95 um: first hops from it are half-cube hops.
    PlateCases(s, deck_dir + "/plates_touching.kd", "surface on interface",
               ParallelPlateReference(area, {0.95, 0.05}, {3.9, 2.5}),
               ParallelPlateReference(area, {1.0}, {2.5}), 272, r);
    r.push_back(CubeCase(s, deck_dir + "/cube.kd", 303));
    r.push_back(SymmetryCase(s, example_dir + "/two_wires.kd", 404));
    // Masters of several blocks. The L is a 10 x 5 and a 5 x 5 arm; grown by
    // half the guard gap it covers 10.1 x 5.1 + 5.1 x 5.
    const double l_area = 10.1 * 5.1 + 5.1 * 5.0;
    PlateCases(s, deck_dir + "/plate_l_one_medium.kd", "L-shaped plate",
               ParallelPlateReference(l_area, {1.0}, {3.9}),
               ParallelPlateReference(l_area, {1.0}, {3.9}), 505, r);
    r.push_back(SymmetryCase(s, deck_dir + "/combs.kd", 606, "interleaved combs"));
    r.push_back(SymmetryCase(s, deck_dir + "/via_net.kd", 707, "net with a via"));
    return r;
}
