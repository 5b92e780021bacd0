// The accuracy cases and their references, shared by korva_validate and the
// test suite's short version.
#pragma once

#include <cmath>
#include <string>
#include <vector>

struct ValidationSettings {
    double rel_err = 0.002;   // target relative error of each run's master self capacitance
    int threads = 2;
    bool fixed_seed = true;
    double sigmas = 3.0;      // statistical allowance, in standard errors
    double slack = 0.005;     // model allowance, relative to the reference
};

// Few walks and loose tolerance, for the test suite.
inline ValidationSettings QuickSettings()
{
    ValidationSettings s;
    s.rel_err = 0.02;
    s.sigmas = 4.0;
    s.slack = 0.01;
    return s;
}

struct CaseResult {
    std::string name;
    double value = 0.0;
    double reference = 0.0;
    double std_err = 0.0;     // combined standard error of value (and of the reference, if measured)
    double sigmas = 3.0;
    double slack = 0.005;
    bool skipped = false;     // not run: the walk does not take the case's dielectric bodies yet

    double Deviation() const { return (value - reference) / reference; }
    double Tolerance() const { return (sigmas * std_err + slack * std::fabs(reference)) / std::fabs(reference); }
    bool Passed() const { return std::isfinite(value) && std::fabs(Deviation()) <= Tolerance(); }
};

// One guarded plate of the stack family (validation/stack_family.py writes
// the decks and their list).
struct FamilyCase {
    std::string name;
    std::string stack;   // permittivities from the bottom with the interface heights between
    std::string deck;    // file name in the family folder
    std::string pairs;   // interface pairs, "E_below:E_above ..."
    double ref_bottom = 0.0, ref_top = 0.0;  // farads
};

struct FamilyResult {
    CaseResult bottom, top;  // plate to the bottom and top ground planes
    long long walks = 0;
    double hops_per_walk = 0.0;
    double walks_per_second = 0.0;      // wall clock
    double walks_per_cpu_second = 0.0;  // all threads' processor time
    bool Passed() const { return bottom.Passed() && top.Passed(); }
};

// The cases listed in dir/cases.tsv; empty when there is no such list.
std::vector<FamilyCase> ReadFamily(const std::string& dir);
FamilyResult RunFamilyCase(const ValidationSettings& s, const std::string& dir, const FamilyCase& c,
                           int seed);

// The shielded wire pairs in closed grounded boxes (decks written by
// korva_box_reference): C(w1,w1), C(w1,w2) and C(w1,box) against the
// finite-volume references.
std::vector<CaseResult> RunBoxCases(const ValidationSettings& s, const std::string& deck_dir);

// The cases with dielectric bodies (media that do not span the window) and
// the thin-band stack: per-length rows of long wires, from decks of two
// lengths (NAME_L10.kd, NAME_L20.kd), against 2-D references, and guarded
// plates with bodies between them against the series and parallel formulas.
// While the walk does not take bodies, the cases that have them come back
// skipped.
std::vector<CaseResult> RunBodyCases(const ValidationSettings& s, const std::string& deck_dir);
// The decks those cases run, file names in deck_dir.
std::vector<std::string> BodyCaseDecks();

// Floating conductors against physics: a thin floating plate between guarded
// plates (the series formula), a closed floating shell around a bar (the
// series of the bar-shell and shell-box capacitances, from runs with the
// shell held fixed), the eliminated coupling of the bar seen from the
// outer box (reciprocity), the plate's and the shell's potentials, and the
// per-length row of two wires among floating bars against the 2-D solution.
std::vector<CaseResult> RunFloatingCases(const ValidationSettings& s, const std::string& deck_dir);

// Runs every case; deck_dir holds the validation decks, example_dir the
// shipped examples (the symmetry case uses the two-wire example).
std::vector<CaseResult> RunAllCases(const ValidationSettings& s, const std::string& deck_dir,
                                    const std::string& example_dir);

// Reference values, in farads.
double ParallelPlateReference(double area_um2, const std::vector<double>& thickness_um,
                              const std::vector<double>& eps);
double CubeReference();
