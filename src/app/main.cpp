static const char KORVA_SOURCE[] = "src/main";

#include "batch.h"
#include "cmdline.h"
#include "datapaths.h"
#include "extraction.h"
#include "frontend.h"
#include "import.h"
#include "layers.h"
#include "log.h"
#include "outputfile.h"
#include "outputs.h"
#include "parser.h"
#include "shardmerge.h"
#include "walkmgr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <csignal>
#include <ctime>
#include <exception>
#include <vector>

namespace {

// A calibration pattern's own result: per wire, and per micrometre of the
// master's middle with --per-length.
bool PatternReport(const RunSettings& settings, const ImportedInput& imported, const MasterRow& row)
{
    CapRow raw{row.conductors, row.cap, row.err};
    std::string report;
    std::string result = PatternResult(imported, raw, report);
    Log::output("%s", report.c_str());
    std::string error;
    if (!settings.pattern_out.empty() && !OutputFile::Write(settings.pattern_out, result, error)) {
        Log::perror("%s\n", error.c_str());
        return false;
    }
    if (settings.rcx_out.empty())
        return true;
    std::string rcx_row;
    if (!RcxResult(imported, raw, rcx_row, error)) {
        Log::perror("%s: --rcx-result: %s\n", settings.deck_path.c_str(), error.c_str());
        return false;
    }
    Log::output("\n[Rule-table row, fF]:\n%s", rcx_row.c_str());
    if (!OutputFile::Write(settings.rcx_out, rcx_row, error)) {
        Log::perror("%s\n", error.c_str());
        return false;
    }
    return true;
}

// The extraction itself: from the deck lists to the printed rows and the
// result files. Exit status 0, 75 when a target was not met, 255 when a
// master failed or a file could not be written.
int RunExtraction(const RunSettings& settings, DeckLists& lists, const timespec& total_start,
                  const ImportedInput& imported, uint64_t deck_digest)
{
    ExtractionSettings x =
        ExtractionOf(settings, settings.seeded, settings.seeded ? settings.seed : WalkMgr::FreshSeed());

    const Cuboid deck_window = *lists.window;  // preparation enlarges it in place
    Extraction extraction(lists);
    if (!extraction.Error().empty()) {
        Log::perror("%s", extraction.Error().c_str());
        return 255;
    }
    std::vector<std::string> masters;
    if (!ResolveMasters(settings, extraction.Conductors(), lists.master, masters, extraction.Floating()))
        return 255;
    // A master the row cannot describe is refused before its walks.
    if (imported.rcx_rows && !masters.empty()) {
        const std::string why = RcxRowWireProblem(imported.rcx_name, masters[0]);
        if (!why.empty()) {
            Log::perror("%s: --rcx-result: %s\n", settings.deck_path.c_str(), why.c_str());
            return 255;
        }
    }
    Log::output(settings.seeded ? "Seed: %llu (reproducible walks)\n" : "Seed: %llu\n",
                (unsigned long long)x.seed);
    RunRecord run = RecordOfRun(settings, x.seed, extraction.Conductors());
    run.netlist = imported.netlist;
    run.floating = extraction.Floating();
    run.brief_console = settings.progress || masters.size() > BRIEF_CONSOLE_MASTERS;
    x.console = !run.brief_console;
    if (masters.size() > 1) {
        char digest[20];
        snprintf(digest, sizeof digest, "%016llx", (unsigned long long)deck_digest);
        run.resume_key = NumberOptions(settings) + " deck " + digest;
    }
    return RunMasters(
        run, masters, extraction, lists, deck_window, total_start,
        [&](size_t k, MasterRow& row) {
            row = extraction.Run(masters[k], x, (int)k);
            if (!row.error.empty())
                Log::perror("%s", row.error.c_str());
            return row.fatal ? Obtained::END : Obtained::ROW;
        },
        [&](size_t k, const MasterRow& row) {
            return !imported.pattern || k != 0 || PatternReport(settings, imported, row);
        });
}

}  // namespace

static int Main(int argc, char** argv)
{
    // A report nobody can read is no result: end at once, from any thread.
    Log::unwritable = [] { _exit(255); };
    // The summary goes to standard output alone, without the banner.
    if (argc >= 3 && std::string(argv[1]) == "--merge") {
        struct stat st;
        if (argc == 3 && (stat(argv[2], &st) != 0 || S_ISDIR(st.st_mode)))
            return MergeResults(argv[2]);
        return MergeShards(std::vector<std::string>(argv + 2, argv + argc));
    }
    Log::open();
    // Asked alone, the version and the usage come without the banner.
    if (argc == 2 && std::string(argv[1]) == "--version")
        return ShowVersion();
    if (argc == 2 && std::string(argv[1]) == "--help") {
        ShowHelp();
        return 0;
    }
    timespec total_start = Now();
    PrintBanner();

    RunSettings settings;
    int status = ParseOptions(argc, argv, settings);
    if (status != OPTIONS_RUN)
        return status;
    // Laws a run makes are kept for the next; the folder is bounded.
    const TrimLawsAtEnd trim{settings};
    if (!settings.batch_list.empty())
        return RunBatch(settings, argc, argv);
    if (settings.deck_path.empty()) {
        Log::perror("must have an input file!\n");
        ShowHelp();
        return 255;
    }

    ImportedInput imported;
    DeckLists lists;
    uint64_t deck_digest = 0;
    status = LoadRunInput(settings, imported, lists, &deck_digest);
    if (status >= 0)
        return status;

    status = DrawDeckFirst(settings, lists);
    if (status >= 0) {
            return status;
    }

    return RunExtraction(settings, lists, total_start, imported, deck_digest);
}

int main(int argc, char** argv)
{
    // A file-size limit makes a write fail with a message naming the file
    // rather than end the process half way through it.
    signal(SIGXFSZ, SIG_IGN);
    // Whatever escapes is a fault of the program, and still no crash: the
    // message, and the status of every failed run.
    try {
        return Main(argc, argv);
    } catch (const InputError& e) {
        Log::perror("%s", e.message.c_str());
        return e.status;
    } catch (const std::exception& e) {
        Log::perror("internal error: %s\n", e.what());
    } catch (...) {
        Log::perror("internal error\n");
    }
    return 255;
}
