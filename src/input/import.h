// Inputs other than decks: which format a file is, by its content, and the
// deck text it becomes; and the file that names the pins of each net.
#pragma once

#include "per_length.h"
#include "rcx_tables.h"
#include "runrecord.h"
#include "scene.h"

#include <string>
#include <vector>

enum class InputKind { DECK, PEX25D, RCX_WIRES, RCX_PROCESS };

// Decided by the first records of the file, whatever its name; a file that
// is none of the imported formats is taken for a deck.
InputKind DetectInput(const std::string& head);

struct ImportSettings {
    ImportOptions options;
    bool per_length = false;
    bool pattern_result = false;  // a file for the pattern result was asked for
    bool rcx_result = false;      // a file for the pattern's rule-table row was asked for
    std::string process_path;  // process file of a pattern, or empty
};

struct ImportedInput {
    InputKind kind = InputKind::DECK;
    std::string deck_text;     // empty for a deck
    bool pattern = false;
    std::string pattern_name;
    std::vector<std::string> wires;  // deck names of the pattern's wires
    std::vector<double> wire_lengths;  // um, as drawn
    bool rcx_rows = false;           // the name below was read for --rcx-result
    RcxPatternName rcx_name;
    bool per_length = false;
    PerLengthPlan plan;
    std::vector<std::string> notes;
    std::vector<std::string> warnings;
    std::map<std::string, NetPins> netlist;  // by deck name: the conductors the input names otherwise or gives pins
    std::vector<std::string> floating;  // deck names of the scene's floating conductors
};

// Reads `path`. A deck is left to the deck parser (kind DECK, no text).
// Prints every problem itself. Returns 0, or 255 after a problem.
int ImportInput(const std::string& path, const ImportSettings& settings, ImportedInput& imported);

// --spef-pins: the lines "NET PIN" or "NET INSTANCE:PIN" ('#' starts a
// comment) of `path`, by net as written. Prints every problem itself;
// returns 0, or 255 after a problem.
int ReadSpefPins(const std::string& path, std::map<std::string, NetPins>& pins);

// The whole file at `path`; false when it cannot be read.
bool ReadWhole(const std::string& path, std::string& text);

// The result of a pattern run, from the raw row of the run: the section
// printed after the report and the text of the per-pattern result.
std::string PatternResult(const ImportedInput& imported, const CapRow& raw, std::string& report);

// The pattern's rule-table row from the raw row of its run, for the wire as
// drawn (a per-length row times the master's length). False with `why`.
bool RcxResult(const ImportedInput& imported, const CapRow& raw, std::string& text, std::string& why);
