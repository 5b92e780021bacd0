// Geometry imported from another tool's file, in the terms a deck can say:
// named conductors made of boxes, horizontal dielectric bands, dielectric
// bodies and a window.
// The deck text written from it is what the run parses, so imported geometry
// goes through exactly the path a hand-written deck takes.
#pragma once

#include "geometry.h"

#include <string>
#include <utility>
#include <vector>

struct SceneConductor {
    SceneConductor(std::string n = "", std::vector<Cuboid> b = {}) : name(std::move(n)), boxes(std::move(b)) {}
    std::string name;
    std::vector<Cuboid> boxes;
    // Where a netlist connects to it ("PORT" or "INST:PIN"), from the input.
    std::vector<std::string> pins;
    std::string source;  // the name in the input, when the deck's differs
    bool floating = false;  // charge-neutral metal: the run lets it float
};

struct SceneBand {
    double z0 = 0.0, z1 = 0.0;
    double diel = 0.0;
};

// A dielectric box that does not span the window: a film around a wire, a
// spacer. It holds over the bands where it lies.
struct SceneBody {
    Cuboid box;
    double diel = 0.0;
    std::string name;  // of the source record, for the deck's medium names
};

// One box of a film around a conductor; `depth` counts the films between it
// and the conductor (1: it touches the conductor). `line` and `wraps_line`
// are the records of the film and of what it wraps, for messages.
struct FilmPiece {
    SceneBody body;
    int depth = 1;
    int line = 0, wraps_line = 0;
};

struct Scene {
    Cuboid window;
    std::vector<SceneConductor> conductors;
    std::vector<SceneBand> bands;  // ascending z, adjacent, covering the window's height
    std::vector<SceneBody> bodies;  // a later body holds where bodies overlap
    std::string master;
    std::vector<std::string> notes;  // what the import decided for the user, one line each
    std::vector<std::string> warnings;  // what it left out, "Line N : RECORD: ..." each
};

// The name as a deck identifier: letters, digits, '_' and ':' only, not
// starting with a digit, not a keyword. Unchanged when already valid.
std::string DeckIdentifier(const std::string& name);

// Gives every conductor a deck identifier, distinct from the others; a
// renaming is added to the notes. The master follows its conductor.
void AssignDeckNames(Scene& scene);

// The deck text of the scene; the notes become comments at its top.
std::string DeckText(const Scene& scene, const std::string& origin);

// Writes `text` to `path` by the rule of every output file (outputfile.h).
bool WriteFileAtomic(const std::string& path, const std::string& text, std::string& error);

// Appends films' boxes to the scene's bodies so that the film nearer its
// conductor holds where films overlap: larger depths first, in their given
// order otherwise; each cut to the window, empty ones dropped. A box that
// would cover the window in x and y is a band between the bands, which a
// deck's bodies cannot say: returns false with `spanning` set to it, having
// added nothing. Returns true and the number added in `made` otherwise.
bool AddFilmBodies(Scene& scene, std::vector<FilmPiece> pieces, FilmPiece& spanning, size_t& made);

// Merges the bands of equal permittivity that meet, after sorting by z.
void MergeBands(std::vector<SceneBand>& bands);

// Whole-token decimal number (sign, digits, point, exponent), finite.
bool ParseNumber(const std::string& text, double& value);

// Keyword comparison of imported formats: case does not matter.
bool SameWord(const std::string& text, const char* keyword);

// Import options shared by the readers.
struct ImportOptions {
    bool floating_as_ground = false;
    std::string master;  // empty: the reader's default
    double domain_margin = -1;  // um around a scene's conductors; < 0: the scene's own or the default
};
