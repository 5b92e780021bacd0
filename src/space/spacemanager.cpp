static const char KORVA_SOURCE[] = "src/spacemanager";

#include "spacemanager.h"

#include <algorithm>
#include <cmath>
#include <sched.h>

#include "progress.h"  // and the log

namespace {

// Whether c * 5000 converts to a 32-bit int at all.
bool OnGrid(double c)
{
    return std::fabs(c) * 5000.0 < 2147483647.0;
}

// Processors this process may run on (a batch scheduler or mpirun binding
// narrows the set), at most 8: the index build's top levels stay serial.
unsigned BuildThreads(size_t blocks)
{
    // Below this a build takes a few tens of milliseconds.
    if (blocks < 20000)
        return 1;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return (unsigned)std::max(1, std::min(8, CPU_COUNT(&set)));
}

}  // namespace

// Callers keep p inside the solver space; a point outside it is a bug. The
// leaf is found from p's grid point, and its candidates are measured in
// doubles on their own coordinates: this is the first hop, which starts off
// the grid.
const Cube Spacemanager::GetDomainCubic(const Vector3& p) const
{
    return CubeFrom(p, nullptr, 0);
}

const Cube Spacemanager::GetDomainCubic(const Vector3& p, const FaceStarts& starts, int face) const
{
    return CubeFrom(p, &starts, face);
}

const Cube Spacemanager::CubeFrom(const Vector3& p, const FaceStarts* starts, int face) const
{
    uint32_t leaf = LeafIndex::LEAF;
    if (OnGrid(p.x) && OnGrid(p.y) && OnGrid(p.z)) {
        const BaseVector3<int> g = ToGrid(p);
        leaf = index.LeafBelow(starts ? starts->From(g, face) : 0, g);
    }
    FATAL_CHECK_TEXT(leaf != LeafIndex::LEAF, "result != __null");
    return Cube(p, Clearance(index.Blocks(leaf), index.Count(leaf), p));
}

// Every start measures its leaf's candidates here. The gap of a block is
// the largest of its six signed differences clamped at 0, and the cube's
// radius the least gap, or 0 when one is under 1e-12. Clamping commutes
// with the least, and a least under 1e-12 is there exactly when some gap
// is: so the differences are taken on values (std::max over an initializer
// list went through memory and a loop per block), the clamp is left out and
// the test for a block at hand waits until after the scan, which gives the
// same doubles with no jump per block.
double Spacemanager::Clearance(const Cuboid* const* blocks, size_t n, const Vector3& p)
{
    double best = 1.7976931348623157e308;
    const double px = p.x, py = p.y, pz = p.z;
    for (size_t i = 0; i < n; ++i) {
        const Cuboid& c = *blocks[i];
        const double ax = c.x0 - px, bx = px - c.x1, ay = c.y0 - py, by = py - c.y1;
        const double az = c.z0 - pz, bz = pz - c.z1;
        const double dx = ax > bx ? ax : bx, dy = ay > by ? ay : by, dz = az > bz ? az : bz;
        const double dxy = dx > dy ? dx : dy;
        const double d = dxy > dz ? dxy : dz;
        best = d < best ? d : best;
    }
    return best < 1e-12 ? 0.0 : best;
}

double Spacemanager::GetMaxBall(const Vector3& p) const
{
    return GetDomainCubic(p).radius;
}

Spacemanager::Spacemanager(const BaseCuboid<int>& root_box, uint32_t capacity_, double min_ratio_)
    : Octree(root_box, capacity_, min_ratio_)
{
    index.Reset(root->box);
}

void Spacemanager::AddCuboid(const Cuboid* c)
{
    Octree::AddCuboid(c);
    Freeze();
}

void Spacemanager::SetMaster(const Cuboid* c)
{
    master = c;
}

double Spacemanager::EnlargeWindow(const std::vector<const Cuboid*>& cuboids, Cuboid& window)
{
    double lo[3] = {1.7976931348623157e308, 1.7976931348623157e308, 1.7976931348623157e308};
    double hi[3] = {-1.7976931348623157e308, -1.7976931348623157e308, -1.7976931348623157e308};
    for (const Cuboid* c : cuboids) {
        const double clo[3] = {c->x0, c->y0, c->z0};
        const double chi[3] = {c->x1, c->y1, c->z1};
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], clo[a]);
            hi[a] = std::max(hi[a], chi[a]);
        }
    }
    double center[3];
    double d = -1.7976931348623157e308;
    for (int a = 0; a < 3; ++a) {
        center[a] = (lo[a] + hi[a]) * 0.5;
        d = std::max(d, hi[a] - lo[a]);
    }
    double h = 5.0 * d;
    if (cuboids.empty())
        return h;
    double* wlo[3] = {&window.x0, &window.y0, &window.z0};
    double* whi[3] = {&window.x1, &window.y1, &window.z1};
    for (int a = 0; a < 3; ++a) {
        *wlo[a] = std::min(*wlo[a], center[a] - h);
        *whi[a] = std::max(*whi[a], center[a] + h);
    }
    return h;
}

bool Spacemanager::FitsGrid(const Cuboid& window)
{
    const double v[6] = {window.x0, window.y0, window.z0, window.x1, window.y1, window.z1};
    for (double c : v) {
        double g = std::fabs(c) * 5000.0 + 0.5;
        if (!(g * 2.0 < 2147483647.0))
            return false;
    }
    return true;
}

