static const char KORVA_SOURCE[] = "src/walkmgr";

#include "walkmgr.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>


#include "boxgrid.h"
#include "datapaths.h"
#include "gausssurface.h"
#include "edgelaw.h"
#include "lawcache.h"
#include "stackbox.h"
#include "log.h"
#include "spacemanager.h"
#include "tablecache.h"
#include "tablecheck.h"

static const double BIG = 1e100;
// Planes looked at on either side of a start by the boxes through flat
// films: such films lie close together, and the search for a box runs on
// every hop held by one of them.
static const int FLAT_CANDIDATES = 6;

WalkMgr::WalkMgr()
    : layers(nullptr), gauss_select(0), weight_select(0), fixed_seed(false), seed_base(0),
      seed_used(0), half_tables_loaded(false)
{
}

WalkMgr::~WalkMgr()
{
    delete shared.spacemgr;
    delete layers;
    delete shared.block_surface;
}

// ---------------------------------------------------------------------------
// Run preparation

static void RejectSelectors(int gauss_select, int weight_select)
{
    if ((unsigned)gauss_select > 1) {
        throw InputError{"  The -g parameters are wrongly set\n"
                         "  Accepted values: 0 = the Gaussian surface keeps a uniform distance to the "
                         "master conductor, 1 = half the distances between the master and the coupling "
                         "conductors, per direction\n"};
    }
    if ((unsigned)weight_select > 4) {
        throw InputError{"  The -w parameters are wrongly set\n"
                         "  Accepted values: 0 = Green's-function transition probability, 1 = uniform "
                         "transition probability, 2 = importance sampling, 3 = stratified sampling, "
                         "4 = importance sampling with stratified sampling\n"};
    }
}

std::string WalkMgr::ConductorName(int id) const
{
    if (id >= 0 && id < (int)names.size())
        return names[id];
    char buf[32];
    snprintf(buf, sizeof buf, "#%d", id);
    return buf;
}

// The master may be several blocks; the Gaussian surface must enclose all of
// them and nothing of any other conductor.
void WalkMgr::SetMasterBox()
{
    master_blocks.clear();
    for (const Cuboid* c : cuboids)
        if (c->id == 0)
            master_blocks.push_back(c);
    master_box = BoundingBox(master_blocks);
}

const std::vector<const Cuboid*>& WalkMgr::OthersNear(const Cuboid& r) const
{
    others_near.clear();
    if (!near_blocks || near_blocks->Covers(r)) {
        for (const Cuboid* c : cuboids)
            if (c->id != 0 && c->x0 <= r.x1 && r.x0 <= c->x1 && c->y0 <= r.y1 && r.y0 <= c->y1 &&
                c->z0 <= r.z1 && r.z0 <= c->z1)
                others_near.push_back(c);
        return others_near;
    }
    near_blocks->Near(r, near_index);
    for (size_t k : near_index)
        if (cuboids[k]->id != 0)
            others_near.push_back(cuboids[k]);
    return others_near;
}

// L-infinity gap between two boxes; 0 when they overlap or touch.
static double BoxGap(const Cuboid& a, const Cuboid& b)
{
    double gx = std::max(0.0, std::max(b.x0 - a.x1, a.x0 - b.x1));
    double gy = std::max(0.0, std::max(b.y0 - a.y1, a.y0 - b.y1));
    double gz = std::max(0.0, std::max(b.z0 - a.z1, a.z0 - b.z1));
    return std::max(gx, std::max(gy, gz));
}

// " (block on deck line N)", or nothing for a block that no deck gave.
static std::string DeckLineNote(const std::function<int(const Cuboid*)>& deck_line, const Cuboid* c)
{
    int line = deck_line ? deck_line(c) : 0;
    return line > 0 ? " (block on deck line " + std::to_string(line) + ")" : "";
}

