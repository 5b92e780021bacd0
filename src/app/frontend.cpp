#include "frontend.h"

#include <algorithm>
#include <cmath>

#include <fnmatch.h>

#include "digest.h"
#include "textsafe.h"
#include "drawings.h"
#include "lawcache.h"
#include "layers.h"
#include "log.h"
#include "outputfile.h"
#include "outputs.h"
#include "partialrows.h"
#include "parser.h"
#include "runreport.h"
#include "scene.h"
#include "walkmgr.h"

void PrintBanner()
{
    Log::output("/********************************************************\n");
    Log::output("* Korva --floating Random Walk based Capacitance solver *\n");
    Log::output("*    for parasitic extraction of VLSI interconnects     *\n");
    Log::output("*                 Korva Version 2012.08                 *\n");
    Log::output("********************************************************/\n");
}

void TrimKeptLaws(uint64_t limit_mb)
{
    if (limit_mb == 0)
        return;
    const LawCacheTrim t = TrimLawCache(LawCacheFolder(), limit_mb << 20);
    if (t.removed_files > 0)
        Log::output("Kept exit laws: removed the %llu least recently used of %llu (%.1f MB) to stay within %llu MB\n",
                    (unsigned long long)t.removed_files, (unsigned long long)t.files, t.removed_bytes / 1048576.0,
                    (unsigned long long)limit_mb);
}

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

namespace {

// Every file the run is to write, checked before the input is read: a typo
// in a folder name costs a message, not the results of a long run.
bool OutputsWritable(const RunSettings& s)
{
    bool ok = true;
    for (const std::string* path : {&s.convert_out, &s.pattern_out, &s.rcx_out, &s.picture_path, &s.json_path,
                                     &s.csv_path, &s.spef_path, &s.report_path}) {
        std::string error;
        if (!path->empty() && !OutputFile::Check(*path, error)) {
            Log::perror("%s\n", error.c_str());
            ok = false;
        }
    }
    return ok;
}

// Writes what `render` makes to `path`; no failure, in the making or the
// writing, goes further than a message naming the file.
template <class Render>
bool WriteRendered(const std::string& path, Render render)
{
    std::string error;
    try {
        if (OutputFile::Write(path, render(), error))
            return true;
    } catch (const std::exception& e) {
        error = "cannot write the output file " + path + ": " + e.what();
    }
    Log::perror("%s\n", error.c_str());
    return false;
}

// --spef-pins: each net it names is a conductor of the run, by the deck's
// name or the input's, and takes the file's pins in place of the input's.
int PinsOfNets(const std::string& path, const std::vector<std::string>& conductors,
               std::map<std::string, NetPins>& netlist)
{
    std::map<std::string, NetPins> given;
    if (path.empty())
        return -1;
    if (ReadSpefPins(path, given) != 0)
        return 255;
    int status = -1;
    for (const auto& net : given) {
        std::string conductor;
        if (std::find(conductors.begin(), conductors.end(), net.first) != conductors.end())
            conductor = net.first;
        for (const auto& known : netlist)
            if (conductor.empty() && known.second.net == net.first)
                conductor = known.first;
        if (conductor.empty()) {
            Log::perror("%s: no conductor of the run is named %s\n", path.c_str(), net.first.c_str());
            status = 255;
            continue;
        }
        NetPins& p = netlist[conductor];
        if (p.net.empty())
            p.net = conductor;
        p.pins = net.second.pins;
    }
    return status;
}

}  // namespace

