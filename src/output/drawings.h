// What the picture is drawn from: the scene of a deck, as the walks would
// see it.
#pragma once

#include <vector>

#include "layers.h"
#include "parser.h"
#include "picture.h"

// After a run's preparation (its layer stack in place), with the boxes of
// the Gaussian surface of a master and the deck's names and window.
DeckView SceneOfRun(const std::vector<Cuboid>& gauss_boxes, const std::vector<Layer>& faces,
                    const DeckLists& lists, const Cuboid& window);

// The same scene before any table is read: builds the layer stack and
// places the Gaussian surface as a run's preparation would.
DeckView SceneOfDeck(const DeckLists& lists, const Cuboid& window);
