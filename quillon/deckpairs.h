// Permittivity pairs of a deck's dielectric stack.
#pragma once

#include <vector>

#include "layers.h"
#include "tablefiles.h"

// Loads the deck, builds its layer stack as Korva does and returns the
// ordered pairs (below, above) of neighbouring layers whose permittivities
// differ, each once, bottom to top. False when the deck cannot be loaded.
bool PairsFromDeck(const char* path, std::vector<DielPair>& pairs);

// The same pairs from a stack already built: what Korva's walks can look up.
std::vector<DielPair> StackPairs(const std::vector<Layer>& layers);
