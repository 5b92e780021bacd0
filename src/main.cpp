static const char KORVA_SOURCE[] = "src/main";

#include "cmdline.h"
#include "drawings.h"
#include "layers.h"
#include "log.h"
#include "parser.h"
#include "walkmgr.h"

#include <ctime>
#include <vector>

namespace {

timespec Now()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

double Elapsed(const timespec& from, const timespec& to)
{
    long double s = (long double)(to.tv_sec - from.tv_sec) +
                    (long double)(to.tv_nsec - from.tv_nsec) / 1e9L;
    return (double)s;
}

void PrintBanner()
{
    Log::output("/********************************************************\n");
    Log::output("* Korva --floating Random Walk based Capacitance solver *\n");
    Log::output("*    for parasitic extraction of VLSI interconnects     *\n");
    Log::output("*                 Korva Version 2012.08                 *\n");
    Log::output("********************************************************/\n");
}

// The driver's result stores for n conductors (slot n: walks that left the
// window). The 17-stratum tables stay without arrays: that variant never runs.
// A stratum's rows of weights and of squared weights lie side by side, so
// that adding a walk touches few cache lines while the other worker waits.
struct ResultStores {
    std::vector<double> cap, cap2, err;
    std::vector<double> is_rows;
    double* is_sum[12];
    double* is_sum2[12];
    std::vector<long long> is_count;
    double* ss_sum[17] = {};
    double* ss_sum2[17] = {};
    std::vector<long long> ss_count;

    explicit ResultStores(size_t n)
        : cap(n + 1), cap2(n + 1), err(n + 1), is_rows(24 * (n + 1)), is_count(12), ss_count(17)
    {
        for (int k = 0; k < 12; k++) {
            is_sum[k] = &is_rows[(2 * k) * (n + 1)];
            is_sum2[k] = &is_rows[(2 * k + 1) * (n + 1)];
        }
    }
};

// The extraction itself: from the deck lists to the printed capacitance row.
int RunExtraction(const RunSettings& settings, DeckLists& lists, const timespec& total_start)
{
    const int GAUSS_SELECT = 1, WEIGHT_SELECT = 4;
    timespec prep_start = Now();
    ResultStores r(lists.names.size());
    const Cuboid deck_window = *solver_space;  // preparation enlarges it in place
    WalkMgr mgr;
    mgr.names = lists.names;
    mgr.Prepare(settings.end_mode, lists.cuboids, lists.media, settings.target_walks,
                settings.target_error, r.cap, r.cap2, r.err, r.ss_sum, r.ss_sum2, r.ss_count,
                r.is_sum, r.is_sum2, r.is_count, settings.threads, GAUSS_SELECT, WEIGHT_SELECT,
                solver_space);
    Scene scene;
    if (!settings.report_path.empty())
        scene = SceneOfRun(mgr, lists, deck_window);
    Log::output("Preparation of Korva used %.2f seconds\n", Elapsed(prep_start, Now()));
    Log::output("\t\tRandom Walk Begins\n\n");

    timespec kernel_start = Now();
    mgr.StartAll(settings.threads);
    mgr.WaitEnd();
    timespec kernel_end = Now();

    Layers::UnLoadData();
    DeleteDeckObjects();
    WalkMgr::PrintOutputZone(lists.names, r.cap, r.err);
    Log::output("Kernel of Random Walk used %.2lf seconds\n", Elapsed(kernel_start, kernel_end));
    Log::output("[END of Korva]\n");
    Log::result("Master Cap. Result: cap %.3e F   Cost %.3f  s\n", r.cap[0],
                Elapsed(total_start, Now()));
    if (!settings.report_path.empty()) {
        RunRecord record = RecordOfRun(settings, mgr, lists.names, r.cap, r.err,
                                       Elapsed(kernel_start, kernel_end));
        record.picture_svg = DrawPicture(scene);
        if (WriteTextFile(settings.report_path, RenderReport(record)) != 0)
            return 255;
    }
    Log::close();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Log::open();
    timespec total_start = Now();
    PrintBanner();

    RunSettings settings;
    int status = ParseOptions(argc, argv, settings);
    if (status != OPTIONS_RUN)
        return status;
    if (settings.deck_path.empty()) {
        Log::perror("must have an input file!\n");
        ShowHelp();
        return 255;
    }

    Log::pinfo("[Preparing Random Walk Program]\n");
    Log::pinfo("Parsing input file...\n");
    timespec parse_start = Now();
    DeckLists lists;
    status = LoadDeck(settings.deck_path.c_str(), lists);
    if (status != 0) {
        DeleteDeckObjects();
        return status;
    }
    Log::pinfo("Parse the input file used %.2f seconds\n", Elapsed(parse_start, Now()));

    if (!settings.picture_path.empty()) {
        status = WriteTextFile(settings.picture_path, DrawPicture(SceneOfDeck(lists, *solver_space)));
        if (status != 0 || settings.report_path.empty()) {
            DeleteDeckObjects();
            return status;
        }
    }

    return RunExtraction(settings, lists, total_start);
}
