// What the console front ends share: bin/korva and bin/korva-mpi print the
// same banner and rows, resolve the same masters and write the same files.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "cmdline.h"
#include "parser.h"
#include "extraction.h"
#include "import.h"
#include "runrecord.h"

void PrintBanner();

// After a run: the kept exit laws trimmed to `limit_mb` megabytes (0: no
// bound), with a line when laws went. A folder of a few thousand laws is
// read in a millisecond or two.
void TrimKeptLaws(uint64_t limit_mb);
// Trims them as the run's scope ends, whichever way it returns.
struct TrimLawsAtEnd {
    const RunSettings& s;
    ~TrimLawsAtEnd() { TrimKeptLaws(s.law_cache_mb); }
};

timespec Now();
double Elapsed(const timespec& from, const timespec& to);

// The run's input as a deck: read (a scene or pattern through its reader,
// whose notes are printed) and parsed into `lists`. -1 when the run goes on;
// otherwise its exit status, after --convert or a message. A single
// --master given to a reader becomes the converted deck's task. With
// `digest`, the digest of the deck as parsed (the file's bytes, or the
// reader's deck) is stored there.
int LoadRunInput(RunSettings& s, ImportedInput& imported, DeckLists& lists,
                 uint64_t* digest = nullptr);

// The masters of this run: the deck's task, the --master names in the order
// given, or every conductor but the excluded ones. False after a message
// when a name is not a conductor of the deck.
// `floating`: conductors that float, which have no row (a master among them
// is refused) and are never taken by --all-masters.
bool ResolveMasters(const RunSettings& s, const std::vector<std::string>& conductors,
                    const std::string& task_master,
                    std::vector<std::string>& masters,
                    const std::vector<std::string>& floating = {});

// The floating conductors of the run into lists.floating: the scene's and
// every conductor a --floating name or pattern matches. False after a
// message when a pattern matches no conductor.
bool ResolveFloating(const RunSettings& s, const ImportedInput& imported, DeckLists& lists);

// Masters beyond which a run's console shows a line per master, not rows.
const size_t BRIEF_CONSOLE_MASTERS = 50;

// The report of one master, after its walks (`total_seconds` since start).
void PrintRow(const MasterRow& row, double total_seconds);

// --picture: draws the deck before any walk. -1 when the run goes on (no
// picture, or one drawn for a --report run), else the exit status.
int DrawDeckFirst(const RunSettings& s, const DeckLists& lists);

// The record of a run as its command line shapes it, before any row;
// `seed` is the one the walks use, given or drawn.
RunRecord RecordOfRun(const RunSettings& s, uint64_t seed, const std::vector<std::string>& conductors);
// What a master's walks take from the command line: targets, threads,
// budgets and the seed.
ExtractionSettings ExtractionOf(const RunSettings& s, bool seeded, uint64_t seed);

// How a program comes by the row of one master.
enum class Obtained {
    ROW,        // in `row`, or why not in its error, already told
    ELSEWHERE,  // this process lent its walks; another one reports the row
    END,        // the run cannot go on
};
using ObtainRow = std::function<Obtained(size_t k, MasterRow& row)>;
// After a row is reported; false when the run has failed all the same.
using AfterRow = std::function<bool(size_t k, const MasterRow& row)>;

// The masters of a run in turn, as both console programs report them: the
// header of each, its row from `obtain` kept in `run` and printed, the
// scene of the first for --report; then the deck is freed and the files of
// `run` written. Returns the exit status: 0, 75 when a target was not met,
// 255 when a master failed, a file could not be written or the run ended.
int RunMasters(RunRecord& run, const std::vector<std::string>& masters, const Extraction& ex,
               const DeckLists& lists, const Cuboid& deck_window, const timespec& start,
               const ObtainRow& obtain, const AfterRow& after = nullptr);