// Another conductor may lie anywhere around the master's blocks, even inside
// their bounding box, as long as it keeps clear of every one of them.
bool WalkMgr::SeparationError(std::string& why) const
{
    for (const Cuboid* m : cuboids) {
        if (m->id != 0)
            continue;
        // Only a block closer than the grid resolves can fail the check.
        const double r = 2 * GRID_RESOLVED;
        const Cuboid near(0, m->x0 - r, m->y0 - r, m->z0 - r, m->x1 + r, m->y1 + r, m->z1 + r);
        for (const Cuboid* c : OthersNear(near)) {
            const double gap = BoxGap(*m, *c);
            if (gap >= GRID_RESOLVED)
                continue;
            if (gap < 1e-12) {
                why = "Conductor " + ConductorName(c->id) + DeckLineNote(deck_line, c) +
                      " overlaps or touches the master conductor " + ConductorName(0) + DeckLineNote(deck_line, m) +
                      ": no Gaussian surface can enclose the master alone.\n";
            } else {
                // The surface would lie within a few grid cells of both.
                char gaps[128];
                snprintf(gaps, sizeof gaps, " is %g um from the master conductor ", gap);
                char grid[160];
                snprintf(grid, sizeof grid,
                         ": lengths are read in micrometres, and the walks' grid resolves gaps from %g um "
                         "on.\n",
                         GRID_RESOLVED);
                why = "Conductor " + ConductorName(c->id) + DeckLineNote(deck_line, c) + gaps + ConductorName(0) +
                      DeckLineNote(deck_line, m) + grid;
            }
            return true;
        }
    }
    return false;
}

// CheckInterface cannot place a point that lies within MIE of both faces of
// its layer.
void WalkMgr::CheckLayerThickness() const
{
    const std::vector<Layer>& ls = tables.layers;
    for (size_t i = 1; i + 2 < ls.size(); i++) {
        if (ls[i + 1].pos - ls[i].pos < 2 * MIE) {
            throw InputError{Log::format("The dielectric layer between z = %.15g and z = %.15g is "
                                         "thinner than 2e-12 and cannot be handled.\n",
                                         ls[i].pos, ls[i + 1].pos)};
        }
    }
}

std::string WalkMgr::ReadGftDir()
{
    return ReadRegistration("bin/.gft_dir");
}

void WalkMgr::LoadMultiTables()
{
    // Without a registration the tables of the stack live in the cache.
    const std::string registered = RegisteredTableFolder();
    const std::string d = registered.empty() ? CacheFolder() : registered;
    is_dir = d + "/IS/binary/MULTI";
    common_dir = d + "/COMMON/binary/MULTI";
    Log::pinfo("\t\t=============================\n");
    Log::pinfo("\t\tFor multiple dielectric cases\n");
    Log::pinfo("\t\t=============================\n");
    const bool scan = !registered.empty();
    if (scan && (weight_select == 2 || weight_select == 4)) {
        tables.SLoadDir((is_dir + "/WVT").c_str(), Layers::wei);
        tables.SLoadDir((is_dir + "/GFT").c_str(), Layers::pdf);
        tables.SLoadDir((is_dir + "/GFT").c_str(), Layers::trans);
        tables.SLoadDir((is_dir + "/GFT").c_str(), Layers::htrans);
    } else if (scan) {
        tables.SLoadDir((common_dir + "/GFT").c_str(), Layers::trans);
        tables.SLoadDir((common_dir + "/GFT").c_str(), Layers::htrans);
        tables.SLoadDir((common_dir + "/WVT").c_str(), Layers::pdf);
    }
    LoadMissingPairs(tables, registered, weight_select);
    TableCheck::RequireInterfaceTables(tables, weight_select, d);
}

void WalkMgr::BindRun(char mode, long long walks, double precision, std::vector<double>& cap_,
                      std::vector<double>& cap2_, std::vector<double>& err_, double** ss_sum_,
                      double** ss_sum2_, std::vector<long long>& ss_count_, double** is_sum_,
                      double** is_sum2_, std::vector<long long>& is_count_)
{
    shared.end_mode = mode;
    shared.target_walks = walks;
    shared.target_err = precision;
    shared.cap = &cap_;
    shared.cap2 = &cap2_;
    shared.err = &err_;
    shared.ss_sum = ss_sum_;
    shared.ss_sum2 = ss_sum2_;
    shared.ss_count = &ss_count_;
    shared.is_sum = is_sum_;
    shared.is_sum2 = is_sum2_;
    shared.is_count = &is_count_;
    shared.converged_checks = 0;
    shared.walk_count = 1;
    shared.rel_err = 0.0;
    shared.master_estimate = 0.0;
    shared.stop = false;
    shared.converged = false;
    shared.total_hops = 0;
}

