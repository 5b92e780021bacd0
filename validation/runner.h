// Runs one extraction in-process through the library call bin/korva makes
// (Extraction::Run), and hands back the full-precision row and the run's
// counters. Used by the accuracy cases and the benchmarks, which need more
// digits than the printed report.
#pragma once

#include <string>
#include <vector>

struct RunOptions {
    char mode = 'p';          // 't' (walk count) or 'p' (relative error)
    long long walks = 2000;
    double rel_err = 0.01;
    int threads = 1;
    bool fixed_seed = true;   // false: seed from the clock like the product
    int seed = 12345;
    bool reproducible = false;  // chunked walks seeded from (seed, master, chunk)
    std::vector<std::string> floating;  // conductors that float, charge-neutral
};

struct RunOutput {
    std::vector<std::string> names;
    std::vector<double> cap;  // farads, slot i = conductor i
    std::vector<double> err;
    long long walks = 0;      // as the product counts them
    long long hops = 0;
    double seconds = 0.0;     // wall time of the walks
    double cpu_seconds = 0.0; // processor time of the walks, all threads
    // Potentials of the floating conductors the walks reached (master at 1 V).
    struct Potential {
        std::string name;
        double value, err;
    };
    std::vector<Potential> potentials;
};

// Returns 0 on success; the deck's own messages are printed on failure.
int RunDeck(const std::string& deck_path, const RunOptions& opt, RunOutput& out);

// Copy of the deck text with the task naming `master`, written next to
// `scratch_dir`; returns its path.
std::string DeckWithMaster(const std::string& deck_path, const std::string& master,
                           const std::string& scratch_dir);

double WallSeconds();
double ProcessCpuSeconds();