int LoadRunInput(RunSettings& s, ImportedInput& imported, DeckLists& lists, uint64_t* digest)
{
    if (!OutputsWritable(s))
        return 255;
    ImportSettings import_settings;
    import_settings.options.floating_as_ground = s.floating_as_ground;
    import_settings.options.domain_margin = s.domain_margin;
    if (s.masters.size() == 1)
        import_settings.options.master = s.masters[0];
    import_settings.per_length = s.per_length;
    import_settings.pattern_result = !s.pattern_out.empty();
    import_settings.rcx_result = !s.rcx_out.empty();
    import_settings.process_path = s.process_path;
    if (ImportInput(s.deck_path, import_settings, imported) != 0)
        return 255;
    for (const std::string& note : imported.notes)
        Log::output("Note: %s\n", note.c_str());
    if (!s.convert_out.empty()) {
        std::string error;
        if (imported.kind == InputKind::DECK) {
            Log::perror("%s is already a Korva deck\n", s.deck_path.c_str());
            return 255;
        }
        if (!OutputFile::Write(s.convert_out, imported.deck_text, error)) {
            Log::perror("%s\n", error.c_str());
            return 255;
        }
        Log::output("Wrote %s\n", s.convert_out.c_str());
        return 0;
    }
    if (imported.kind != InputKind::DECK && s.masters.size() == 1) {
        // The reader made that conductor the task's master, under its deck name.
        s.masters.clear();
    }
    if (imported.pattern && (s.all_masters || !s.masters.empty())) {
        Log::perror("a calibration pattern extracts one wire: name it with a single --master\n");
        return 255;
    }

    Log::pinfo("[Preparing Random Walk Program]\n");
    Log::pinfo("Parsing input file...\n");
    timespec parse_start = Now();
    const bool need_task = s.masters.empty() && !s.all_masters;
    const int status = imported.kind == InputKind::DECK
                           ? LoadDeck(s.deck_path.c_str(), lists, need_task, digest)
                           : LoadDeckText(imported.deck_text, lists, need_task);
    if (digest && imported.kind != InputKind::DECK) {
        // The reader's deck, and which of its conductors are a pattern's wires.
        uint64_t h = DigestBytes(imported.deck_text.data(), imported.deck_text.size());
        for (const std::string& wire : imported.wires)
            h = DigestBytes(wire.c_str(), wire.size() + 1, h);
        *digest = h;
    }
    if (status != 0)
        return status;
    if (!ResolveFloating(s, imported, lists))
        return 255;
    lists.open_window = s.open_window;
    Log::pinfo("Parse the input file used %.2f seconds\n", Elapsed(parse_start, Now()));
    return PinsOfNets(s.spef_pins, lists.names, imported.netlist);
}


