static const char KORVA_SOURCE[] = "src/main";

#include "batch.h"
#include "cmdline.h"
#include "extraction.h"
#include "import.h"
#include "layers.h"
#include "log.h"
#include "outputs.h"
#include "parser.h"
#include "walkmgr.h"

#include <algorithm>
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

// The masters of this run: the deck's task, the --master names in the order
// given, or every conductor but the excluded ones. Empty after a message
// when a name is not a conductor of the deck.
bool ResolveMasters(const RunSettings& s, const std::vector<std::string>& conductors,
                    std::vector<std::string>& masters)
{
    auto known = [&conductors](const std::string& name) {
        if (std::binary_search(conductors.begin(), conductors.end(), name))
            return true;
        Log::perror("no conductor named %s in the deck\n", name.c_str());
        return false;
    };
    bool ok = true;
    for (const std::vector<std::string>* names : {&s.masters, &s.exclude, &s.ground})
        for (const std::string& name : *names)
            ok = known(name) && ok;
    if (!ok)
        return false;
    if (s.all_masters) {
        for (const std::string& name : conductors)
            if (std::find(s.exclude.begin(), s.exclude.end(), name) == s.exclude.end())
                masters.push_back(name);
    }
    for (const std::string& name : s.masters)
        if (std::find(masters.begin(), masters.end(), name) == masters.end())
            masters.push_back(name);
    if (s.masters.empty() && !s.all_masters)
        masters.push_back(master_name);
    if (masters.empty()) {
        Log::perror("no master conductor left to extract\n");
        return false;
    }
    return true;
}

// The report of one master, after its walks.
void PrintRow(const MasterRow& row, const timespec& total_start)
{
    WalkMgr::PrintOutputZone(row.conductors, row.cap, row.err);
    Log::output("Kernel of Random Walk used %.2lf seconds\n", row.walk_seconds);
    Log::output("[END of Korva]\n");
    Log::result("Master Cap. Result: cap %.3e F   Cost %.3f  s\n", row.cap[0],
                Elapsed(total_start, Now()));
}

// A calibration pattern's own result: per wire, and per micrometre of the
// master's middle with --per-length.
bool PatternReport(const RunSettings& settings, const ImportedInput& imported, const MasterRow& row)
{
    CapRow raw{row.conductors, row.cap, row.err};
    std::string report;
    std::string result = PatternResult(imported, raw, report);
    Log::output("%s", report.c_str());
    std::string error;
    if (!settings.pattern_out.empty() && !WriteFileAtomic(settings.pattern_out, result, error)) {
        Log::perror("%s\n", error.c_str());
        return false;
    }
    return true;
}

bool WriteOutputs(const RunSettings& s, uint64_t seed, const std::vector<std::string>& conductors,
                  const std::vector<MasterRow>& rows)
{
    bool ok = true;
    if (!s.json_path.empty())
        ok = WriteJson(s.json_path, s, seed, rows) && ok;
    if (!s.csv_path.empty())
        ok = WriteCsv(s.csv_path, rows) && ok;
    if (!s.spef_path.empty())
        ok = WriteSpef(s.spef_path, s, conductors, rows) && ok;
    return ok;
}

