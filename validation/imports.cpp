// Imported geometry against independent references:
//   korva_validate_imports [--quick] PATTERN_DIR
// 1. The PEX25D scene validation/imports/scene.pex25d and the deck of the
//    same geometry written by hand give the same row within 3 standard errors.
// 2. The calibration patterns under PATTERN_DIR (examples/gen_rcx_patterns.py
//    writes them, at 10 and 20 um) give per-length values that agree with
//    each other and with a converged 2-D finite-difference solve of their
//    cross-section.
// Run from the repository root with the single-medium tables built.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fd2d.h"
#include "import.h"
#include "rcx_reader.h"
#include "runner.h"

namespace {

int failures = 0;

void Report(const std::string& what, double a, double b, double se, double slack)
{
    const double dev = std::fabs(a - b), tol = 3 * se + slack * std::fabs(b);
    const bool ok = dev <= tol;
    failures += ok ? 0 : 1;
    printf("%-44s %12.5e %12.5e  dev %6.3f%%  tol %6.3f%%  %s\n", what.c_str(), a, b, 100 * dev / std::fabs(b),
           100 * tol / std::fabs(b), ok ? "ok" : "FAIL");
}

bool Import(const std::string& path, const ImportSettings& s, ImportedInput& in, const std::string& deck)
{
    if (ImportInput(path, s, in) != 0)
        return false;
    std::ofstream(deck) << in.deck_text;
    return true;
}

std::map<std::string, std::pair<double, double>> Rows(const RunOutput& out)
{
    std::map<std::string, std::pair<double, double>> rows;
    for (size_t i = 0; i < out.names.size(); ++i)
        rows[out.names[i]] = {out.cap[i], out.err[i]};
    return rows;
}

void SceneAgainstHandDeck(const RunOptions& opt)
{
    ImportedInput in;
    ImportSettings settings;
    settings.options.master = "victim";  // the net whose bounding box is clear of the others
    const std::string deck = "build/validation_scene.kd";
    if (!Import("validation/imports/scene.pex25d", settings, in, deck)) {
        ++failures;
        return;
    }
    RunOutput a, b;
    RunOptions other = opt;
    other.seed = opt.seed + 1;  // independent walks
    if (RunDeck(deck, opt, a) != 0 || RunDeck("validation/imports/scene_by_hand.kd", other, b) != 0) {
        ++failures;
        return;
    }
    auto ra = Rows(a), rb = Rows(b);
    for (const auto& row : rb) {
        const auto& x = ra[row.first];
        Report("scene vs hand deck: " + row.first, x.first, row.second.first,
               std::hypot(x.second, row.second.second), 0.0);
    }
}

struct PerLength {
    CapRow row;
    std::vector<std::string> wires;
};

bool RunPattern(const std::string& wires, const RunOptions& opt, PerLength& out)
{
    ImportSettings s;
    s.per_length = true;
    ImportedInput in;
    const std::string deck = "build/validation_pattern.kd";
    if (!Import(wires, s, in, deck))
        return false;
    RunOutput run;
    if (RunDeck(deck, opt, run) != 0)
        return false;
    out.row = FoldPerLength(CapRow{run.names, run.cap, run.err}, in.plan);
    out.wires = in.wires;
    printf("%s: %lld walks, %.1f s\n", wires.c_str(), run.walks, run.seconds);
    return true;
}

// The cross-section of a pattern: wires and planes as rectangles in (x, z),
// the master first, in a grounded box 1.5 um beyond the planes.
Fd2dProblem CrossSection(const std::string& wires_path, std::vector<std::string>& names)
{
    std::ifstream f(wires_path);
    RcxPattern p;
    std::vector<std::string> errors;
    ReadRcxWires(f, p, errors);
    Fd2dProblem fd;
    const double x0 = p.window[0] + p.ext[0], x1 = p.window[2] + p.ext[2];
    for (const RcxWire& w : p.wires)
        if (w.voltage == 1) {
            fd.conductors.push_back({w.x0, w.z0, w.x1, w.z1});
            names.push_back(w.name);
        }
    for (const RcxWire& w : p.wires)
        if (w.voltage != 1) {
            fd.conductors.push_back({w.x0, w.z0, w.x1, w.z1});
            names.push_back(w.name);
        }
    double zlo = 0, zhi = 0;
    for (const RcxPlane& g : p.planes) {
        fd.conductors.push_back({x0, g.z0, x1, g.z1});
        names.push_back(g.name);
        zlo = std::min(zlo, g.z0);
        zhi = std::max(zhi, g.z1);
    }
    fd.box = {x0 - 1.5, zlo - 1.5, x1 + 1.5, zhi + 1.5};
    fd.eps_r = p.bands.empty() ? 1.0 : p.bands[0].diel;
    return fd;
}

void Patterns(const std::string& dir, const RunOptions& opt, bool quick)
{
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                files.push_back(dir + "/" + e->d_name + "/wires");
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    if (files.size() < 2) {
        printf("no patterns under %s\n", dir.c_str());
        ++failures;
        return;
    }
    std::vector<std::string> names;
    Fd2dProblem fd = CrossSection(files[0], names);
    double change = 0;
    std::vector<double> ref = Fd2dExtrapolated(fd, quick ? 0.025 : 0.0125, change);
    printf("2-D reference: last extrapolation step %.3f%%\n", 100 * change);
    std::vector<PerLength> runs(files.size());
    for (size_t i = 0; i < files.size(); ++i)
        if (!RunPattern(files[i], opt, runs[i])) {
            ++failures;
            return;
        }
    const double slack = 0.005;  // the slit at the master's cuts, the finite planes
    for (size_t i = 0; i < files.size(); ++i) {
        const CapRow& r = runs[i].row;
        for (size_t k = 0; k < names.size(); ++k)
            for (size_t j = 0; j < r.names.size(); ++j)
                if (r.names[j] == names[k])
                    Report(files[i].substr(dir.size() + 1, files[i].size() - dir.size() - 7) + " vs 2-D: " +
                               names[k],
                           std::fabs(r.value[j]), std::fabs(ref[k]), r.error[j], slack);
    }
    const CapRow &a = runs.front().row, &b = runs.back().row;
    for (size_t j = 0; j < a.names.size(); ++j)
        Report("shortest vs longest pattern: " + a.names[j], std::fabs(a.value[j]), std::fabs(b.value[j]),
               std::hypot(a.error[j], b.error[j]), 0.0);
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--quick"))
            quick = true;
        else
            dir = argv[i];
    }
    if (dir.empty()) {
        fprintf(stderr, "usage: korva_validate_imports [--quick] PATTERN_DIR\n");
        return 2;
    }
    RunOptions opt;
    opt.mode = 'p';
    opt.rel_err = quick ? 0.01 : 0.002;
    opt.threads = 2;
    SceneAgainstHandDeck(opt);
    Patterns(dir, opt, quick);
    printf("\n%s\n", failures ? "FAILED" : "all agree");
    return failures ? 1 : 0;
}
