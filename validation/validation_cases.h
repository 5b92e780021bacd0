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

    double Deviation() const { return (value - reference) / reference; }
    double Tolerance() const { return (sigmas * std_err + slack * std::fabs(reference)) / std::fabs(reference); }
    bool Passed() const { return std::isfinite(value) && std::fabs(Deviation()) <= Tolerance(); }
};

// Runs every case; deck_dir holds the validation decks, example_dir the
// shipped examples (the symmetry case uses the two-wire example).
std::vector<CaseResult> RunAllCases(const ValidationSettings& s, const std::string& deck_dir,
                                    const std::string& example_dir);

// Reference values, in farads.
double ParallelPlateReference(double area_um2, const std::vector<double>& thickness_um,
                              const std::vector<double>& eps);
double CubeReference();
