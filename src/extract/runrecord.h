// The record of a run: what it found and the settings that shaped those
// numbers. The result files and the report page are written from it alone,
// so they read the same whichever program ran the walks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "convergence.h"

struct MasterRow {
    std::string master;
    std::vector<std::string> conductors;  // the master first, then byte order
    std::vector<double> cap, err;         // farads, one per conductor, then the window
    // The potential of each floating conductor the walks reached, with the
    // master at 1 V and the other fixed conductors at 0 V, in byte order.
    struct Potential {
        std::string conductor;
        double potential, error;
    };
    std::vector<Potential> floating_potentials;
    // Conductors left out of `conductors` once the row is kept sparse: no
    // walk reached them, so their entries were zero.
    size_t unreached = 0;
    // Couplings already folded into "(other)" (a row read back from a file).
    double folded_cap = 0.0, folded_err = 0.0;
    long long walks = 0;
    long long hops = 0;
    double prep_seconds = 0.0;
    double walk_seconds = 0.0;
    double walk_cpu_seconds = 0.0;  // processor time of the walks, all threads
    double reached_error = 0.0;  // |err / cap| of the master's self capacitance
    bool converged = false;
    std::string error;  // why the row could not be extracted; empty on success
    bool fatal = false;  // the fault is the run's (its tables), not the master's
};

// A conductor as a netlist knows it, for the SPEF file: its net's name
// there and the pins on it, each a port ("NAME") or an instance's pin
// ("INSTANCE:PIN").
struct NetPins {
    std::string net;
    std::vector<std::string> pins;
};

struct RunRecord {
    std::string version;
    std::string deck;  // the input as named
    // The settings that shaped the numbers.
    char end_mode = 't';          // 't': walk count, 'p': relative error of the master
    long long target_walks = 2000;
    double target_error = 0.1;
    int threads = 1;
    bool seeded = false;          // a seed was given: the walks are reproducible
    uint64_t seed = 0;            // the seed the walks used, given or drawn
    std::vector<std::string> masters;  // as named, in the order given
    bool all_masters = false;
    std::vector<std::string> exclude;
    std::vector<std::string> ground;   // conductors of the SPEF ground entry
    // By conductor; one not here is a net of its own name with one port of
    // that name.
    std::map<std::string, NetPins> netlist;
    double time_limit = 0.0;      // seconds per master, 0: none
    long long max_walks = 0;      // per master, 0: none
    bool per_length = false;
    bool floating_as_ground = false;
    // Conductors that floated, charge-neutral, eliminated from every row.
    std::vector<std::string> floating;
    std::string process;          // a pattern's process file
    // Couplings below this fraction of the self capacitance are folded
    // into a row's "(other)" entry in the files; 0: only unreached ones.
    double coupling_floor = 0.0;
    // What decides the numbers of the rows (options, deck): a rerun with
    // the same key resumes from the rows a stopped run finished. Empty: the
    // run keeps no such rows.
    std::string resume_key;
    // The console shows a line per master and the progress, not the rows
    // (--progress, or a run of many masters).
    bool brief_console = false;
    int master_shard_k = 0, master_shard_n = 1;  // this run's part of the masters
    // The files the record is written to; empty: none.
    std::string json_path, csv_path, spef_path, report_path;
    // The results.
    std::vector<std::string> conductors;    // byte order
    std::vector<MasterRow> rows;            // in the order the masters ran
    std::vector<ConvergencePoint> history;  // stopping checks of the first master reported
    double seconds = 0.0;                   // from the start to the last row

    // Whether the masters were chosen on the command line (several may run)
    // rather than by the deck's task.
    bool Chosen() const { return all_masters || !masters.empty(); }
};