void WalkMgr::PrepareShared(std::vector<const Cuboid*> cuboids_, std::vector<Medium*> media,
                            int gauss_select_, int weight_select_, Cuboid* window)
{
    cuboids = cuboids_;
    mediums = media;
    gauss_select = gauss_select_;
    weight_select = weight_select_;

    RejectSelectors(gauss_select, weight_select);
    tables.check.enabled = true;
    if (cuboids.empty())
        GetGauss(Vector3(), Vector3());  // reports the missing conductor and stops
    // Without a window statement the conductors' bounding box is the start;
    // the enlargement below makes room around it.
    window_box = window ? *window : BoundingBox(cuboids);
    Cuboid& solver = window ? *window : window_box;
    Cuboid probe = solver;
    Spacemanager::EnlargeWindow(cuboids, probe);
    if (!Spacemanager::FitsGrid(probe)) {
        throw InputError{"The simulation window, enlarged to five times the extent of the conductors, "
                         "does not fit the integer grid of 5000 cells per unit: the structure is too "
                         "large.\n"};
    }

    tables.single.LoadData(weight_select, tables.check);
    if (weight_select == 3)
        tables.single.DivSS();
    clock_t start = clock();

    Log::pinfo("\t\t====================\n");
    Log::pinfo("\t\tBuilding Spacemanage\n");
    Log::pinfo("\t\t====================\n");
    shared.spacemgr = Spacemanager::Build(cuboids, solver);
    FATAL_CHECK(shared.spacemgr != nullptr);
    // A few blocks are looked at all at once; many through the grid.
    near_blocks.reset(cuboids.size() > 64 ? new BoxGrid(cuboids) : nullptr);
    window_box = solver;  // as enlarged by the build
    Log::pinfo("Build octree end. time = %.2f seconds\n", (double)(clock() - start) / 1e6);

    tables.weight_select = weight_select;
    layers = new Layers(tables, mediums);
    CheckLayerThickness();
    shared.bodies = nullptr;
    if (!body_media.empty()) {
        bodies.Build(body_media, tables.layers);
        for (const auto& p : bodies.Pairs())
            tables.extra_pairs.push_back(DielKey{p.first, p.second});
        shared.bodies = &bodies;
    }
    // Edge cubes: off only to measure what they save.
    const char* edges = getenv("KORVA_EDGE_CUBES");
    edge_laws.reset(shared.bodies && !(edges && edges[0] == '0') ? new EdgeLaws() : nullptr);
    shared.edge_laws = edge_laws.get();
    const char* layered = getenv("KORVA_LAYERED_FIRST");
    layered_laws.reset(shared.bodies && !(layered && layered[0] == '0') ? new LayeredBoxLaws() : nullptr);
    shared.layered_laws = layered_laws.get();
    // Boxes through many interfaces: off only to measure what they save.
    const char* boxes = getenv("KORVA_STACK_BOXES");
    const bool use_boxes = !(boxes && boxes[0] == '0');
    stack_boxes.reset(use_boxes ? StackBoxes::Build(tables.layers) : nullptr);
    first_boxes.reset(use_boxes ? StackBoxes::Build(tables.layers, true) : nullptr);
    const char* refine = getenv("KORVA_BOX_REFINE");
    const std::string law_cache = LawCacheFolder();
    if (!law_cache.empty())
        MakeFolders(law_cache);
    for (StackBoxes* b : {stack_boxes.get(), first_boxes.get()}) {
        if (b && refine)
            b->refine = std::max(1, std::min(4, atoi(refine)));
        if (b && Writable(law_cache))
            b->cache_dir = law_cache;
    }
    if (edge_laws && Writable(law_cache))
        edge_laws->cache_dir = law_cache;
    if (layered_laws && Writable(law_cache))
        layered_laws->cache_dir = law_cache;
    shared.stack_boxes = stack_boxes.get();
    shared.first_boxes = first_boxes.get();
    // Only the planes' heights are read from these boxes: their layers
    // differ from place to place, so each box takes the law of the layers
    // it holds where it stands. Off only to measure what they save.
    const char* flat = getenv("KORVA_FLAT_BOXES");
    body_boxes.reset(nullptr);
    if (shared.bodies && use_boxes && !(flat && flat[0] == '0')) {
        std::vector<Layer> planes;
        for (double z : bodies.ZPlanes())
            planes.push_back(Layer{z, 1.0});
        planes.push_back(Layer{FAR_POS, 1.0});
        body_boxes.reset(StackBoxes::Build(planes));
        if (body_boxes)
            body_boxes->candidates = FLAT_CANDIDATES;
    }
    flat_laws.reset(body_boxes ? new LayeredBoxLaws(false) : nullptr);
    if (flat_laws && Writable(law_cache))
        flat_laws->cache_dir = law_cache;
    shared.flat_laws = flat_laws.get();
    shared.body_boxes = body_boxes.get();
    if (mediums.size() >= 2 || !tables.extra_pairs.empty())
        LoadMultiTables();
    Log::pinfo("Loaded pre-computed file used time = %.2f seconds\n",
               (double)(clock() - start) / 1e6);
}

