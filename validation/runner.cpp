#include "runner.h"

#include <time.h>

#include <fstream>
#include <cctype>
#include <sstream>

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
    const size_t n = lists.names.size();
    std::vector<double> cap(n + 1, 0.0), cap2(n + 1, 0.0), err(n + 1, 0.0);
    // Laid out like the driver's stores: a stratum's two rows side by side.
    std::vector<double> is_store(24 * (n + 1), 0.0);
    double* is_sum[12];
    double* is_sum2[12];
    for (int k = 0; k < 12; ++k) {
        is_sum[k] = &is_store[(2 * k) * (n + 1)];
        is_sum2[k] = &is_store[(2 * k + 1) * (n + 1)];
    }
    double* ss_sum[17] = {};
    double* ss_sum2[17] = {};
    std::vector<long long> is_count(12, 0), ss_count(17, 0);

    {
        WalkMgr mgr;
        mgr.fixed_seed = opt.fixed_seed;
        mgr.seed_base = (uint32_t)opt.seed;
        mgr.chunked = opt.reproducible;
        mgr.run_seed = (uint64_t)opt.seed;
        mgr.master_key = MasterKey(lists.names[0]);
        mgr.names = lists.names;
        mgr.BindRun(opt.mode, opt.walks, opt.rel_err, cap, cap2, err, ss_sum, ss_sum2, ss_count, is_sum,
                    is_sum2, is_count);
        std::string error;
        try {
            mgr.PrepareShared(lists.cuboids, lists.media, 1, 4, lists.window);
            if (!mgr.PrepareMaster(error))
                throw InputError{error};
        } catch (const InputError& e) {
            Log::perror("%s", e.message.c_str());
            return 255;
        }
        double t0 = WallSeconds(), c0 = ProcessCpuSeconds();
        mgr.StartAll(opt.threads);
        mgr.WaitEnd();
        out.seconds = WallSeconds() - t0;
        out.cpu_seconds = ProcessCpuSeconds() - c0;
        out.walks = mgr.walk_count;
        out.hops = mgr.total_hops;
    }
    out.names = lists.names;
    out.cap.assign(cap.begin(), cap.begin() + n);
    out.err.assign(err.begin(), err.begin() + n);
    return 0;
}
