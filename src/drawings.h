// What the picture and the run report are drawn from: the scene of a deck
// (what the walks would see) and the record of a finished run.
#pragma once

#include "cmdline.h"
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

// The record of a finished single-master run: its settings, seed, the
// master's row and the history of the stopping checks.
RunRecord RecordOfRun(const RunSettings& settings, const WalkMgr& mgr,
                      const std::vector<std::string>& names, const std::vector<double>& cap,
                      const std::vector<double>& err, double kernel_seconds);

// Writes `text` to `path`; prints the failure and returns 255, else 0.
int WriteTextFile(const std::string& path, const std::string& text);