bool WalkMgr::PrepareMaster(std::string& error)
{
    SetMasterBox();
    if (SeparationError(error))
        return false;
    shared.spacemgr->SyncJoinedIds();
    shared.spacemgr->SetMaster(&master_box);
    shared.diels.clear();
    shared.sizes.clear();
    shared.g_endz.clear();
    shared.side_cdfs.clear();
    shared.gauss_starts.Clear();
    delete shared.block_surface;
    shared.block_surface = nullptr;
    const Cuboid& w = window_box;
    const Vector3 lo(w.x0, w.y0, w.z0), hi(w.x1, w.y1, w.z1);
    gauss_boxes = GaussBoxes(lo, hi);
    if (master_blocks.size() > 1) {
        if (!BuildBlockSurface(lo, hi)) {
            error = "Failed to cut gauss surface\n";
            return false;
        }
        return true;
    }
    shared.gauss_surface = GetGauss(lo, hi);
    if (!CutGauss(*layers, shared.gauss_surface, &master_box, shared.diels, shared.sizes,
                  shared.g_endz, shared.side_cdfs, shared.gauss_dist)) {
        error = "Failed to cut gauss surface\n";
        return false;
    }
    shared.gauss_starts.Build(shared.spacemgr->index, ToGrid(shared.gauss_surface));
    FinishGauss();
    return true;
}

// ---------------------------------------------------------------------------
// Gaussian surface

static Cuboid Grow(const Cuboid& m, double h)
{
    return Cuboid(0, m.x0 - h, m.y0 - h, m.z0 - h, m.x1 + h, m.y1 + h, m.z1 + h);
}

// Half the distance from the master to the nearest other conductor, per
// direction (left, right, front, back, bottom, top); a block counts only in
// the directions in which its gap is its L-infinity distance.
static void DirectionalHalves(const Cuboid& m, const std::vector<const Cuboid*>& cuboids,
                              double half[6])
{
    enum { LEFT, RIGHT, FRONT, BACK, BOTTOM, TOP };
    for (int k = 0; k < 6; k++)
        half[k] = BIG;
    for (const Cuboid* c : cuboids) {
        if (c->id == 0)
            continue;
        double g[6];
        g[RIGHT] = c->x0 - m.x1;
        g[LEFT] = m.x0 - c->x1;
        g[BACK] = c->y0 - m.y1;
        g[FRONT] = m.y0 - c->y1;
        g[TOP] = c->z0 - m.z1;
        g[BOTTOM] = m.z0 - c->z1;
        double d = 0.0;
        for (int k = 0; k < 6; k++)
            d = std::max(d, g[k]);
        for (int k = 0; k < 6; k++)
            if (g[k] > 0 && std::fabs(g[k] - d) <= 1e-12)
                half[k] = std::min(half[k], g[k]);
    }
    for (int k = 0; k < 6; k++)
        half[k] /= 2;
}