// Coordinates that a deck gives as base + edge may miss each other by a
// rounding step; far below a grid cell, they count as the same.
static bool Same(double u, double v)
{
    return std::fabs(u - v) < 1e-12;
}

// A route cut into pieces would otherwise put every piece into the leaves
// around it, and each hop there would scan them all.
std::vector<const Cuboid*> Spacemanager::JoinBlocks(const std::vector<const Cuboid*>& cuboids,
                                                    std::deque<Cuboid>& store,
                                                    std::vector<const Cuboid*>& from)
{
    const size_t n = cuboids.size();
    std::vector<Cuboid> box(n);
    std::vector<size_t> place(n);  // list position of the first block in the box
    std::vector<bool> gone(n, false), grown(n, false);
    for (size_t i = 0; i < n; ++i) {
        box[i] = *cuboids[i];
        place[i] = i;
    }
    auto lo = [&](size_t i, int a) -> double& {
        return a == 0 ? box[i].x0 : a == 1 ? box[i].y0 : box[i].z0;
    };
    auto hi = [&](size_t i, int a) -> double& {
        return a == 0 ? box[i].x1 : a == 1 ? box[i].y1 : box[i].z1;
    };
    for (bool joined = true; joined;) {
        joined = false;
        for (int a = 0; a < 3; ++a) {
            const int b = (a + 1) % 3, c = (a + 2) % 3;
            auto key = [&](size_t i) {
                return std::make_tuple(box[i].id, lo(i, b), hi(i, b), lo(i, c), hi(i, c), lo(i, a));
            };
            std::vector<size_t> order;
            for (size_t i = 0; i < n; ++i)
                if (!gone[i])
                    order.push_back(i);
            std::sort(order.begin(), order.end(),
                      [&](size_t i, size_t j) { return key(i) < key(j); });
            for (size_t k = 1, r = order.empty() ? 0 : order[0]; k < order.size(); ++k) {
                const size_t i = order[k];
                if (box[i].id == box[r].id && Same(lo(i, b), lo(r, b)) &&
                    Same(hi(i, b), hi(r, b)) && Same(lo(i, c), lo(r, c)) &&
                    Same(hi(i, c), hi(r, c)) && lo(i, a) <= hi(r, a) + 1e-12) {
                    hi(r, a) = std::max(hi(r, a), hi(i, a));
                    place[r] = std::min(place[r], place[i]);
                    gone[i] = grown[r] = joined = true;
                } else {
                    r = i;
                }
            }
        }
    }
    std::vector<size_t> kept;
    for (size_t i = 0; i < n; ++i)
        if (!gone[i])
            kept.push_back(i);
    std::sort(kept.begin(), kept.end(), [&](size_t i, size_t j) { return place[i] < place[j]; });
    std::vector<const Cuboid*> out;
    for (size_t i : kept) {
        if (grown[i]) {
            store.push_back(box[i]);
            from.push_back(cuboids[i]);
            out.push_back(&store.back());
        } else {
            out.push_back(cuboids[i]);
        }
    }
    return out;
}

void Spacemanager::SyncJoinedIds()
{
    for (size_t i = 0; i < joined.size(); ++i)
        joined[i].id = joined_from[i]->id;
}

int64_t Spacemanager::LeafFloor(const std::vector<const Cuboid*>& cuboids)
{
    int64_t smallest = INT64_MAX;
    for (const Cuboid* c : cuboids) {
        const BaseCuboid<int> g = ToGrid(*c);
        smallest = std::min({smallest, (int64_t)g.x1 - g.x0, (int64_t)g.y1 - g.y0,
                             (int64_t)g.z1 - g.z0});
    }
    return std::max<int64_t>(LEAF_FLOOR_MIN, smallest / LEAF_FLOOR_DIVISOR);
}

Spacemanager* Spacemanager::Build(const std::vector<const Cuboid*>& all, Cuboid& window,
                                  bool geometry_leaves)
{
    double h = EnlargeWindow(all, window);
    if (!FitsGrid(window))
        return nullptr;
    Spacemanager* space =
        new Spacemanager(ToGrid(window), geometry_leaves ? GEOMETRY_CAPACITY : 5, 1.0 / h);
    const std::vector<const Cuboid*> cuboids = JoinBlocks(all, space->joined, space->joined_from);
    if (geometry_leaves) {
        // Never coarser than the fixed share of the window.
        const BaseCuboid<int>& r = space->root->box;
        int64_t share = (int64_t)std::ceil(space->min_ratio * ((int64_t)r.x1 - r.x0));
        space->min_half = std::min(LeafFloor(cuboids), share);
    }
    if (!cuboids.empty())
        space->SetMaster(cuboids[0]);
    Log::pinfo("\t\t====================\n");
    Log::pinfo("\t\tBuilding Spacemanage\n");
    Log::pinfo("\t\t====================\n");
    if (geometry_leaves) {
        const double start = Progress::IndexStart((long long)cuboids.size());
        space->Fill(cuboids, BuildThreads(cuboids.size()));
        Progress::IndexDone((long long)cuboids.size(), start);
        return space;
    }
    for (size_t i = 0; i < cuboids.size(); ++i) {
        if (i % 50 == 0)
            Log::pinfo("Insert %d boxes\n", (int)i);
        space->Octree::AddCuboid(cuboids[i]);
    }
    space->Freeze();
    return space;
}
