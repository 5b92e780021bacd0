// The command line of bin/korva: run settings, help text and the
// registration of a multi-dielectric table directory.
#pragma once

#include <cstdint>
#include <string>

struct RunSettings {
    std::string deck_path;
    char end_mode = 't';          // 't': walk count, 'p': relative error
    int64_t target_walks = 2000;  // -t
    double target_error = 0.1;    // -p
    int threads = 1;              // -n
    std::string picture_path;     // --picture: SVG of the deck (alone: no walks)
    std::string report_path;      // --report: HTML page of the run
};

// ParseOptions result when the run goes on with the deck.
const int OPTIONS_RUN = -1;

// Reads the options with getopt_long. Returns OPTIONS_RUN, or the exit
// status of the process when the options end it (help, usage error,
// registration with --gft).
int ParseOptions(int argc, char** argv, RunSettings& settings);

void ShowHelp();

// Writes `path` (with a final '/') into bin/.gft_dir. Returns the exit
// status: 0 on success, 255 on any failure.
int RegisterTableDir(const std::string& path);