// The layer FindLayer would select for z, without selecting its tables:
// placing the Gaussian surface needs only the stack, so a deck can be drawn
// before any table is loaded.
static void PlaceCursor(Layers& layers, double z)
{
    const std::vector<Layer>& st = layers.layers;
    size_t i = 0;
    while (i < st.size() && !(st[i].pos > z))
        ++i;
    layers.cur_layer = i < st.size() ? (int)i : -2;
}

const Cuboid WalkMgr::GetGauss(Vector3 lo, Vector3 hi)
{
    if (cuboids.empty()) {
        Log::perror("There is no conductor in this case!");
        FATAL_CHECK(false);
    }
    return GaussBoxAround(master_box, lo, hi, true);
}

const Cuboid WalkMgr::GaussBoxAround(const Cuboid& m, Vector3 lo, Vector3 hi, bool report)
{
    bool others = near_blocks && cuboids.size() > master_blocks.size();
    for (size_t k = 0; !near_blocks && !others && k < cuboids.size(); k++)
        others = cuboids[k]->id != 0;
    const bool multi = mediums.size() >= 2;
    if (!others && !multi) {
        double ext = std::min(m.x1 - m.x0, std::min(m.y1 - m.y0, m.z1 - m.z0));
        return Grow(m, 0.8 * ext);
    }
    if (!others) {
        if (report)
            Log::perror("There is only one conductor in this multi-dielectric case.\n");
        return Cuboid(0, (m.x0 + lo.x) / 2, (m.y0 + lo.y) / 2, (m.z0 + lo.z) / 2,
                      (m.x1 + hi.x) / 2, (m.y1 + hi.y) / 2, (m.z1 + hi.z) / 2);
    }
    // The margin: the least of the directional halves, the vertical ones
    // capped by the interfaces next to the block.
    auto margin = [&](double half[6]) {
        if (multi) {
            double& bottom = half[4];
            double& top = half[5];
            PlaceCursor(*layers, m.z0 - 1e-12);
            double zb;
            if (!layers->GetLowerLayer(zb))
                zb = lo.z;
            double b = std::min(m.z0 - zb, m.z0 - lo.z);
            if (b < bottom)
                bottom = b / 2;
            PlaceCursor(*layers, m.z1);
            double zt;
            if (layers->GetHigherLayer(zt) && zt - m.z1 < top)
                top = (zt - m.z1) / 2;
        }
        return *std::min_element(half, half + 6);
    };
    double half[6];
    double h;
    if (!near_blocks) {
        DirectionalHalves(m, cuboids, half);
        h = margin(half);
    } else {
        // The blocks within R of m: a block beyond is more than R away in
        // every direction it counts in, so a direction whose half from the
        // near blocks is at most R / 4 has its final value, and the others
        // stay above R / 8 however they end. A margin below R / 8 is then
        // the one every block gives; else R grows until it is, or until
        // every block is near.
        const double side = std::min(m.x1 - m.x0, std::min(m.y1 - m.y0, m.z1 - m.z0));
        for (double r = std::max(8 * side, 1e-6);; r *= 4) {
            const Cuboid region = Grow(m, r);
            const bool all = near_blocks->Covers(region);
            DirectionalHalves(m, OthersNear(region), half);
            h = margin(half);
            if (all || h < r / 8)
                break;
        }
    }
    // The first hop's weight grows as its cube shrinks, and a start point
    // close to a body face gets a small cube. Any closed surface will do, so
    // the surface moves inwards until its faces keep a quarter of the margin
    // from every body face parallel to them.
    for (int tries = 0; tries < 30 && shared.bodies && shared.bodies->NearSomePatch(Grow(m, h), 0.25 * h); ++tries)
        h *= 0.9;
    return Grow(m, h);
}

