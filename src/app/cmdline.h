// The command line of bin/korva: run settings, help text and the
// registration of a multi-dielectric table directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lawcache.h"

struct RunSettings {
    std::string deck_path;
    char end_mode = 't';          // 't': walk count, 'p': relative error
    int64_t target_walks = 2000;  // -t
    double target_error = 0.1;    // -p
    int threads = 1;              // -n
    // Imported geometry (scenes and calibration patterns).
    std::string convert_out;      // --convert IN OUT: write the deck and end
    bool floating_as_ground = false;
    bool per_length = false;
    std::string process_path;     // --process: a pattern's process file
    std::string pattern_out;      // --pattern-result: file for a pattern's result
    double domain_margin = -1;    // --domain-margin: um around a scene's conductors; < 0: unset
    std::string rcx_out;          // --rcx-result: its rule-table row (in a batch, every pattern's)
    // Several masters per run, outputs, reproducibility and budgets.
    std::vector<std::string> masters;  // --master, in the order given
    bool all_masters = false;          // --all-masters
    std::vector<std::string> exclude;  // --exclude (with --all-masters)
    std::vector<std::string> ground;   // --ground: conductors of the SPEF ground entry
    // --floating: names or shell patterns of conductors that float; a
    // scene's FLOATING nets float too unless floating_as_ground.
    std::vector<std::string> floating;
    // --open-window: the medium goes on without bound beyond the window.
    bool open_window = false;
    std::string json_path, csv_path, spef_path;
    std::string spef_pins;             // --spef-pins: the pins of each net in the SPEF file
    bool seeded = false;               // --seed given
    uint64_t seed = 0;
    double time_limit = 0.0;           // --time-limit, seconds per master
    long long max_walks = 0;           // --max-walks, per master
    // Whole blocks: a master also walks until every coupling above
    // coupling_min times its self capacitance has a relative error below
    // coupling_error (0: no such target); couplings below coupling_floor
    // times it are folded in the files; progress: a line per master.
    double coupling_error = 0.0;       // --coupling-error
    double coupling_min = 0.0;         // --coupling-min
    double coupling_floor = 0.0;       // --coupling-floor
    bool progress = false;             // --progress
    int master_shard_k = 0, master_shard_n = 1;  // --master-shard K/N: masters K, K+N...
    std::string picture_path;     // --picture: SVG of the deck (alone: no walks)
    std::string report_path;      // --report: HTML page of the run
    // Batches: every input of a list, one result each in a folder.
    std::string batch_list;            // --batch
    std::string out_dir;               // --out-dir
    int shard_k = 0, shard_n = 1;      // --shard K/N: inputs K, K+N, K+2N...
    // --law-cache-limit: megabytes the kept exit laws may take after the
    // run (0: no bound).
    uint64_t law_cache_mb = LAW_CACHE_DEFAULT_MB;
    // A new option that changes any number of a result belongs in
    // NumberOptions as well.
};

// ParseOptions result when the run goes on with the deck.
const int OPTIONS_RUN = -1;

// Reads the options with getopt_long. Returns OPTIONS_RUN, or the exit
// status of the process when the options end it (help, usage error,
// registration with --gft).
int ParseOptions(int argc, char** argv, RunSettings& settings);

void ShowHelp();

// "; did you mean X?" with the names of `known` nearest to `word` (by edit
// distance, each written after `prefix`), noting when only the case
// differs; empty when none is near.
std::string NearestNames(const std::string& word, const std::vector<std::string>& known,
                         const char* prefix = "");

// The options that decide the numbers of a run, as one line in option
// syntax: processes that must compute the same numbers compare it.
std::string NumberOptions(const RunSettings& s);

// Writes `path` (with a final '/') into bin/.gft_dir. Returns the exit
// status: 0 on success, 255 on any failure.
int RegisterTableDir(const std::string& path);