// The extraction itself: from the deck lists to the printed rows and the
// result files. Exit status 0, 75 when a target was not met, 255 when a
// master failed or a file could not be written.
int RunExtraction(const RunSettings& settings, DeckLists& lists, const timespec& total_start,
                  const ImportedInput& imported)
{
    ExtractionSettings x;
    x.end_mode = settings.end_mode;
    x.target_walks = settings.target_walks;
    x.target_error = settings.target_error;
    x.threads = settings.threads;
    x.seeded = settings.seeded;
    x.seed = settings.seeded ? settings.seed : WalkMgr::ClockSeed();
    x.time_limit = settings.time_limit;
    x.max_walks = settings.max_walks;

    Extraction extraction(lists, solver_space);
    std::vector<std::string> masters;
    if (!ResolveMasters(settings, extraction.Conductors(), masters)) {
        Layers::UnLoadData();
        DeleteDeckObjects();
        return 255;
    }
    Log::output(settings.seeded ? "Seed: %llu (reproducible walks)\n" : "Seed: %llu\n",
                (unsigned long long)x.seed);
    const bool several = settings.all_masters || !settings.masters.empty();
    std::vector<MasterRow> rows;
    bool failed = false, unmet = false;
    for (size_t k = 0; k < masters.size(); k++) {
        if (several)
            Log::output("[%d/%d] master %s\n", (int)k + 1, (int)masters.size(), masters[k].c_str());
        rows.push_back(extraction.Run(masters[k], x, (int)k));
        const MasterRow& row = rows.back();
        if (!row.error.empty()) {
            Log::perror("%s", row.error.c_str());
            failed = true;
            continue;
        }
        unmet = unmet || !row.converged;
        PrintRow(row, total_start);
        if (imported.pattern && k == 0 && !PatternReport(settings, imported, row))
            failed = true;
    }
    Layers::UnLoadData();
    DeleteDeckObjects();
    failed = !WriteOutputs(settings, x.seed, extraction.Conductors(), rows) || failed;
    Log::close();
    return failed ? 255 : unmet ? 75 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // The summary goes to standard output alone, without the banner.
    if (argc == 3 && std::string(argv[1]) == "--merge")
        return MergeResults(argv[2]);
    Log::open();
    timespec total_start = Now();
    PrintBanner();

    RunSettings settings;
    int status = ParseOptions(argc, argv, settings);
    if (status != OPTIONS_RUN)
        return status;
    if (!settings.batch_list.empty())
        return RunBatch(settings, argc, argv);
    if (settings.deck_path.empty()) {
        Log::perror("must have an input file!\n");
        ShowHelp();
        return 255;
    }

    ImportSettings import_settings;
    import_settings.options.floating_as_ground = settings.floating_as_ground;
    if (settings.masters.size() == 1)
        import_settings.options.master = settings.masters[0];
    import_settings.per_length = settings.per_length;
    import_settings.pattern_result = !settings.pattern_out.empty();
    import_settings.process_path = settings.process_path;
    ImportedInput imported;
    if (ImportInput(settings.deck_path, import_settings, imported) != 0)
        return 255;
    for (const std::string& note : imported.notes)
        Log::output("Note: %s\n", note.c_str());
    if (!settings.convert_out.empty()) {
        std::string error;
        if (imported.kind == InputKind::DECK) {
            Log::perror("%s is already a Korva deck\n", settings.deck_path.c_str());
            return 255;
        }
        if (!WriteFileAtomic(settings.convert_out, imported.deck_text, error)) {
            Log::perror("%s\n", error.c_str());
            return 255;
        }
        Log::output("Wrote %s\n", settings.convert_out.c_str());
        return 0;
    }
    if (imported.kind != InputKind::DECK && settings.masters.size() == 1) {
        // The reader made that conductor the task's master, under its deck name.
        settings.masters.clear();
    }
    if (imported.pattern && (settings.all_masters || !settings.masters.empty())) {
        Log::perror("a calibration pattern extracts one wire: name it with a single --master\n");
        return 255;
    }

    Log::pinfo("[Preparing Random Walk Program]\n");
    Log::pinfo("Parsing input file...\n");
    timespec parse_start = Now();
    DeckLists lists;
    const bool need_task = settings.masters.empty() && !settings.all_masters;
    status = imported.kind == InputKind::DECK
                 ? LoadDeck(settings.deck_path.c_str(), lists, need_task)
                 : LoadDeckText(imported.deck_text, lists, need_task);
    if (status != 0) {
        DeleteDeckObjects();
        return status;
    }
    Log::pinfo("Parse the input file used %.2f seconds\n", Elapsed(parse_start, Now()));

    return RunExtraction(settings, lists, total_start, imported);
}