// Appends one entry of the band tables.
static void AddBand(std::vector<double>& sizes, std::vector<double>& diels,
                    std::vector<double>& g_endz, std::vector<std::vector<double>>& side_cdfs,
                    double weight, double eps, double endz, std::vector<double> cdf)
{
    sizes.push_back(weight);
    diels.push_back(eps);
    g_endz.push_back(endz);
    side_cdfs.push_back(std::move(cdf));
}

bool WalkMgr::CutGauss(Layers& ls, const Cuboid& g, const Cuboid* master, std::vector<double>& diels_,
                       std::vector<double>& sizes_, std::vector<double>& g_endz_,
                       std::vector<std::vector<double>>& side_cdfs_, double* dist)
{
    const Cuboid& m = *master;
    ls.FindLayer(g.z0);
    dist[0] = 2 * (m.z0 - g.z0);
    dist[1] = 2 * (m.y0 - g.y0);
    dist[2] = 2 * (g.x1 - m.x1);
    dist[3] = 2 * (g.y1 - m.y1);
    dist[4] = 2 * (m.x0 - g.x0);
    dist[5] = 2 * (g.z1 - m.z1);
    if (gauss_select == 0) {
        for (int k = 0; k < 6; k++)
            dist[k] = 1.0;
    } else if (gauss_select != 1) {
        Log::pinfo("Wrong gauss_selet Parameter input!");
        FATAL_CHECK(false);
    }
    const double dx = g.x1 - g.x0, dy = g.y1 - g.y0;
    // A band of zero height (a box face on an interface) would divide zero
    // by zero: it gets zero weight and the shares per unit height instead.
    const double w1 = dx / dist[1], w2 = dy / dist[2], w3 = dx / dist[3], w4 = dy / dist[4];
    const double per_height = w1 + w2 + w3 + w4;
    bool touches = false;
    for (;;) {
        double low = 0.0, high = 0.0;  // GetNearby leaves them when the cursor is unset
        if (!ls.GetNearby(low, high)) {
            Log::pwarning("Warning: Conductor out of medium, assuming border mediums\n");
            if (ls.TooLow()) {
                ls.MoveUp();
                ls.GetNearby(low, high);
                ls.MoveDown();
                high = low;
                low = g.z0 - 100.0;
            } else if (ls.TooHigh()) {
                ls.MoveDown();
                ls.GetNearby(low, high);
                ls.MoveUp();
                low = high;
                high = g.z1 + 100.0;
            } else {
                return false;
            }
        }
        double eps = 0.0;
        ls.GetDiel(eps);
        // The first layer holds the bottom face, also when the face lies
        // exactly on its lower interface.
        if (sizes_.empty()) {
            double w0 = dx * dy / dist[0];
            AddBand(sizes_, diels_, g_endz_, side_cdfs_, w0, eps, 0.0, {w0});
            if (std::fabs(low - g.z0) < 1e-12)
                touches = true;
        }
        double h = std::min(high, g.z1) - std::max(low, g.z0);
        double band = 0.0;
        double ps1 = w1 / per_height, ps2 = ps1 + w2 / per_height, ps3 = ps2 + w3 / per_height;
        double ps4 = ps3 + w4 / per_height;
        if (h > 0) {
            band = (dy / dist[4] + dx / dist[3] + dy / dist[2] + dx / dist[1]) * h;
            ps1 = (dx * h / dist[1]) / band;
            ps2 = ps1 + (dy * h / dist[2]) / band;
            ps3 = ps2 + (dx * h / dist[3]) / band;
            ps4 = ps3 + (dy * h / dist[4]) / band;
        }
        FATAL_CHECK_TEXT(std::fabs(ps4 - 1.0) < 0.0001, "abs(ps- 1.0)<0.0001");
        AddBand(sizes_, diels_, g_endz_, side_cdfs_, band, eps, g_endz_.back() + h,
                {ps1, ps2, ps3, ps4});
        if (std::fabs(high - g.z1) < 1e-12)
            touches = true;
        if (g.z1 < high) {
            double w5 = dx * dy / dist[5];
            AddBand(sizes_, diels_, g_endz_, side_cdfs_, w5, eps, g.z1 - g.z0, {w5});
            break;
        }
        ls.MoveUp();
    }
    if (touches && !LoadHalfTables())
        return false;
    FATAL_CHECK_TEXT(sizes_.size() == diels_.size(), "sizes.size() == diels.size()");
    FATAL_CHECK_TEXT(sizes_.size() == g_endz_.size(), "sizes.size() == g_endz.size()");
    return true;
}

