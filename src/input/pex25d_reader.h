// Reader of PEX25D scene files (the layout exporter's solver-neutral text
// format): the planar subset that a deck can represent.
#pragma once

#include "scene.h"

#include <istream>
#include <string>
#include <vector>

// Fills `scene` from the text. Every problem found is one line in `errors`
// ("Line N : ..."), and any error means the scene must not be used.
void ReadPex25d(std::istream& in, const ImportOptions& options, Scene& scene,
                std::vector<std::string>& errors);

// True when the first record of the text is the PEX25D header.
bool LooksLikePex25d(const std::string& head);
