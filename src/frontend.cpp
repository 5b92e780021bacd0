#include "frontend.h"

#include <algorithm>

#include "log.h"
#include "outputs.h"
#include "parser.h"
#include "walkmgr.h"

void PrintBanner()
{
    Log::output("/********************************************************\n");
    Log::output("* Korva --floating Random Walk based Capacitance solver *\n");
    Log::output("*    for parasitic extraction of VLSI interconnects     *\n");
    Log::output("*                 Korva Version 2012.08                 *\n");
    Log::output("********************************************************/\n");
}

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
    const int status = WriteTextFile(s.picture_path, DrawPicture(SceneOfDeck(lists, *solver_space)));
    return status != 0 || s.report_path.empty() ? status : -1;
}

void RunDrawing::Take(const RunSettings& s, const WalkMgr& mgr, const DeckLists& lists,
                      const MasterRow& row, const Cuboid& deck_window)
{
    if (s.report_path.empty() || scene.has_gauss)
        return;
    DeckLists drawn = lists;
    drawn.names = row.conductors;
    scene = SceneOfRun(mgr, drawn, deck_window);
    history = mgr.history.Snapshot();
}

bool WriteOutputs(const RunSettings& s, uint64_t seed, const std::vector<std::string>& conductors,
                  const std::vector<MasterRow>& rows, const RunDrawing& drawing)
{
    bool ok = true;
    if (!s.json_path.empty())
        ok = WriteJson(s.json_path, s, seed, rows) && ok;
    if (!s.csv_path.empty())
        ok = WriteCsv(s.csv_path, rows) && ok;
    if (!s.spef_path.empty())
        ok = WriteSpef(s.spef_path, s, conductors, rows) && ok;
    if (!s.report_path.empty()) {
        RunRecord record = RecordOfRows(s, seed, conductors, rows, drawing.history);
        record.picture_svg = drawing.scene.has_gauss ? DrawPicture(drawing.scene) : std::string();
        ok = WriteTextFile(s.report_path, RenderReport(record)) == 0 && ok;
    }
    return ok;
}
