static const char KORVA_SOURCE[] = "src/floating";
#include "floating.h"

#include "chunks.h"
#include "log.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>

namespace {

const double HUGE_GAP = 1e300;

double BoxGap(const Cuboid& a, const Cuboid& b)
{
    const double gx = std::max(0.0, std::max(b.x0 - a.x1, a.x0 - b.x1));
    const double gy = std::max(0.0, std::max(b.y0 - a.y1, a.y0 - b.y1));
    const double gz = std::max(0.0, std::max(b.z0 - a.z1, a.z0 - b.z1));
    return std::max(gx, std::max(gy, gz));
}

// Blocks bucketed on a grid in the plane; a block that would cover very many
// cells (a plane, a long bus) is kept aside and checked by every query.
class PlaneBuckets {
public:
    explicit PlaneBuckets(const std::vector<const Cuboid*>& blocks) : blocks_(blocks)
    {
        std::vector<double> sides;
        x0_ = y0_ = HUGE_GAP;
        double x1 = -HUGE_GAP, y1 = -HUGE_GAP;
        for (const Cuboid* c : blocks) {
            sides.push_back(std::max(c->x1 - c->x0, c->y1 - c->y0));
            x0_ = std::min(x0_, c->x0);
            y0_ = std::min(y0_, c->y0);
            x1 = std::max(x1, c->x1);
            y1 = std::max(y1, c->y1);
        }
        std::nth_element(sides.begin(), sides.begin() + sides.size() / 2, sides.end());
        cell_ = std::max(sides[sides.size() / 2], GRID_RESOLVED);
        // No more cells than a few per block.
        const double limit = 4.0 * blocks.size() + 16;
        while (std::ceil((x1 - x0_) / cell_ + 1) * std::ceil((y1 - y0_) / cell_ + 1) > limit)
            cell_ *= 1.5;
        nx_ = (int)std::ceil((x1 - x0_) / cell_) + 1;
        ny_ = (int)std::ceil((y1 - y0_) / cell_) + 1;
        start_.assign((size_t)nx_ * ny_ + 1, 0);
        for (int pass = 0; pass < 2; ++pass) {
            std::vector<size_t> fill(start_.begin(), start_.end() - 1);
            for (size_t i = 0; i < blocks.size(); ++i) {
                int i0, i1, j0, j1;
                Span(*blocks[i], i0, i1, j0, j1);
                if ((long long)(i1 - i0 + 1) * (j1 - j0 + 1) > 64) {
                    if (pass == 0)
                        big_.push_back((int)i);
                    continue;
                }
                for (int j = j0; j <= j1; ++j)
                    for (int k = i0; k <= i1; ++k) {
                        if (pass == 0)
                            ++start_[(size_t)j * nx_ + k + 1];
                        else
                            members_[fill[(size_t)j * nx_ + k]++] = (int)i;
                    }
            }
            if (pass == 0) {
                for (size_t k = 1; k < start_.size(); ++k)
                    start_[k] += start_[k - 1];
                members_.resize(start_.back());
            }
        }
    }

    // The nearest block to block q whose owner differs from `own`.
    void Nearest(size_t q, const std::vector<int>& owner, double& gap, int& best) const
    {
        const Cuboid& b = *blocks_[q];
        gap = HUGE_GAP;
        best = -1;
        auto consider = [&](int i) {
            if (owner[i] == owner[q])
                return;
            const double g = BoxGap(b, *blocks_[i]);
            if (g < gap || (g == gap && i < best)) {
                gap = g;
                best = i;
            }
        };
        for (int i : big_)
            consider(i);
        int i0, i1, j0, j1;
        Span(b, i0, i1, j0, j1);
        for (int ring = 0;; ++ring) {
            // Every block first met in this ring lies at least this far off.
            if ((ring - 1) * cell_ > gap)
                return;
            const int a0 = i0 - ring, a1 = i1 + ring, b0 = j0 - ring, b1 = j1 + ring;
            if (a0 < 0 && b0 < 0 && a1 >= nx_ && b1 >= ny_ && ring > 0)
                return;
            for (int j = std::max(b0, 0); j <= std::min(b1, ny_ - 1); ++j) {
                const bool edge = j == b0 || j == b1;
                for (int k = std::max(a0, 0); k <= std::min(a1, nx_ - 1); ++k) {
                    if (!edge && k != a0 && k != a1)
                        continue;
                    const size_t cell = (size_t)j * nx_ + k;
                    for (size_t m = start_[cell]; m < start_[cell + 1]; ++m)
                        consider(members_[m]);
                }
            }
        }
    }

