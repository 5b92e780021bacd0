// What the console front ends share: bin/korva and bin/korva-mpi print the
// same banner and rows, resolve the same masters and write the same files.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "cmdline.h"
#include "drawings.h"
#include "extraction.h"
#include "import.h"

void PrintBanner();

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
bool ResolveMasters(const RunSettings& s, const std::vector<std::string>& conductors,
                    const std::string& task_master,
                    std::vector<std::string>& masters);

// The report of one master, after its walks (`total_seconds` since start).
void PrintRow(const MasterRow& row, double total_seconds);

// --picture: draws the deck before any walk. -1 when the run goes on (no
// picture, or one drawn for a --report run), else the exit status.
int DrawDeckFirst(const RunSettings& s, const DeckLists& lists);

// What the --report page draws: the scene around the first master that ran
// (the ids of its blocks follow that master's row) and its stopping checks.
struct RunDrawing {
    DeckView scene;
    std::vector<ConvergencePoint> history;
    // After a master's walks, while `mgr` still holds its Gaussian surface;
    // only the first call with --report does anything.
    void Take(const RunSettings& s, const WalkMgr& mgr, const DeckLists& lists, const MasterRow& row,
              const Cuboid& deck_window);
};

// The --json, --csv, --spef and --report files; false when one cannot be
// written.
bool WriteOutputs(const RunSettings& s, uint64_t seed, const std::vector<std::string>& conductors,
                  const std::vector<MasterRow>& rows, const RunDrawing& drawing);
