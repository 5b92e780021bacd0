#include "drawings.h"

#include "layers.h"
#include "log.h"
#include "spacemanager.h"
#include "walkmgr.h"

#include <cstdio>

namespace {

std::vector<SceneLayer> StackLayers()
{
    // Entry i is the upper face of the slab that starts at entry i - 1;
    // entry 0 only closes the stack from below.
    std::vector<SceneLayer> out;
    const std::vector<Layer>& st = Layers::layers;
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
    s.layers = StackLayers();
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
    mgr.layers = new Layers(lists.media);
    s.layers = StackLayers();
    const Cuboid& e = s.enlarged;
    s.gauss = mgr.GetGauss(Vector3(e.x0, e.y0, e.z0), Vector3(e.x1, e.y1, e.z1));
    s.has_gauss = true;
    return s;
}

RunRecord RecordOfRun(const RunSettings& settings, const WalkMgr& mgr,
                      const std::vector<std::string>& names, const std::vector<double>& cap,
                      const std::vector<double>& err, double kernel_seconds)
{
    RunRecord r;
    r.title = "Korva run: " + settings.deck_path;
    char buf[64];
    r.settings.push_back({"deck", settings.deck_path});
    if (settings.end_mode == 'p') {
        snprintf(buf, sizeof buf, "relative error of the master below %g", settings.target_error);
        r.settings.push_back({"stopping rule", buf});
    } else {
        snprintf(buf, sizeof buf, "%lld walks", (long long)settings.target_walks);
        r.settings.push_back({"stopping rule", buf});
    }
    r.settings.push_back({"threads", std::to_string(settings.threads)});
    r.settings.push_back({"walks done", std::to_string(mgr.walk_count)});
    snprintf(buf, sizeof buf, "%.2f s", kernel_seconds);
    r.settings.push_back({"walk time", buf});
    r.settings.push_back({"conductors", std::to_string(names.size())});
    r.settings.push_back({"dielectric media", std::to_string(mgr.mediums.size())});
    snprintf(buf, sizeof buf, "%u (%s; worker i uses base + 57005 i)", (unsigned)mgr.seed_used,
             mgr.fixed_seed ? "fixed" : "from the clock");
    r.seed = buf;
    r.columns = names;
    ReportRow row;
    row.master = names.empty() ? std::string() : names[0];
    for (size_t j = 0; j < names.size() && j < cap.size(); j++) {
        row.value.push_back(cap[j]);
        row.error.push_back(err[j]);
    }
    r.rows.push_back(row);
    r.history = mgr.history.Snapshot();
    return r;
}

int WriteTextFile(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = f && (fclose(f) == 0) && ok;
    if (!ok) {
        Log::perror("cannot write file: %s\n", path.c_str());
        return 255;
    }
    return 0;
}