    // The least distance along direction d (0 to 5: -x +x -y +y -z +z) from
    // `face`, the coordinate g's face in that direction would leave from, to
    // a block not of owner `own` whose cross-section across d overlaps g's:
    // how far that face may move before g takes the block in. HUGE_GAP when
    // no such block lies beyond it.
    double Beyond(const Cuboid& g, double face, int own, int d, const std::vector<int>& owner) const
    {
        const int axis = d / 2;
        const bool up = d % 2 == 1;
        const double glo[3] = {g.x0, g.y0, g.z0}, ghi[3] = {g.x1, g.y1, g.z1};
        double best = HUGE_GAP;
        auto consider = [&](int i) {
            if (owner[i] == own)
                return;
            const Cuboid& c = *blocks_[i];
            const double lo[3] = {c.x0, c.y0, c.z0}, hi[3] = {c.x1, c.y1, c.z1};
            for (int a = 0; a < 3; ++a)
                if (a != axis && !(lo[a] < ghi[a] && hi[a] > glo[a]))
                    return;
            const double dist = up ? lo[axis] - face : face - hi[axis];
            if (dist >= 0 && dist < best)
                best = dist;
        };
        for (int i : big_)
            consider(i);
        int i0, i1, j0, j1;
        Span(g, i0, i1, j0, j1);
        if (axis == 2) {
            for (int j = j0; j <= j1; ++j)
                for (int k = i0; k <= i1; ++k)
                    for (size_t m = start_[(size_t)j * nx_ + k]; m < start_[(size_t)j * nx_ + k + 1]; ++m)
                        consider(members_[m]);
            return best;
        }
        // Along x or y, the cells of the strip outward from the face, until
        // the next column lies farther than the nearest block found.
        const int n = axis == 0 ? nx_ : ny_;
        const double origin = axis == 0 ? x0_ : y0_;
        const int at = std::min(n - 1, std::max(0, (int)std::floor((face - origin) / cell_)));
        const int c0 = axis == 0 ? j0 : i0, c1 = axis == 0 ? j1 : i1;
        for (int col = at; col >= 0 && col < n; col += up ? 1 : -1) {
            const double edge = origin + (up ? col : col + 1) * cell_;
            if ((up ? edge - face : face - edge) > best)
                break;
            for (int r = c0; r <= c1; ++r) {
                const size_t cell = axis == 0 ? (size_t)r * nx_ + col : (size_t)col * nx_ + r;
                for (size_t m = start_[cell]; m < start_[cell + 1]; ++m)
                    consider(members_[m]);
            }
        }
        return best;
    }

private:
    void Span(const Cuboid& c, int& i0, int& i1, int& j0, int& j1) const
    {
        i0 = std::max(0, (int)std::floor((c.x0 - x0_) / cell_));
        i1 = std::min(nx_ - 1, (int)std::floor((c.x1 - x0_) / cell_));
        j0 = std::max(0, (int)std::floor((c.y0 - y0_) / cell_));
        j1 = std::min(ny_ - 1, (int)std::floor((c.y1 - y0_) / cell_));
    }

