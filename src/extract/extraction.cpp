#include "extraction.h"

#include <time.h>

#include <algorithm>
#include <cmath>

#include "log.h"
#include "randomwalk.h"

namespace {

double Seconds(const timespec& from)
{
    timespec to;
    clock_gettime(CLOCK_REALTIME, &to);
    long double s = (long double)(to.tv_sec - from.tv_sec) +
                    (long double)(to.tv_nsec - from.tv_nsec) / 1e9L;
    return (double)s;
}

timespec Now()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

double CpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}


}  // namespace

StratumStores::StratumStores(size_t slots)
    : cap(slots), cap2(slots), err(slots), rows(24 * slots), is_count(12), ss_count(17)
{
    for (int k = 0; k < 12; k++) {
        is_sum[k] = &rows[(2 * k) * slots];
        is_sum2[k] = &rows[(2 * k + 1) * slots];
    }
}

Extraction::Extraction(const DeckLists& lists) : deck_(lists)
{
    const timespec start = Now();
    sorted_ = lists.names;
    std::sort(sorted_.begin(), sorted_.end());
    blocks_.resize(sorted_.size());
    for (const Cuboid* c : lists.cuboids) {
        const std::string& name = lists.names[c->id];
        size_t at = std::lower_bound(sorted_.begin(), sorted_.end(), name) - sorted_.begin();
        // The parser's boxes are not const; the lists only lend them out so.
        blocks_[at].push_back(const_cast<Cuboid*>(c));
    }
    mgr_.deck_line = [this](const Cuboid* box) { return deck_.LineOf(box); };
    mgr_.body_media.assign(lists.bodies.begin(), lists.bodies.end());
    try {
        mgr_.PrepareShared(lists.cuboids, lists.bands, 1, 4, lists.window);
        PrepareFloating(lists);
        if (lists.open_window && error_.empty())
            PrepareOpenWindow(lists);
    } catch (const InputError& e) {
        error_ = e.message;
    }
    shared_seconds_ = Seconds(start);
}

void Extraction::PrepareFloating(const DeckLists& lists)
{
    std::vector<std::string> named = lists.floating;
    std::sort(named.begin(), named.end());
    std::vector<bool> floats(lists.names.size(), false);
    for (size_t c = 0; c < lists.names.size(); ++c)
        floats[c] = std::binary_search(named.begin(), named.end(), lists.names[c]);
    for (const std::string& name : sorted_)
        if (!std::binary_search(named.begin(), named.end(), name))
            fixed_.push_back(name);
    if (named.empty())
        return;
    if (fixed_.empty()) {
        error_ = "every conductor of the deck floats: a capacitance needs at least one conductor at a fixed "
                 "potential\n";
        return;
    }
    std::vector<int> owner;
    for (const Cuboid* c : lists.cuboids)
        owner.push_back(c->id);
    double cross = 0.0;
    for (double w : mgr_.tables.single.single_weight)
        cross = std::max(cross, std::fabs(w));
    std::string why;
    std::function<double(const Vector3&)> body_eps;
    if (mgr_.shared.bodies) {
        const DielBodies* bodies = mgr_.shared.bodies;
        body_eps = [bodies](const Vector3& p) { return bodies->EpsAt(p); };
    }
    if (!floating_.Build(lists.cuboids, owner, floats, lists.names, mgr_.tables.layers, cross, why, body_eps,
                         lists.open_window ? nullptr : &mgr_.window_box)) {
        error_ = why + "\n";
        return;
    }
    if (floating_.OnInterface() && !mgr_.LoadHalfTables()) {
        error_ = "the half-cube tables for floating conductors on a dielectric interface cannot be loaded\n";
        return;
    }
    mgr_.shared.floating = &floating_;
}

