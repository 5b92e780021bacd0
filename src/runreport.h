// A self-contained HTML page about one run: the deck's picture, the
// capacitance rows as bar charts with error bars, the convergence history,
// the settings and the seed, and with several masters the matrix as a heat
// map. Plain text out; nothing is fetched when the page is viewed.
#pragma once

#include "convergence.h"

#include <string>
#include <utility>
#include <vector>

struct ReportRow {
    std::string master;
    std::vector<double> value;  // farads, one per column
    std::vector<double> error;  // standard errors, farads
};

struct RunRecord {
    std::string title;
    std::vector<std::pair<std::string, std::string>> settings;  // shown in order
    std::string seed;
    std::vector<std::string> columns;  // conductor names
    std::vector<ReportRow> rows;       // one per master
    std::vector<ConvergencePoint> history;
    std::string picture_svg;  // a DrawPicture result, or empty
};

std::string RenderReport(const RunRecord& record);
