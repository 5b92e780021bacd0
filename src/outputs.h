// Machine-readable results of a run: JSON (everything, with the matrix
// convention spelled out), CSV (one line per entry) and SPEF (one net per
// master), all at full precision.
#pragma once

#include <string>
#include <vector>

#include "cmdline.h"
#include "extraction.h"

extern const char* const KORVA_VERSION;

// One pair of masters extracted both ways: C[a][b] from a's row, C[b][a]
// from b's, and their difference in combined standard errors.
struct ReciprocityPair {
    std::string a, b;
    double c_ab, c_ba, se_ab, se_ba, sigmas;
};
std::vector<ReciprocityPair> Reciprocity(const std::vector<MasterRow>& rows);

// The rows of the masters, made symmetric: an entry seen both ways is the
// inverse-variance weighted mean of the two.
struct SymmetricMatrix {
    std::vector<std::string> names;
    std::vector<std::vector<double>> cap, err;
};
SymmetricMatrix Symmetrize(const std::vector<MasterRow>& rows);

// Each returns false (and prints why) when the file cannot be written.
// `seed` is the run's seed, whether given or drawn from the clock.
bool WriteJson(const std::string& path, const RunSettings& s, uint64_t seed,
               const std::vector<MasterRow>& rows);
bool WriteCsv(const std::string& path, const std::vector<MasterRow>& rows);
bool WriteSpef(const std::string& path, const RunSettings& s, const std::vector<std::string>& names,
               const std::vector<MasterRow>& rows);
