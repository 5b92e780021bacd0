// What the picture and the run report are drawn from: the scene of a deck
// (what the walks would see) and the record of a finished run.
#pragma once

#include "cmdline.h"
#include "extraction.h"
#include "parser.h"
#include "picture.h"
#include "runreport.h"

class WalkMgr;

// From a prepared walk manager (its layer stack, Gaussian surface and
// enlarged window) and the deck's names and window.
DeckView SceneOfRun(const WalkMgr& mgr, const DeckLists& lists, const Cuboid& window);

// The same scene without the tables: builds the layer stack and places the
// Gaussian surface as a run's preparation would.
DeckView SceneOfDeck(const DeckLists& lists, const Cuboid& window);

// The run report's record: the settings, the seed, every row in the columns
// of the conductors (byte order), and the first master's stopping checks.
RunRecord RecordOfRows(const RunSettings& settings, uint64_t seed,
                       const std::vector<std::string>& conductors,
                       const std::vector<MasterRow>& rows,
                       const std::vector<ConvergencePoint>& history);