// Loaded once per run, whichever master first needs them.
bool WalkMgr::LoadHalfTables()
{
    if (half_tables_loaded)
        return true;
    half_tables_loaded = true;
    if (weight_select == 2 || weight_select == 4) {
        tables.SLoadDir((is_dir + "/WVT").c_str(), Layers::hwei);
        tables.SLoadDir((is_dir + "/GFT").c_str(), Layers::hpdf);
    } else if (weight_select == 0 || weight_select == 1 || weight_select == 3) {
        tables.SLoadDir((common_dir + "/WVT").c_str(), Layers::hwei);
    } else {
        Log::pinfo("wrong input for weight_select(half)\n");
        return false;
    }
    return true;
}

std::vector<Cuboid> WalkMgr::GaussBoxes(Vector3 lo, Vector3 hi)
{
    std::vector<Cuboid> boxes;
    for (const Cuboid* c : master_blocks)
        boxes.push_back(GaussBoxAround(*c, lo, hi, false));
    if (boxes.size() <= 1)
        boxes.assign(1, GaussBoxAround(master_box, lo, hi, false));
    return boxes;
}

// Every block is grown as a lone master would be, so the union of the grown
// boxes keeps half the way to every other conductor and contains every block.
bool WalkMgr::BuildBlockSurface(Vector3 lo, Vector3 hi)
{
    std::vector<Cuboid> grown;
    std::vector<FaceDivisors> dist;
    for (const Cuboid* c : master_blocks) {
        grown.push_back(GaussBoxAround(*c, lo, hi, grown.empty()));
        dist.push_back(GaussSurface::Divisors(*c, grown.back(), gauss_select));
    }
    delete shared.block_surface;
    shared.block_surface = new GaussSurface();
    if (!shared.block_surface->Build(grown, dist, tables.layers))
        return false;
    if (shared.block_surface->on_interface && !LoadHalfTables())
        return false;
    for (int k = 0; k < 6; k++) {
        shared.face_share[k] = shared.block_surface->face_share[k];
        shared.face_share[k + 6] = shared.face_share[k];
        shared.gauss_dist[k] = 0.0;
    }
    shared.gauss_total = shared.block_surface->total;
    shared.gauss_surface = master_box;
    return true;
}

void WalkMgr::FinishGauss()
{
    for (double& s : shared.face_share)
        s = 0.0;
    double total = 0.0;
    const size_t n = shared.sizes.size();
    for (size_t i = 0; i < n; i++) {
        const double eps = shared.diels[i];
        if (i == 0) {
            shared.face_share[0] = shared.side_cdfs[0][0] * eps;
        } else if (i == n - 1) {
            shared.face_share[5] = shared.side_cdfs[n - 1][0] * eps;
        } else {
            const std::vector<double>& ps = shared.side_cdfs[i];
            const double w = shared.sizes[i] * eps;
            shared.face_share[1] += w * ps[0];
            shared.face_share[2] += w * (ps[1] - ps[0]);
            shared.face_share[3] += w * (ps[2] - ps[1]);
            shared.face_share[4] += w * (ps[3] - ps[2]);
        }
        shared.sizes[i] *= eps;
        total += shared.sizes[i];
        shared.diels[i] = total;
    }
    for (int k = 0; k < 6; k++) {
        shared.face_share[k] /= total;
        shared.face_share[k + 6] = shared.face_share[k];
    }
    shared.gauss_total = total;
}
