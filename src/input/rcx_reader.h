// Readers of the calibration patterns that the extractor's rule generation
// writes: the process file (the dielectric stack) and the per-pattern wires
// file (ground planes, dielectric bands, wires, window).
#pragma once

#include "scene.h"

#include <istream>
#include <string>
#include <vector>

struct RcxWire {
    std::string name;
    double x0 = 0, x1 = 0, z0 = 0, z1 = 0;  // cross-section; the wire runs along y
    double length = 0, voltage = 0;
    int line = 0;
};

struct RcxPlane {
    std::string name;
    double z0 = 0, z1 = 0;
    int line = 0;
};

struct RcxPattern {
    std::string name;
    std::vector<RcxWire> wires;
    std::vector<RcxPlane> planes;
    std::vector<SceneBand> bands;
    std::vector<int> band_lines;
    bool have_window = false;
    double window[5] = {0, 0, 0, 0, 0};  // x0 z0 x1 z1 length
    double ext[6] = {0, 0, 0, 0, 0, 0};  // added to x0 z0 x1 z1 y0 y1
    int window_line = 0;
};

// Every problem is one line "Line N : ..." in `errors`.
void ReadRcxWires(std::istream& in, RcxPattern& pattern, std::vector<std::string>& errors);

// The dielectric stack of a process file: its DIELECTRIC blocks stacked from
// z = 0 in file order (or from their own height), in `bands`.
void ReadRcxProcess(std::istream& in, std::vector<SceneBand>& bands, std::vector<std::string>& errors);

// The scene of a pattern: wires along y from 0 to their LENGTH, ground planes
// under the whole window, the bands of the wires file or else of the process
// file. The master is the wire at voltage 1 unless options name another.
void BuildPatternScene(const RcxPattern& pattern, const std::vector<SceneBand>* process_bands,
                       const ImportOptions& options, Scene& scene, std::vector<std::string>& errors);

bool LooksLikeRcxWires(const std::string& head);
bool LooksLikeRcxProcess(const std::string& head);