    const std::vector<const Cuboid*>& blocks_;
    double x0_ = 0.0, y0_ = 0.0, cell_ = 1.0;
    int nx_ = 1, ny_ = 1;
    std::vector<size_t> start_;
    std::vector<int> members_;
    std::vector<int> big_;
};

// The margins of a floating conductor's shell per face direction (-x +x -y
// +y -z +z): each face as far out as SHELL_REACH of the free distance
// before it, the others where they stand, so that the grown blocks take in
// no other conductor and stay inside `window` (null: open space), and no
// farther than SHELL_SIZES times F's largest `extent`. `uniform` is a margin
// that is free on every side; a direction with nothing before it keeps that
// one. Vertical first: in a stack of layers there is most room above and
// below.
std::array<double, 6> ShellMargins(const PlaneBuckets& buckets, const std::vector<const Cuboid*>& own, int conductor,
                                   const std::vector<int>& owner, double uniform, const Cuboid* window, double extent)
{
    std::array<double, 6> m;
    m.fill(uniform);
    for (int d : {4, 5, 0, 1, 2, 3}) {
        const int a = d / 2;
        double free = HUGE_GAP, room = HUGE_GAP;
        for (const Cuboid* b : own) {
            const Cuboid g(0, b->x0 - m[0], b->y0 - m[2], b->z0 - m[4], b->x1 + m[1], b->y1 + m[3], b->z1 + m[5]);
            const double lo[3] = {b->x0, b->y0, b->z0}, hi[3] = {b->x1, b->y1, b->z1};
            const double face = d % 2 ? hi[a] : lo[a];
            free = std::min(free, buckets.Beyond(g, face, conductor, d, owner));
            if (window) {
                const double wlo[3] = {window->x0, window->y0, window->z0}, whi[3] = {window->x1, window->y1, window->z1};
                room = std::min(room, d % 2 ? whi[a] - face : face - wlo[a]);
            }
        }
        free = std::min(free, room);
        if (free < HUGE_GAP)
            m[d] = std::max(m[d], FloatingSet::SHELL_REACH * free);
        m[d] = std::min({m[d], FloatingSet::SHELL_REACH * room, std::max(uniform, FloatingSet::SHELL_SIZES * extent)});
    }
    return m;
}

}  // namespace

