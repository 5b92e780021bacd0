// The rows that the extractor's rule-table reader takes from a field
// solver's results: one line per pattern wire, naming the pattern by the
// folder its generator wrote it into, with the wire's total, its coupling
// to the neighbours on either side, the rest (fringe) and the coupling to
// the next neighbours, in fF for the wire as drawn.
#pragma once

#include "per_length.h"

#include <string>
#include <vector>

// What a pattern folder's name says:
// [PROCESS/]FAMILYn/METALS/Ww_Ww2/Ss_Ss2_Llen, METALS one of MmoMu (over
// a plane), MmoMuuMo (between two), MmuMo (under one) and MmduMo (under
// wires of metal o, the diagonal neighbours).
struct RcxPatternName {
    std::string tail;  // FAMILYn/METALS/W.../S..., as the row names it
    int metal = 0, under = 0, over = 0;
    bool diag = false;
    double width = 0, width2 = 0, space = 0, space2 = 0;
    int len = 0;  // wire length in widths
};

// Reads the name from the last components of `path` that have this form
// (a trailing file name such as "wires" is passed over). False with `why`.
bool ParseRcxPatternName(const std::string& path, RcxPatternName& name, std::string& why);

// Empty when `wire` (a deck name M<metal>_w<index>) is a wire of the
// pattern's own metal, which is what a row describes; else why not.
std::string RcxRowWireProblem(const RcxPatternName& name, const std::string& wire);

// The row of the master row.names[0] (values in F as the run gives them,
// couplings negative, each multiplied by `scale`); `wires` names the
// pattern's wires in file order. False with `why`.
bool RcxTableRow(const RcxPatternName& name, const CapRow& row, const std::vector<std::string>& wires,
                 double scale, std::string& text, std::string& why);
