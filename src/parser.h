// The input deck: scanner, parser and the structure database it fills
// (window, conductors, media, master), and the ordered lists a run takes.
#pragma once

#include "geometry.h"

#include <cstdint>
#include <fstream>
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

extern Cuboid* solver_space;
extern std::map<std::string, std::vector<Cuboid*>> dictionary;
extern std::map<std::string, std::vector<Medium*>> mediums;
extern std::string master_name;

// Scanner state.
extern int miline;             // current deck line, for messages
extern DeckValue yylval;
extern std::ifstream deck_file;  // the stream LoadDeck opens on the deck path
extern std::istream* deck_in;    // the stream the scanner reads; &deck_file by default

// Next token from *deck_in; 0 at end of input.
int yylex();
// Text of the last identifier scanned (keywords excluded).
const std::string& ScannedName();

// Parses the whole deck from *deck_in: 0 on success, 1 after a syntax
// error, 2 after a parser stack overflow. Prints its own messages.
int yyparse();

struct DeckLists {
    std::vector<std::string> names;      // master first, then byte order
    std::vector<const Cuboid*> cuboids;  // every block, master's first; id = conductor index
    std::vector<Medium*> media;          // one Medium per medium block
};

// Opens `path`, parses, validates, applies the window default and builds
// the lists. Prints every message itself. Returns 0 on success, 255 on any
// failure. Without `need_task` a deck may lack the task statement (the
// lists then hold the conductors in byte order). With `digest`, the
// digest of every byte the parse read is stored there.
int LoadDeck(const char* path, DeckLists& lists, bool need_task = true, uint64_t* digest = nullptr);
// The same for a deck held in memory (an imported file's deck text).
int LoadDeckText(const std::string& text, DeckLists& lists, bool need_task = true);
void BuildDeckLists(DeckLists& lists);
// Deck line of a block statement of the current deck, for messages; 0 for
// a box the deck did not give.
int DeckLineOf(const Cuboid* box);
// Deletes every box and medium the parse created (window included) and
// empties the maps and the window pointer that referred to them.
void DeleteDeckObjects();
// DeleteDeckObjects, then resets every global and the scanner state.
void ClearDeck();
