// Machine-readable results of a run: JSON (everything, with the matrix
// convention spelled out), CSV (one line per entry) and SPEF (one net per
// master), all at full precision.
#pragma once

#include <string>
#include <vector>

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>

#include "outputfile.h"
#include "runrecord.h"

extern const char* const KORVA_VERSION;

// One pair of masters extracted both ways: C[a][b] from a's row, C[b][a]
// from b's, and their difference in combined standard errors.
struct ReciprocityPair {
    std::string a, b;
    double c_ab, c_ba, se_ab, se_ba, sigmas;
};

// What a row's files show of it: the master's own entry, every coupling
// kept, and the window last, with the rest folded into one "(other)"
// entry: the conductors no walk reached and, with a floor, the couplings
// smaller than floor times the self capacitance. The row still adds up to
// about zero.
struct FoldedRow {
    std::vector<size_t> kept;  // slots of the row, in its order, window last
    double other = 0.0, other_err = 0.0;
    size_t folded = 0;  // how many conductors "(other)" stands for
};
FoldedRow Fold(const MasterRow& row, double floor);

// The usable rows of a run as sparse rows (kept entries only), for the
// pairs extracted both ways and the symmetric matrix: memory and time grow
// with the kept entries, not with the square of the conductors.
class SparseRows {
public:
    void Add(const MasterRow& row, const FoldedRow& folded);
    size_t Size() const { return rows_.size(); }
    const std::vector<std::string>& Masters() const { return masters_; }
    // Every pair once, in the order of the rows (a's before b's).
    std::vector<ReciprocityPair> Reciprocity() const;
    // Row i of the symmetric matrix over Masters(): an entry seen both ways
    // is the inverse-variance weighted mean of the two, one seen one way is
    // that one, one folded both ways is zero.
    void SymmetricRow(size_t i, std::vector<double>& cap, std::vector<double>& err) const;
    // The same matrix as its entries seen at least one way, each (i <= j)
    // once: for runs whose dense matrix would not fit a file.
    void SymmetricEntries(const std::function<void(size_t i, size_t j, double cap, double err)>& emit) const;

private:
    struct Entry {
        uint32_t column;
        double cap, err;
        bool operator<(uint32_t c) const { return column < c; }
    };
    const Entry* Find(size_t row, uint32_t column) const;
    uint32_t Column(const std::string& name);
    std::unordered_map<std::string, uint32_t> columns_;
    std::unordered_map<uint32_t, uint32_t> row_of_;  // a master's column: its row
    std::vector<std::string> masters_;
    std::vector<uint32_t> master_column_;
    std::vector<std::vector<Entry>> rows_;  // by column
};

// The --json, --csv and --spef files of a run, written as its rows come:
// each file goes to a temporary beside its name and appears complete, under
// its name, at Finish. Every failure is told at once, naming the file.
class ResultStreams {
public:
    // Masters beyond which the symmetric matrix is written as entries.
    static const size_t DENSE_MATRIX_MASTERS = 2000;
    explicit ResultStreams(const RunRecord& run) : run_(run) {}
    // Opens the files and writes what comes before the rows; false after
    // a message.
    bool Begin();
    bool Add(const MasterRow& row);
    // The pairs, the symmetric matrix, and the files under their names.
    bool Finish();
    void Abort();

private:
    bool Check(OutputFile::Stream& f);
    const RunRecord& run_;
    OutputFile::Stream json_, csv_, spef_;
    SparseRows sparse_;
    size_t json_rows_ = 0;
    std::map<std::string, int> spef_index_;
    bool failed_ = false;
};
