// What the checks of one run's table files remember from file to file.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

struct TableLedger {
    // Run preparation switches the checks on; unit tests of the loaders
    // feed them hand-made bodies that no real table would hold.
    bool enabled = false;
    // The IS single-medium weights, once loaded: the homogeneous cube,
    // which is also cut position 0 of every multi-dielectric weight table.
    double single_weight[3] = {};
    bool have_single_weight = false;
    std::string single_weight_path;
    // Weight sums paired with densities: what each density table's moments
    // say the sums must be. Keyed by (half, dlow, dhigh).
    struct Paired {
        std::string path;
        std::vector<double> values;
    };
    std::map<std::tuple<bool, double, double>, Paired> paired_sums, paired_moments;
    // Which file served each (kind, pair) so far.
    std::map<std::tuple<int, double, double>, std::string> served;

    void ForgetFiles()
    {
        served.clear();
        paired_sums.clear();
        paired_moments.clear();
    }
};
