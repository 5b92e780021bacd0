// Machine-readable results of a run: JSON (everything, with the matrix
// convention spelled out), CSV (one line per entry) and SPEF (one net per
// master), all at full precision.
#pragma once

#include <string>
#include <vector>

#include "runrecord.h"

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

// Each writes `run` to `path`; false (after saying why) when the file
// cannot be written.
bool WriteJson(const std::string& path, const RunRecord& run);
bool WriteCsv(const std::string& path, const RunRecord& run);
bool WriteSpef(const std::string& path, const RunRecord& run);