void Extraction::PrepareOpenWindow(const DeckLists& lists)
{
    // The exterior law is that of one medium filling all space.
    bool one = lists.bodies.empty();
    for (const Medium* m : lists.bands)
        one = one && m->diel == lists.bands.front()->diel;
    if (!one) {
        error_ = "--open-window needs one medium throughout: the deck has media of several permittivities\n";
        return;
    }
    if (lists.cuboids.empty())
        return;
    const Cuboid b = BoundingBox(lists.cuboids);
    const Vector3 centre((b.x0 + b.x1) / 2, (b.y0 + b.y1) / 2, (b.z0 + b.z1) / 2);
    const double radius = 0.5 * std::sqrt((b.x1 - b.x0) * (b.x1 - b.x0) + (b.y1 - b.y0) * (b.y1 - b.y0) +
                                          (b.z1 - b.z0) * (b.z1 - b.z0));
    // Within twice the radius the walk hops as always, so the window must
    // hold that sphere (the enlarged window always does); beyond it no point
    // needs the window's space.
    const Cuboid& w = *lists.window;
    const double room = std::min({centre.x - w.x0, w.x1 - centre.x, centre.y - w.y0, w.y1 - centre.y,
                                  centre.z - w.z0, w.z1 - centre.z});
    if (!(radius > 0) || room < 2 * radius) {
        char text[320];
        snprintf(text, sizeof text,
                 "--open-window needs a window that holds the sphere of twice the radius around the conductors: "
                 "centre (%g, %g, %g) um, radius %g um, %g um to the nearest window face\n",
                 centre.x, centre.y, centre.z, 2 * radius, room);
        error_ = text;
        return;
    }
    mgr_.shared.far_centre = centre;
    mgr_.shared.far_radius = radius;
}

void Extraction::Eliminate(MasterRow& row) const
{
    if (floating_.names.empty())
        return;
    size_t kept = 0;
    for (size_t i = 0; i < row.cap.size(); ++i) {
        if (i < row.conductors.size() &&
            std::binary_search(floating_.names.begin(), floating_.names.end(), row.conductors[i]))
            continue;
        if (i < row.conductors.size())
            row.conductors[kept] = row.conductors[i];
        row.cap[kept] = row.cap[i];
        if (i < row.err.size())
            row.err[kept] = row.err[i];
        ++kept;
    }
    row.conductors.resize(std::min(row.conductors.size(), kept - 1));
    row.cap.resize(kept);
    row.err.resize(std::min(row.err.size(), kept));
}

bool Extraction::SelectMaster(const std::string& master, std::string& error)
{
    auto it = std::lower_bound(sorted_.begin(), sorted_.end(), master);
    if (it == sorted_.end() || *it != master) {
        error = "no conductor named " + master + " in the deck\n";
        return false;
    }
    if (std::binary_search(floating_.names.begin(), floating_.names.end(), master)) {
        error = "conductor " + master + " floats: it carries no charge at a potential of its own, so it has "
                "no row of the capacitance matrix; extract a conductor at a fixed potential\n";
        return false;
    }
    // Slot 0 is the master, then the others in byte order: the ids of the
    // boxes the space index holds are rewritten, the index itself stays.
    order_.assign(1, master);
    for (const std::string& name : sorted_)
        if (name != master)
            order_.push_back(name);
    for (size_t i = 0; i < sorted_.size(); i++) {
        int id = sorted_[i] == master ? 0 : (int)i + (sorted_[i] < master ? 1 : 0);
        for (Cuboid* b : blocks_[i])
            b->id = id;
    }
    mgr_.names = order_;
    selected_ = master;
    if (!floating_.names.empty()) {
        floating_.of_slot.assign(order_.size() + 1, -1);
        floating_.slot.assign(floating_.names.size(), -1);
        for (size_t k = 0; k < floating_.names.size(); ++k) {
            const std::string& name = floating_.names[k];
            const size_t i = std::lower_bound(sorted_.begin(), sorted_.end(), name) - sorted_.begin();
            const size_t at = name < master ? i + 1 : i;
            floating_.slot[k] = (int)at;
            floating_.of_slot[at] = (int)k;
        }
    }
    return mgr_.PrepareMaster(error);
}