bool ResolveFloating(const RunSettings& s, const ImportedInput& imported, DeckLists& lists)
{
    std::vector<std::string>& out = lists.floating;
    out = imported.floating;
    bool ok = true;
    for (const std::string& pattern : s.floating) {
        bool matched = false;
        for (const std::string& name : lists.names)
            if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) {
                out.push_back(name);
                matched = true;
            }
        if (!matched) {
            Log::perror("--floating %s matches no conductor of %s\n", TextSafe::ValidUtf8(pattern).c_str(),
                        TextSafe::ValidUtf8(s.deck_path).c_str());
            ok = false;
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return ok;
}

bool ResolveMasters(const RunSettings& s, const std::vector<std::string>& conductors,
                    const std::string& task_master,
                    std::vector<std::string>& masters,
                    const std::vector<std::string>& floating)
{
    auto floats = [&floating](const std::string& name) {
        return std::binary_search(floating.begin(), floating.end(), name);
    };
    auto known = [&conductors, &floats](const std::string& name) {
        if (std::binary_search(conductors.begin(), conductors.end(), name) || floats(name))
            return true;
        Log::perror("no conductor named %s in the deck%s\n", name.c_str(), NearestNames(name, conductors).c_str());
        return false;
    };
    bool ok = true;
    // A name given twice is a list gone wrong (a master list of another
    // layout, a script that joined two), not a wish for two rows.
    std::vector<std::string> given = s.masters;
    std::sort(given.begin(), given.end());
    for (size_t i = 1; i < given.size(); i++)
        if (given[i] == given[i - 1] && (i == 1 || given[i] != given[i - 2])) {
            Log::perror("--master names %s more than once\n", TextSafe::ValidUtf8(given[i]).c_str());
            ok = false;
        }
    if (given.size() > conductors.size()) {
        Log::perror("--master names %zu conductors; the deck has %zu at a fixed potential\n", given.size(),
                    conductors.size());
        ok = false;
    }
    for (const std::vector<std::string>* names : {&s.masters, &s.exclude, &s.ground})
        for (const std::string& name : *names)
            ok = known(name) && ok;
    if (!ok)
        return false;
    std::vector<std::string> asked = s.masters;
    if (s.masters.empty() && !s.all_masters)
        asked.push_back(task_master);
    for (const std::string& name : asked)
        if (floats(name)) {
            Log::perror("conductor %s floats: it holds no charge at a potential of its own, so it has no row "
                        "of the capacitance matrix; name a conductor at a fixed potential as the master\n",
                        name.c_str());
            ok = false;
        }
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
        masters.push_back(task_master);
    if (s.master_shard_n > 1) {
        std::vector<std::string> part;
        for (size_t k = (size_t)s.master_shard_k; k < masters.size(); k += (size_t)s.master_shard_n)
            part.push_back(masters[k]);
        masters.swap(part);
    }
    if (masters.empty()) {
        Log::perror("no master conductor left to extract\n");
        return false;
    }
    return true;
}

void PrintRow(const MasterRow& row, double total_seconds)
{
    WalkMgr::PrintOutputZone(row.conductors, row.cap, row.err);
    Log::output("Kernel of Random Walk used %.2lf seconds\n", row.walk_seconds);
    Log::output("[END of Korva]\n");
    Log::result("Master Cap. Result: cap %.3e F   Cost %.3f  s\n", row.cap[0],
                total_seconds);
}

int DrawDeckFirst(const RunSettings& s, const DeckLists& lists)
{
    if (s.picture_path.empty())
        return -1;
    if (!WriteRendered(s.picture_path, [&] { return DrawPicture(SceneOfDeck(lists, *lists.window)); }))
        return 255;
    return s.report_path.empty() ? 0 : -1;
}

ExtractionSettings ExtractionOf(const RunSettings& s, bool seeded, uint64_t seed)
{
    ExtractionSettings x;
    x.end_mode = s.end_mode;
    x.target_walks = s.target_walks;
    x.target_error = s.target_error;
    x.threads = s.threads;
    x.seeded = seeded;
    x.seed = seed;
    x.time_limit = s.time_limit;
    x.max_walks = s.max_walks;
    x.coupling_error = s.coupling_error;
    x.coupling_min = s.coupling_min;
    return x;
}

RunRecord RecordOfRun(const RunSettings& s, uint64_t seed, const std::vector<std::string>& conductors)
{
    RunRecord r;
    r.version = KORVA_VERSION;
    r.deck = s.deck_path;
    r.end_mode = s.end_mode;
    r.target_walks = s.target_walks;
    r.target_error = s.target_error;
    r.threads = s.threads;
    r.seeded = s.seeded;
    r.seed = seed;
    r.masters = s.masters;
    r.all_masters = s.all_masters;
    r.exclude = s.exclude;
    r.ground = s.ground;
    r.time_limit = s.time_limit;
    r.max_walks = s.max_walks;
    r.per_length = s.per_length;
    r.floating_as_ground = s.floating_as_ground;
    r.process = s.process_path;
    r.coupling_floor = s.coupling_floor;
    r.brief_console = s.progress;
    r.master_shard_k = s.master_shard_k;
    r.master_shard_n = s.master_shard_n;
    r.json_path = s.json_path;
    r.csv_path = s.csv_path;
    r.spef_path = s.spef_path;
    r.report_path = s.report_path;
    r.conductors = conductors;
    return r;
}

namespace {

// A run of many masters: the line of a finished one.
void PrintBrief(size_t k, size_t n, const MasterRow& row, bool resumed)
{
    if (!row.error.empty()) {
        Log::output("[%zu/%zu] %s: failed\n", k + 1, n, TextSafe::ValidUtf8(row.master).c_str());
        return;
    }
    Log::output("[%zu/%zu] %s: %.6e F, relative error %.2e, %lld walks, %.2f s%s%s\n", k + 1, n,
                TextSafe::ValidUtf8(row.master).c_str(), row.cap.empty() ? NAN : row.cap[0], row.reached_error,
                row.walks, row.walk_seconds, row.converged ? "" : ", target not met",
                resumed ? ", resumed" : "");
}

// The progress of a run of many masters: from the masters walked in this
// run, the time the rest will take.
struct Progress {
    timespec start = Now(), shown = start;
    size_t walked = 0, finished = 0;
    long long walks = 0;
    void Show(size_t n, bool last)
    {
        const timespec now = Now();
        if (!last && Elapsed(shown, now) < 10.0)
            return;
        shown = now;
        const double spent = Elapsed(start, now);
        const double left = walked ? spent / walked * (double)(n - finished) : 0.0;
        Log::output("Progress: %zu of %zu masters, %lld walks, %.0f s%s", finished, n, walks, spent,
                    last ? "\n" : "");
        if (!last)
            Log::output(", about %.0f s left\n", left);
    }
};

// The --report page, written whole once the run ends.
bool WriteReport(const RunRecord& run, const DeckView& scene)
{
    if (run.report_path.empty())
        return true;
    return WriteRendered(run.report_path,
                         [&] { return RenderReport(run, scene.has_gauss ? DrawPicture(scene) : std::string()); });
}

}  // namespace

int RunMasters(RunRecord& run, const std::vector<std::string>& masters, const Extraction& ex,
               const DeckLists& lists, const Cuboid& deck_window, const timespec& start,
               const ObtainRow& obtain, const AfterRow& after)
{
    // The report draws the scene around the first master reported, with the
    // ids of its blocks following that master's row.
    DeckView scene;
    bool failed = false, unmet = false;
    if (!run.floating.empty()) {
        std::string names;
        for (const std::string& name : run.floating)
            names += " " + TextSafe::ValidUtf8(name);
        Log::output("Floating (charge-neutral, eliminated from every row): %d conductor%s:%s\n",
                    (int)run.floating.size(), run.floating.size() == 1 ? "" : "s", names.c_str());
    }
    // The files take each row as it finishes; the rows kept for the report
    // and the pairs hold only the entries some walk reached.
    ResultStreams files(run);
    OutputFile::RemoveTemporariesOnStop();
    PartialRows partial;
    std::map<std::string, MasterRow> done;
    const std::string partial_path = PartialRows::PathFor(run);
    std::string error;
    if (!partial_path.empty() && !partial.Open(partial_path, run.resume_key, done, error)) {
        Log::perror("%s\n", error.c_str());
        return 255;
    }
    if (!files.Begin())
        return 255;
    if (!done.empty())
        Log::output("Resuming: %d of %d masters finished in %s\n", (int)done.size(), (int)masters.size(),
                    partial_path.c_str());
    const bool brief = run.brief_console || masters.size() > BRIEF_CONSOLE_MASTERS;
    Progress progress;
    for (size_t k = 0; k < masters.size(); k++) {
        if (run.Chosen() && !brief)
            Log::output("[%d/%d] master %s\n", (int)k + 1, (int)masters.size(), masters[k].c_str());
        MasterRow row;
        row.master = masters[k];
        auto resumed = done.find(masters[k]);
        const bool from_file = resumed != done.end();
        if (from_file) {
            row = std::move(resumed->second);
            done.erase(resumed);
        } else {
            const Obtained got = obtain(k, row);
            if (got == Obtained::END)
                return 255;
            if (got == Obtained::ELSEWHERE)
                continue;
        }
        if (brief) {
            PrintBrief(k, masters.size(), row, from_file);
            progress.finished++;
            progress.walks += row.walks;
            progress.walked += from_file ? 0 : 1;
            progress.Show(masters.size(), false);
        }
        if (!row.error.empty()) {
            failed = true;
            if (!files.Add(row))
                return 255;
            run.rows.push_back(row);
            continue;
        }
        unmet = unmet || !row.converged;
        if (!brief)
            PrintRow(row, Elapsed(start, Now()));
        if (!run.report_path.empty() && !scene.has_gauss && !from_file) {
            DeckLists drawn = lists;
            drawn.names = row.conductors;
            scene = SceneOfRun(ex.GaussianBoxes(), ex.StackFaces(), drawn, deck_window);
            run.history = ex.History();
        }
        if (after && !after(k, row))
            failed = true;
        Compact(row);
        if (!files.Add(row) || (!from_file && !partial.Add(row, error))) {
            if (!error.empty())
                Log::perror("%s\n", error.c_str());
            return 255;
        }
        run.rows.push_back(std::move(row));
    }
    if (brief)
        progress.Show(masters.size(), true);
    run.seconds = Elapsed(start, Now());
    const bool written = files.Finish();
    failed = !WriteReport(run, scene) || !written || failed;
    if (written)
        partial.Remove();
    Log::close();
    return failed ? 255 : unmet ? 75 : 0;
}
