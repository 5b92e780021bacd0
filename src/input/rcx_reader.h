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

// A conformal or trench dielectric of a process file: it wraps every wire
// of one conductor level (`met`, the CONDUCTOR block by its place in the
// file, from 1), which the pattern names M<level>_w<n>. Around a wire of
// bottom zb a conformal film starts where the films inside it end on the
// field (zb + their thicknesses = b); on the field it is the band of its
// `thickness` in the stack, and around the wire it rises from b + thickness
// to b + height, bottom_ext beyond the wire's sides at the bottom, its
// sides leaning in by (height - thickness) / slope, or by bottom_ext when
// slope is 0. A trench fills from `height` (negative) below the wire's top
// up to the top, bottom_ext beyond its sides.
struct RcxFilm {
    std::string name;
    bool trench = false;
    int level = 0;
    double eps = 0, thickness = 0, height = 0, bottom_ext = 0, slope = 0;
    int line = 0;
};

struct RcxProcess {
    std::vector<SceneBand> bands;  // every DIELECTRIC block, films too, stacked from z = 0 in file order
    std::vector<RcxFilm> films;    // in file order: the first of a level lies nearest its wires
};

// The dielectric stack of a process file: its DIELECTRIC blocks stacked from
// z = 0 in file order (a plain band may give its own height), and its films.
void ReadRcxProcess(std::istream& in, RcxProcess& process, std::vector<std::string>& errors);

// The scene of a pattern: wires along y from 0 to their LENGTH, ground planes
// under the whole window, the bands of the wires file or else of the process
// file, and the process file's films around the wires of their level. The
// master is the wire at voltage 1 unless options name another.
void BuildPatternScene(const RcxPattern& pattern, const RcxProcess* process, const ImportOptions& options,
                       Scene& scene, std::vector<std::string>& errors);

bool LooksLikeRcxWires(const std::string& head);
bool LooksLikeRcxProcess(const std::string& head);
