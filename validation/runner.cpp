#include "runner.h"

#include <time.h>

#include <algorithm>
#include <fstream>
#include <cctype>
#include <sstream>

#include "extraction.h"
#include "layers.h"
#include "log.h"
#include "parser.h"
#include "randomwalk.h"
#include "walkmgr.h"

double WallSeconds()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double ProcessCpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

std::string DeckWithMaster(const std::string& deck_path, const std::string& master,
                           const std::string& scratch_dir)
{
    std::ifstream in(deck_path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    // The name after the first "capacitance>" tag is the task's master.
    std::string lower = text;
    for (char& c : lower)
        c = (char)std::tolower((unsigned char)c);
    size_t at = lower.find("capacitance>");
    if (at != std::string::npos) {
        size_t begin = at + 12;
        while (begin < text.size() && std::isspace((unsigned char)text[begin]))
            ++begin;
        size_t end = begin;
        while (end < text.size() && (std::isalnum((unsigned char)text[end]) || text[end] == '_' || text[end] == ':'))
            ++end;
        text.replace(begin, end - begin, master);
    }
    std::string path = scratch_dir + "/master_" + master + ".kd";
    std::ofstream(path) << text;
    return path;
}

int RunDeck(const std::string& deck_path, const RunOptions& opt, RunOutput& out)
{
    DeckLists lists;
    if (LoadDeck(deck_path.c_str(), lists) != 0) {
        return 255;
    }
    lists.floating = opt.floating;
    std::sort(lists.floating.begin(), lists.floating.end());
    ExtractionSettings x;
    x.end_mode = opt.mode;
    x.target_walks = opt.walks;
    x.target_error = opt.rel_err;
    x.threads = opt.threads;
    x.seeded = opt.reproducible;
    x.seed = opt.fixed_seed ? (uint64_t)(uint32_t)opt.seed : WalkMgr::FreshSeed();
    x.console = false;
    MasterRow row;
    {
        // The deck's task names the master, which the parser gives id 0.
        Extraction extraction(lists);
        if (!extraction.Error().empty()) {
            fprintf(stderr, "%s: %s", deck_path.c_str(), extraction.Error().c_str());
            return 255;
        }
        row = extraction.Run(lists.names[0], x);
    }
    const bool ok = row.error.empty();
    if (!ok)
        fprintf(stderr, "%s: %s", deck_path.c_str(), row.error.c_str());
    // The row in the deck's order of conductors.
    out.names = lists.names;
    out.cap.assign(out.names.size(), 0.0);
    out.err.assign(out.names.size(), 0.0);
    for (size_t i = 0; ok && i < out.names.size(); ++i) {
        for (size_t j = 0; j < row.conductors.size(); ++j) {
            if (row.conductors[j] == out.names[i]) {
                out.cap[i] = row.cap[j];
                out.err[i] = row.err[j];
            }
        }
    }
    out.walks = row.walks;
    out.hops = row.hops;
    out.seconds = row.walk_seconds;
    out.cpu_seconds = row.walk_cpu_seconds;
    for (const MasterRow::Potential& p : row.floating_potentials)
        out.potentials.push_back({p.conductor, p.potential, p.error});
    return ok ? 0 : 255;
}