bool FloatingSet::Build(const std::vector<const Cuboid*>& blocks, const std::vector<int>& owner,
                        const std::vector<bool>& floating, const std::vector<std::string>& conductor_names,
                        const std::vector<Layer>& stack, double cross, std::string& error,
                        const std::function<double(const Vector3&)>& body_eps, const Cuboid* window)
{
    names.clear();
    surfaces.clear();
    scale.clear();
    shells.clear();
    shell_of.clear();
    all_shells = false;
    origin.clear();
    margins.clear();
    // Shells of the same shape, margins and medium share one table.
    std::map<std::vector<long long>, int> shell_by_key;
    std::vector<bool> query(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i)
        query[i] = floating[owner[i]];
    std::vector<double> gap(blocks.size(), HUGE_GAP);
    std::vector<int> nearest(blocks.size(), -1);
    const PlaneBuckets buckets(blocks);
    for (size_t i = 0; i < blocks.size(); ++i)
        if (query[i])
            buckets.Nearest(i, owner, gap[i], nearest[i]);

    // Per floating conductor: its blocks and the smallest gap to another.
    std::vector<int> index(floating.size(), -1);
    std::vector<std::vector<const Cuboid*>> own;
    std::vector<double> least;
    std::vector<int> conductor;
    // In byte order of the names, whatever order the conductors come in.
    std::vector<size_t> by_name;
    for (size_t c = 0; c < floating.size(); ++c)
        by_name.push_back(c);
    std::sort(by_name.begin(), by_name.end(),
              [&](size_t a, size_t b) { return conductor_names[a] < conductor_names[b]; });
    for (size_t c : by_name)
        if (floating[c]) {
            index[c] = (int)names.size();
            names.push_back(conductor_names[c]);
            own.emplace_back();
            least.push_back(HUGE_GAP);
            conductor.push_back((int)c);
        }
    for (size_t i = 0; i < blocks.size(); ++i) {
        const int k = index[owner[i]];
        if (k < 0)
            continue;
        own[k].push_back(blocks[i]);
        if (gap[i] < GRID_RESOLVED) {
            const int other = owner[nearest[i]];
            error = "floating conductor " + names[k] + (gap[i] < 1e-12 ? " touches " : " lies within the grid's resolution of ") +
                    (floating[other] ? "floating conductor " : "conductor ") + conductor_names[other] +
                    ": a floating conductor must keep clear of every other conductor (name joined metal as one conductor)";
            return false;
        }
        least[k] = std::min(least[k], gap[i]);
    }
    for (size_t k = 0; k < names.size(); ++k) {
        double extent = 0.0;
        for (const Cuboid* b : own[k])
            extent = std::max(extent, std::max(b->x1 - b->x0, std::max(b->y1 - b->y0, b->z1 - b->z0)));
        // Half way to the nearest other conductor, as a master's surface; no
        // farther than the conductor's size when it stands alone.
        double h = std::min(least[k] / 2, extent);
        // A face of the surface just off an interface would start walks in
        // small cubes with large weights: keep a quarter of the margin.
        auto near_interface = [&](double hh) {
            for (const Cuboid* b : own[k])
                for (const Layer& l : stack)
                    for (double z : {b->z0 - hh, b->z1 + hh})
                        if (std::fabs(z - l.pos) < 0.25 * hh && std::fabs(z - l.pos) > 1e-12)
                            return true;
            return false;
        };
        for (int tries = 0; tries < 30 && near_interface(h); ++tries)
            h *= 0.9;
        std::vector<Cuboid> grown;
        std::vector<FaceDivisors> dist;
        for (const Cuboid* b : own[k]) {
            grown.push_back(Cuboid(0, b->x0 - h, b->y0 - h, b->z0 - h, b->x1 + h, b->y1 + h, b->z1 + h));
            dist.push_back(GaussSurface::Divisors(*b, grown.back(), 1));
        }
        surfaces.emplace_back();
        if (!surfaces.back().Build(grown, dist, stack)) {
            error = "no Gaussian surface fits around floating conductor " + names[k] + " inside the dielectric stack";
            return false;
        }
        scale.push_back(cross * surfaces.back().total);

        // The shell reaches farther than the Gaussian surface: a walk put
        // back on it is nearer the other conductors than F and comes back
        // to F less often; its planes are part of the solve. Each face goes
        // as far as the room before it allows (a fill square has its
        // neighbours beside it but open oxide above and below).
        const std::array<double, 6> hs = ShellMargins(buckets, own[k], conductor[k], owner,
                                                      std::min(SHELL_REACH * least[k], extent), window, extent);
        margins.push_back(hs);
        Vector3 o(HUGE_GAP, HUGE_GAP, HUGE_GAP);
        for (const Cuboid* b : own[k])
            o = Vector3(std::min(o.x, b->x0), std::min(o.y, b->y0), std::min(o.z, b->z0));
        origin.push_back(o);
        auto nm = [](double v) { return std::llround(v * 1e6); };
        std::vector<long long> key;
        for (double m : hs)
            key.push_back(nm(m));
        std::vector<Cuboid> rel;
        double ztop = -HUGE_GAP;
        for (const Cuboid* b : own[k]) {
            rel.push_back(Cuboid(0, b->x0 - o.x, b->y0 - o.y, b->z0 - o.z, b->x1 - o.x, b->y1 - o.y, b->z1 - o.z));
            for (double v : {rel.back().x0, rel.back().y0, rel.back().z0, rel.back().x1, rel.back().y1, rel.back().z1})
                key.push_back(nm(v));
            ztop = std::max(ztop, b->z1);
        }
        // The medium: the planes that cut the shell and the permittivity
        // above each; bodies make every shell its own.
        std::vector<double> planes;
        for (const Layer& l : stack)
            if (l.pos > o.z - hs[4] && l.pos < ztop + hs[5]) {
                planes.push_back(l.pos - o.z);
                key.push_back(nm(l.pos - o.z));
            }
        auto layered = [&stack](double z) {
            for (size_t i = 1; i < stack.size(); ++i)
                if (stack[i].pos > z)
                    return stack[i].diel;
            return stack.empty() ? 1.0 : stack.back().diel;
        };
        for (double z : planes)
            key.push_back(std::llround(layered(z + o.z + 1e-9) * 1e9));
        key.push_back(std::llround(layered(o.z - hs[4] + 1e-9) * 1e9));
        if (body_eps)
            key.insert(key.end(), {nm(o.x), nm(o.y), nm(o.z)});
        const auto found = shell_by_key.find(key);
        if (found != shell_by_key.end()) {
            shell_of.push_back(found->second);
            continue;
        }
        ShellTable t;
        auto eps = [&](const Vector3& p) {
            const Vector3 q(p.x + o.x, p.y + o.y, p.z + o.z);
            return body_eps ? body_eps(q) : layered(q.z);
        };
        int made = -1;
        if (t.Solve(rel, hs, eps, planes, SHELL_LEVEL, SHELL_MAX_CELLS)) {
            made = (int)shells.size();
            shells.push_back(std::move(t));
        }
        shell_by_key[key] = made;
        shell_of.push_back(made);
    }
    all_shells = std::find(shell_of.begin(), shell_of.end(), -1) == shell_of.end();
    return true;
}

