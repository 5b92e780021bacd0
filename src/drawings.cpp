#include "drawings.h"

#include "layers.h"
#include "spacemanager.h"
#include "walkmgr.h"

#include <algorithm>
#include <cstdio>

namespace {

std::vector<SceneLayer> StackLayers(const std::vector<Layer>& st)
{
    // Entry i is the upper face of the slab that starts at entry i - 1;
    // entry 0 only closes the stack from below.
    std::vector<SceneLayer> out;
    for (size_t i = 1; i < st.size(); i++)
        out.push_back(SceneLayer{st[i - 1].pos, st[i].pos, st[i].diel});
    return out;
}

DeckView Common(const DeckLists& lists, const Cuboid& window)
{
    DeckView s;
    s.names = lists.names;
    s.blocks.reserve(lists.cuboids.size());
    for (const Cuboid* c : lists.cuboids)
        s.blocks.push_back(*c);
    s.window = window;
    s.enlarged = window;
    Spacemanager::EnlargeWindow(lists.cuboids, s.enlarged);
    return s;
}

}  // namespace

DeckView SceneOfRun(const WalkMgr& mgr, const DeckLists& lists, const Cuboid& window)
{
    DeckView s = Common(lists, window);
    s.layers = StackLayers(mgr.tables.layers);
    s.gauss = mgr.gauss_surface;
    s.has_gauss = true;
    return s;
}

DeckView SceneOfDeck(const DeckLists& lists, const Cuboid& window)
{
    DeckView s = Common(lists, window);
    if (lists.cuboids.empty())
        return s;
    WalkMgr mgr;
    mgr.cuboids = lists.cuboids;
    mgr.mediums = lists.media;
    mgr.SetMasterBox();
    mgr.layers = new Layers(mgr.tables, lists.media);
    s.layers = StackLayers(mgr.tables.layers);
    const Cuboid& e = s.enlarged;
    s.gauss = mgr.GetGauss(Vector3(e.x0, e.y0, e.z0), Vector3(e.x1, e.y1, e.z1));
    s.has_gauss = true;
    return s;
}

RunRecord RecordOfRows(const RunSettings& settings, uint64_t seed,
                       const std::vector<std::string>& conductors,
                       const std::vector<MasterRow>& rows,
                       const std::vector<ConvergencePoint>& history)
{
    RunRecord r;
    r.title = "Korva run: " + settings.deck_path;
    char buf[96];
    r.settings.push_back({"deck", settings.deck_path});
    if (settings.end_mode == 'p')
        snprintf(buf, sizeof buf, "relative error of the master below %g", settings.target_error);
    else
        snprintf(buf, sizeof buf, "%lld walks", (long long)settings.target_walks);
    r.settings.push_back({"stopping rule", buf});
    r.settings.push_back({"threads", std::to_string(settings.threads)});
    r.settings.push_back({"masters", std::to_string(rows.size())});
    snprintf(buf, sizeof buf, "%llu (%s)", (unsigned long long)seed,
             settings.seeded ? "--seed: reproducible walks" : "drawn at random");
    r.seed = buf;
    r.columns = conductors;
    for (const MasterRow& row : rows) {
        if (!row.error.empty())
            continue;
        ReportRow out;
        out.master = row.master;
        out.value.assign(conductors.size(), 0.0);
        out.error.assign(conductors.size(), 0.0);
        for (size_t j = 0; j < row.conductors.size() && j < row.cap.size(); j++) {
            size_t at = std::lower_bound(conductors.begin(), conductors.end(), row.conductors[j]) -
                        conductors.begin();
            if (at < conductors.size() && conductors[at] == row.conductors[j]) {
                out.value[at] = row.cap[j];
                out.error[at] = row.err[j];
            }
        }
        r.rows.push_back(out);
    }
    r.history = history;
    return r;
}
