// A self-contained HTML page about one run: the deck's picture, the
// capacitance rows as bar charts with error bars, the convergence history,
// the settings and the seed, and with several masters the matrix as a heat
// map. Plain text out; nothing is fetched when the page is viewed.
#pragma once

#include <string>

#include "runrecord.h"

// `picture_svg`: a DrawPicture result, or empty for none.
std::string RenderReport(const RunRecord& run, const std::string& picture_svg);
