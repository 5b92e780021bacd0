static const char KORVA_SOURCE[] = "src/main";

#include "cmdline.h"
#include "log.h"
#include "parser.h"

#include <ctime>

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

// The extraction itself: from the deck lists to the printed capacitance row.
int RunExtraction(const RunSettings& settings, DeckLists& lists, const timespec& total_start)
{
    (void)settings;
    (void)total_start;
    (void)lists;
    DeleteDeckObjects();
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

    return RunExtraction(settings, lists, total_start);
}