MasterRow Extraction::Run(const std::string& master, const ExtractionSettings& s, int index)
{
    MasterRow row;
    row.master = master;
    const timespec prep_start = Now();
    StratumStores r(Slots());
    mgr_.BindRun(s.end_mode, s.target_walks, s.target_error, r.cap, r.cap2, r.err, r.ss_sum,
                 r.ss_sum2, r.ss_count, r.is_sum, r.is_sum2, r.is_count);
    try {
        if (!SelectMaster(master, row.error))
            return row;
    } catch (const InputError& e) {
        row.error = e.message;
        row.fatal = true;
        return row;
    }
    row.conductors = order_;
    mgr_.shared.max_walks = s.max_walks;
    mgr_.shared.time_limit = s.time_limit;
    mgr_.shared.coupling_error = s.coupling_error;
    mgr_.shared.coupling_min = s.coupling_min;
    // Floating conductors with shells share their continuations within a
    // chunk of walks, so such runs take chunks even without a seed.
    mgr_.shared.chunked = s.seeded || (mgr_.shared.floating && mgr_.shared.floating->AllShells());
    mgr_.shared.run_seed = s.seed;
    mgr_.shared.master_key = MasterKey(master);
    mgr_.fixed_seed = true;
    // Seeds below 2^32 step between masters as they always have.
    mgr_.seed_base = s.seed >> 32 ? s.seed + 0x9e3779b9ull * (uint64_t)index
                                  : (uint32_t)(s.seed + 0x9e3779b9u * (uint32_t)index);
    row.prep_seconds = shared_seconds_ + Seconds(prep_start);
    shared_seconds_ = 0.0;
    if (s.console) {
        Log::output("Preparation of Korva used %.2f seconds\n", row.prep_seconds);
        Log::output("\t\tRandom Walk Begins\n\n");
    }
    PotentialTallies potentials;
    if (!floating_.names.empty()) {
        potentials.Size((int)floating_.names.size());
        mgr_.shared.potentials = &potentials;
    }
    const timespec walk_start = Now();
    const double cpu_start = CpuSeconds();
    mgr_.StartAll(s.threads);
    mgr_.WaitEnd();
    mgr_.shared.potentials = nullptr;
    for (size_t k = 0; k < floating_.names.size(); ++k) {
        MasterRow::Potential p{floating_.names[k], 0.0, 0.0};
        if (potentials.Estimate((int)k, p.potential, p.error))
            row.floating_potentials.push_back(p);
    }
    row.walk_seconds = Seconds(walk_start);
    row.walk_cpu_seconds = CpuSeconds() - cpu_start;
    row.walks = mgr_.shared.walk_count - 1;
    row.hops = mgr_.shared.total_hops;
    row.converged = mgr_.shared.converged;
    row.cap = r.cap;
    row.err = r.err;
    row.reached_error = std::fabs(r.err[0] / r.cap[0]);
    Eliminate(row);
    mgr_.shared.cap = mgr_.shared.cap2 = mgr_.shared.err = nullptr;  // the stores end here
    return row;
}

Cuboid Extraction::PlannedGaussianSurface(const DeckLists& lists, const Cuboid& enlarged,
                                          std::vector<Layer>& faces, std::vector<Cuboid>* boxes)
{
    // The placement needs the blocks, the media and their stack, none of
    // what the walks read; the manager here is never prepared.
    WalkMgr placement;
    placement.cuboids = lists.cuboids;
    placement.mediums = lists.bands;
    placement.SetMasterBox();
    placement.layers = new Layers(placement.tables, lists.bands);
    faces = placement.tables.layers;
    const Cuboid& e = enlarged;
    const Vector3 lo(e.x0, e.y0, e.z0), hi(e.x1, e.y1, e.z1);
    if (boxes)
        *boxes = placement.GaussBoxes(lo, hi);
    return placement.GetGauss(lo, hi);
}

void Extraction::RunChunk(uint64_t seed, long long chunk, long long walks, ChunkSums& out)
{
    BeginChunks(seed);
    RunSharedChunk(chunk, walks, out);
}

void Extraction::BeginChunks(uint64_t seed)
{
    chunk_slots_.assign(Slots(), 0.0);
    mgr_.shared.cap = &chunk_slots_;
    mgr_.shared.run_seed = seed;
    mgr_.shared.master_key = MasterKey(selected_);
}

void Extraction::RunSharedChunk(long long chunk, long long walks, ChunkSums& out)
{
    Randomwalk w(0, &mgr_.shared, *mgr_.layers, mgr_.gauss_select, mgr_.weight_select);
    w.RunChunk(chunk, walks, out);
}
