// Capacitance per unit length of a calibration pattern, whose wires stand
// for infinitely long ones: the wires are cut into two end segments and a
// middle one, only the master's middle is extracted, and the row is folded
// back to one value per wire and divided by the middle's length.
#pragma once

#include "scene.h"

#include <string>
#include <vector>

struct PerLengthPlan {
    std::string master;                    // the master's middle segment keeps the wire's name
    std::vector<std::string> master_ends;  // at the master's potential
    double middle = 0.0;                   // length of the master's middle, um
    // Every other conductor: its name in the result and the conductors it was cut into.
    std::vector<std::pair<std::string, std::vector<std::string>>> groups;
};

// One capacitance row: the master first, values signed as the run gives
// them (couplings negative), one standard error each.
struct CapRow {
    std::vector<std::string> names;
    std::vector<double> value, error;
};

// Cuts the wires (conductors `wires`, indices into scene.conductors, each a
// single box along y) at a quarter of the master's length from each end. The
// master's ends stay apart from its middle by a slit of a twentieth of its
// smaller cross-section side, room for the surface the walks start from.
// Returns false with `error` set when a wire is not a single box.
bool CutForPerLength(Scene& scene, const std::vector<size_t>& wires, PerLengthPlan& plan, std::string& error);

// Folds a row of the cut scene: the master's total adds the couplings to its
// own ends (they are at its potential), every other wire sums its segments;
// all per micrometre of the master's middle. Errors add in quadrature.
CapRow FoldPerLength(const CapRow& raw, const PerLengthPlan& plan);

// The per-pattern result a rule calibration takes: the master's total, its
// coupling to each other wire, and the total less those couplings (its
// capacitance to ground). `wires` names the conductors that count as wires.
std::string PatternResultText(const std::string& pattern, const CapRow& row,
                              const std::vector<std::string>& wires, bool per_length);