bool FloatingSet::OnInterface() const
{
    for (const GaussSurface& s : surfaces)
        if (s.on_interface)
            return true;
    return false;
}

void ContinuationPool::Size(int floating, long long walks)
{
    seen.assign(floating, 0);
    went.assign(floating, 0);
    net.assign(floating, 0.0);
    squares.assign(floating, 0.0);
    seen_list.clear();
    seen_list.reserve(floating);
    hits.clear();
    hits.reserve(walks);
    ends.clear();
    ends.reserve(walks);
}

bool ContinuationPool::GoOn(int k, double half_weight)
{
    if (seen[k]++ == 0)
        seen_list.push_back(k);
    net[k] += half_weight;
    squares[k] += half_weight * half_weight;
    // went < |net| / rms weight, squared.
    const bool go = seen[k] <= 2 || (double)went[k] * went[k] * squares[k] < net[k] * net[k] * seen[k];
    went[k] += go;
    return go;
}

void ContinuationPool::Fold(ChunkSums& out, const double* share)
{
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.k < b.k; });
    std::sort(ends.begin(), ends.end(),
              [](const End& a, const End& b) { return a.k < b.k || (a.k == b.k && a.slot < b.slot); });
    // The chunk's weight of a walk in stratum s within its stratified mean,
    // and the stratum that takes the correction of the squares (see below).
    int big = 0;
    for (int s = 1; s < CHUNK_STRATA; s++)
        if (out.count[s] * (share[s] > 0) > out.count[big] * (share[big] > 0))
            big = s;
    auto gamma = [&](int s) { return out.count[s] > 0 ? share[s] / (double)out.count[s] : 0.0; };
    size_t h = 0, e = 0;
    while (h < hits.size()) {
        const int k = hits[h].k;
        size_t h1 = h;
        double g = 0.0, d = 0.0;
        for (; h1 < hits.size() && hits[h1].k == k; h1++) {
            const double x = gamma(hits[h1].stratum) * hits[h1].half_weight;
            g += x;
            d += x * x;
        }
        while (e < ends.size() && ends[e].k < k)
            e++;
        size_t e1 = e;
        while (e1 < ends.size() && ends[e1].k == k)
            e1++;
        const double c = (double)(e1 - e);
        FATAL_CHECK(c > 0);  // the first absorption of each conductor goes on
        for (size_t j = e; j < e1;) {
            const int slot = ends[j].slot;
            size_t j1 = j;
            while (j1 < e1 && ends[j1].slot == slot)
                j1++;
            const double p = (double)(j1 - j) / c;
            for (size_t i = h; i < h1; i++)
                out.AddShare(hits[i].stratum, slot, hits[i].half_weight * p);
            // The squares above hold each walk's own share of the noise of
            // the estimate p; the walks share one p, so the chunk's variance
            // also has the cross terms (sum x)^2 - sum x^2 times p's
            // variance, estimated without bias from c >= 2 continuations
            // (a single one comes with a single walk: no cross term). It
            // goes into the squares of the chunk's largest stratum in that
            // stratum's units, the chunk standing for its share of the run;
            // a negative sum (weights of both signs cancelling) is left
            // out, which overstates the error a little.
            const double cross = (g * g - d) * (c > 1 ? p * (1.0 - p) / (c - 1.0) : 0.0);
            if (cross > 0.0 && out.count[big] > 0 && share[big] > 0) {
                const double unit = (double)out.count[big] / share[big];
                out.sum2[big * out.slots + slot] += cross * unit * unit;
            }
            j = j1;
        }
        for (size_t j = e; j < e1; j++)
            out.potentials.Add(k, ends[j].slot == 0 ? 1.0 : 0.0, 1.0);
        h = h1;
        e = e1;
    }
    for (int k : seen_list) {
        seen[k] = went[k] = 0;
        net[k] = squares[k] = 0.0;
    }
    seen_list.clear();
    hits.clear();
    ends.clear();
}
