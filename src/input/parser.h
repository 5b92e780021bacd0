// The input deck: scanner, parser and the deck value it fills (window,
// conductors, media, master, the ordered lists a run takes).
#pragma once

#include "geometry.h"

#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <istream>
#include <map>
#include <string>
#include <vector>

// Token codes of the deck grammar; single characters are their own codes.
enum DeckToken {
    VORN = 300,
    WINDOW = 301,
    MEDIUM = 302,
    CONDUCTOR = 303,
    BLOCK = 304,
    BASEPOINT = 305,
    NAME = 306,
    V1 = 307,
    V2 = 308,
    HVECTOR = 309,
    TINT = 310,
    DIEL = 311,
    TASK = 312,
    CAPACITANCE = 313,
    NEWNAME = 315,
    CONDNAME = 316,
    NUMBER = 317,
    UMINUS = 318,
    // A number the stream could not read (e.g. "1e" or out of range); no
    // rule accepts it.
    BADNUMBER = 256,
};

// Value of the last token: keyword index, name flag (1) or number.
struct DeckValue {
    int ival = 0;
    double number = 0.0;
};

// The boxes and media a parse made, and the deck line of each box (0 for
// the default window): deques keep their addresses without an allocation
// per box.
struct DeckStore {
    std::deque<Cuboid> boxes;
    std::deque<int> lines;
    std::deque<Medium> media;
};

// A parsed deck: the structure the parse filled and the ordered lists a run
// takes. Copies share the boxes (a run rewrites their ids in place); the
// last copy frees them.
struct DeckLists {
    std::vector<std::string> names;      // master first, then byte order
    std::vector<const Cuboid*> cuboids;  // every block, master's first; id = conductor index
    std::vector<Medium*> media;          // one Medium per medium block
    // A block that spans the window in x and y is a band of the layer
    // stack (in the order of `media`); any other is a dielectric body, in
    // deck order: later statements after earlier ones, a replacing
    // statement at its own place, blocks in their order. Where bodies
    // overlap the later one holds, and every body holds over the bands.
    std::vector<Medium*> bands;
    std::vector<Medium*> bodies;
    // The window as given or defaulted; an extraction enlarges it in place.
    Cuboid* window = nullptr;
    std::map<std::string, std::vector<Cuboid*>> conductors;
    std::map<std::string, std::vector<Medium*>> media_by_name;
    std::string master;  // of the task statement; empty without one
    // Conductors that float (charge-neutral), as chosen for the run; not
    // part of the deck's text.
    std::vector<std::string> floating;
    // The one medium goes on without bound: the window's faces stand for
    // infinity (chosen for the run too).
    bool open_window = false;
    std::shared_ptr<DeckStore> store;
    // Deck line of a block statement, for messages; 0 for a box the deck
    // did not give.
    int LineOf(const Cuboid* box) const;
};

// Parses the whole deck from `in` into `lists` (its structure only, no
// lists): 0 on success, 1 after a syntax error, 2 after a parser stack
// overflow. Prints its own messages.
int ParseDeck(std::istream& in, DeckLists& lists);
// The tokens of `in` up to the end (0) or `most` of them.
std::vector<int> DeckTokens(std::istream& in, size_t most);

// Opens `path`, parses, validates, applies the window default and builds
// the lists. Prints every message itself. Returns 0 on success, 255 on any
// failure. Without `need_task` a deck may lack the task statement (the
// lists then hold the conductors in byte order). With `digest`, the
// digest of every byte the parse read is stored there.
int LoadDeck(const char* path, DeckLists& lists, bool need_task = true, uint64_t* digest = nullptr);
// The same for a deck held in memory (an imported file's deck text).
int LoadDeckText(const std::string& text, DeckLists& lists, bool need_task = true);
// The ordered lists from the structure.
void BuildDeckLists(DeckLists& lists);
// Whether a medium block is a band: it spans `window` in x and y (to
// 1e-12). Without a window every block is a band.
bool SpansWindow(const Cuboid& block, const Cuboid* window);
