static const char KORVA_SOURCE[] = "src/octree";

#include "octree.h"

#include <algorithm>
#include <array>
#include <deque>
#include <atomic>
#include <numeric>
#include <thread>
#include <iostream>
#include <queue>

#include "log.h"

namespace {

typedef BaseCuboid<int> GridBox;

// A grid box widened to 64 bits: growing a box by a reach of the order of
// the window side must not overflow.
class Box {
public:
    int64_t lo[3];
    int64_t hi[3];

    Box(const GridBox& b) : lo{b.x0, b.y0, b.z0}, hi{b.x1, b.y1, b.z1} {}
    Box() : lo{0, 0, 0}, hi{0, 0, 0} {}
};

bool Overlaps(const Box& c, const Box& b)
{
    for (int a = 0; a < 3; ++a)
        if (std::max(c.lo[a], b.lo[a]) >= std::min(c.hi[a], b.hi[a]))
            return false;
    return true;
}

// L-infinity distance between the boxes; 0 when they touch or overlap.
int64_t Gap(const Box& c, const Box& b)
{
    int64_t gap = 0;
    for (int a = 0; a < 3; ++a) {
        int64_t g = 0;
        if (c.hi[a] < b.lo[a])
            g = b.lo[a] - c.hi[a];
        else if (c.lo[a] > b.hi[a])
            g = c.lo[a] - b.hi[a];
        gap = std::max(gap, g);
    }
    return gap;
}

// Largest distance from c to a grid point of cell b.
int64_t Far(const Box& c, const Box& b)
{
    int64_t far = 0;
    for (int a = 0; a < 3; ++a)
        far = std::max(far, std::max(c.lo[a] - b.lo[a], b.hi[a] - c.hi[a]));
    return far;
}

// Sum of the per-axis reaches of Far: among blocks equally far in the
// L-infinity sense, the one centred on the cell dominates the most.
int64_t FarSum(const Box& c, const Box& b)
{
    int64_t sum = 0;
    for (int a = 0; a < 3; ++a)
        sum += std::max<int64_t>(0, std::max(c.lo[a] - b.lo[a], b.hi[a] - c.hi[a]));
    return sum;
}

// Makes c the cell's anchor when it bounds the cell's distances more tightly.
void Reanchor(Octree::OctreeNode& n, const Cuboid* c, const Box& cb, const Box& cell)
{
    const int64_t far = Far(cb, cell);
    if (far > n.reach_bound)
        return;
    if (far == n.reach_bound &&
        (!n.anchor || FarSum(cb, cell) >= FarSum(Box(ToGrid(*n.anchor)), cell)))
        return;
    n.reach_bound = far;
    n.anchor = c;
}

Box Grow(const Box& c, int64_t r)
{
    Box out;
    for (int a = 0; a < 3; ++a) {
        out.lo[a] = c.lo[a] - r;
        out.hi[a] = c.hi[a] + r;
    }
    return out;
}

// The part of leaf b within reach r of c.
Box Reach(const Box& c, int64_t r, const Box& b)
{
    Box out;
    for (int a = 0; a < 3; ++a) {
        out.lo[a] = std::max(c.lo[a] - r, b.lo[a]);
        out.hi[a] = std::min(c.hi[a] + r, b.hi[a]);
    }
    return out;
}

bool Within(const Box& inner, const Box& outer)
{
    for (int a = 0; a < 3; ++a)
        if (outer.lo[a] > inner.lo[a] || inner.hi[a] > outer.hi[a])
            return false;
    return true;
}

// True when no grid point of leaf b is nearer to `loser` than to `winner`.
// The part of b within reach r of `loser` lies inside winner grown by r
// either never or for every r from some value on, so testing the smallest
// reach that meets b, the gap itself, settles every r.
// As Dominates, with the loser's gap to b already known.
inline bool DominatesAtGap(const Box& winner, const Box& loser, const Box& b, int64_t d)
{
    return Within(Reach(loser, d, b), Grow(winner, d));
}

bool Dominates(const Box& winner, const Box& loser, const Box& b)
{
    return DominatesAtGap(winner, loser, b, Gap(loser, b));
}

// The mid planes of a cell: where its children meet, and the centre that
// picks the child of a point.
BaseVector3<int> Middle(const BaseCuboid<int>& b)
{
    return BaseVector3<int>((int)(((int64_t)b.x0 + b.x1) / 2), (int)(((int64_t)b.y0 + b.y1) / 2),
                            (int)(((int64_t)b.z0 + b.z1) / 2));
}

// Child k (0..7: bit 0 upper x, bit 1 upper y, bit 2 upper z) of cell b.
BaseCuboid<int> ChildBox(const BaseCuboid<int>& b, const BaseVector3<int>& mid, int k)
{
    return BaseCuboid<int>(0, (k & 1) ? mid.x : b.x0, (k & 2) ? mid.y : b.y0, (k & 4) ? mid.z : b.z0,
                           (k & 1) ? b.x1 : mid.x, (k & 2) ? b.y1 : mid.y, (k & 4) ? b.z1 : mid.z);
}

// Four 32-bit lanes: children 0-3 (lower half in z) in one, 4-7 in the
// other, so that the split tests a block against all eight children in a
// few vector operations. Grid differences inside the window fit 32 bits
// (FitsGrid).
typedef int32_t Lanes __attribute__((vector_size(16)));

inline Lanes All(int32_t v)
{
    return Lanes{v, v, v, v};
}

inline Lanes Max(Lanes a, Lanes b)
{
    return a > b ? a : b;
}

// Children of the upper half in x and in y, lane by lane.
const Lanes UPPER_X = {0, -1, 0, -1}, UPPER_Y = {0, 0, -1, -1};

// Lanes 0-3 of child k: the per-axis value of its half in x and in y, the
// larger of the two; v[axis][half], half 0 lower and 1 upper.
inline Lanes InPlane(const int32_t (&v)[3][2])
{
    return Max(UPPER_X ? All(v[0][1]) : All(v[0][0]), UPPER_Y ? All(v[1][1]) : All(v[1][0]));
}

// Bit k set where lane k is true.
inline unsigned Bits(Lanes t)
{
#ifdef __SSE2__
    return (unsigned)__builtin_ia32_movmskps((__attribute__((vector_size(16))) float)t);
#else
    return (unsigned)((t[0] & 1) | (t[1] & 2) | (t[2] & 4) | (t[3] & 8));
#endif
}

// Splits set among the 8 children of cell b: a child keeps the members that may
// be nearest somewhere in it. A member is dropped when the child's anchor
// (the member with the least farthest distance over the child) is strictly
// nearer everywhere in the child, or, for a member apart from the child, at
// least as near everywhere. Members touching the child always stay, so
// every block at distance 0 from a grid point of the child reaches the leaf
// rule. One pass finds the 8 anchors, a second sorts the members.
void Survivors(const BaseCuboid<int>& b, const std::vector<uint32_t>& set,
               const std::vector<BaseCuboid<int>>& grid, std::array<std::vector<uint32_t>, 8>& out)
{
    for (int k = 0; k < 8; ++k)
        out[k].clear();
    if (set.empty())
        return;
    const BaseVector3<int> m = Middle(b);
    const int32_t lo[3] = {b.x0, b.y0, b.z0}, hi[3] = {b.x1, b.y1, b.z1}, mid[3] = {m.x, m.y, m.z};
    // The anchor of child k: least farthest distance over the child, ties
    // to the least sum of per-axis reaches, then to the first member. Few
    // members beat a child's bound; one comparison per half shows which.
    Lanes bound[2] = {All(INT32_MAX), All(INT32_MAX)};
    int64_t bound_sum[8];
    uint32_t anchor[8];
    for (int k = 0; k < 8; ++k) {
        bound_sum[k] = INT64_MAX;
        anchor[k] = set[0];
    }
    for (uint32_t i : set) {
        const BaseCuboid<int>& c = grid[i];
        const int32_t clo[3] = {c.x0, c.y0, c.z0}, chi[3] = {c.x1, c.y1, c.z1};
        // Per axis and half (0 lower, 1 upper): the reach of Far.
        int32_t far[3][2];
        for (int a = 0; a < 3; ++a) {
            far[a][0] = std::max(0, std::max(clo[a] - lo[a], mid[a] - chi[a]));
            far[a][1] = std::max(0, std::max(clo[a] - mid[a], hi[a] - chi[a]));
        }
        const Lanes fxy = InPlane(far);
        for (int h = 0; h < 2; ++h) {
            const Lanes f = Max(fxy, All(far[2][h]));
            for (unsigned near = Bits(f <= bound[h]); near; near &= near - 1) {
                const int l = __builtin_ctz(near), k = 4 * h + l;
                const int64_t sum = (int64_t)far[0][k & 1] + far[1][(k >> 1) & 1] + far[2][h];
                if (f[l] < bound[h][l] || sum < bound_sum[k]) {
                    bound[h][l] = f[l];
                    bound_sum[k] = sum;
                    anchor[k] = i;
                }
            }
        }
    }
    // DominatesAtGap(anchor, c, child, g) per axis: the anchor grown by g
    // holds the child's part within g of c exactly when each side of c lies
    // within the anchor's side or g reaches the gap between the anchor's
    // side and the child's.
    Lanes a_lo[2][3], a_hi[2][3], need_lo[2][3], need_hi[2][3], anchor_of[2];
    for (int k = 0; k < 8; ++k) {
        const int h = k >> 2, l = k & 3;
        const BaseCuboid<int>& a = grid[anchor[k]];
        const BaseCuboid<int> child = ChildBox(b, m, k);
        const int32_t alo[3] = {a.x0, a.y0, a.z0}, ahi[3] = {a.x1, a.y1, a.z1};
        const int32_t dlo[3] = {child.x0, child.y0, child.z0}, dhi[3] = {child.x1, child.y1, child.z1};
        for (int x = 0; x < 3; ++x) {
            a_lo[h][x][l] = alo[x];
            a_hi[h][x][l] = ahi[x];
            need_lo[h][x][l] = alo[x] - dlo[x];
            need_hi[h][x][l] = dhi[x] - ahi[x];
        }
        anchor_of[h][l] = (int32_t)anchor[k];
    }
    for (uint32_t i : set) {
        const BaseCuboid<int>& c = grid[i];
        const int32_t clo[3] = {c.x0, c.y0, c.z0}, chi[3] = {c.x1, c.y1, c.z1};
        int32_t gap[3][2];
        for (int x = 0; x < 3; ++x) {
            gap[x][0] = std::max(0, std::max(clo[x] - mid[x], lo[x] - chi[x]));
            gap[x][1] = std::max(0, std::max(clo[x] - hi[x], mid[x] - chi[x]));
        }
        const Lanes gxy = InPlane(gap);
        unsigned keep = 0;
        for (int h = 0; h < 2; ++h) {
            const Lanes g = Max(gxy, All(gap[2][h]));
            Lanes dominated = (g > 0) & (anchor_of[h] != All((int32_t)i));
            for (int x = 0; x < 3; ++x)
                dominated &= ((All(clo[x]) >= a_lo[h][x]) | (g >= need_lo[h][x])) &
                             ((All(chi[x]) <= a_hi[h][x]) | (g >= need_hi[h][x]));
            keep |= Bits((g <= bound[h]) & ~dominated) << (4 * h);
        }
        for (; keep; keep &= keep - 1)
            out[__builtin_ctz(keep)].push_back(i);
    }
}

}  // namespace

std::ostream& skip(std::ostream& os, unsigned int n, char ch)
{
    for (unsigned int i = 0; i < n; ++i)
        os << ch;
    return os;
}

Octree::OctreeNode::OctreeNode(const BaseCuboid<int>& box_, OctreeNode* parent_, int32_t index_)
    : center(Middle(box_)), parent(parent_), box(box_), index(index_)
{
    box.id = 0;
}

Octree::OctreeNode::~OctreeNode()
{
    for (OctreeNode* child : children)
        delete child;
}

void Octree::OctreeNode::AppendCandidate(const Cuboid* c, const BaseCuboid<int>& g)
{
    cuboids.push_back(c);
    grid_boxes.push_back(g);
}

void Octree::OctreeNode::RemoveCandidate(size_t i)
{
    cuboids[i] = cuboids.back();
    cuboids.pop_back();
    grid_boxes[i] = grid_boxes.back();
    grid_boxes.pop_back();
}

void Octree::OctreeNode::ClearCandidates()
{
    cuboids.clear();
    grid_boxes.clear();
}

Octree::Octree(const BaseCuboid<int>& root_box, uint32_t capacity_, double min_ratio_)
    : root(new OctreeNode(root_box, nullptr, 0)), capacity(capacity_), min_ratio(min_ratio_)
{
}

Octree::~Octree()
{
    Clear();
}

void Octree::Clear()
{
    delete root;
    root = nullptr;
}

bool Octree::LeafRule(OctreeNode& leaf, const BaseCuboid<int>& g, bool exact)
{
    const Box b(leaf.box);
    const Box n(g);
    std::vector<BaseCuboid<int>>& boxes = leaf.grid_boxes;

    if (Overlaps(n, b)) {
        for (size_t i = 0; i < boxes.size();) {
            const Box c(boxes[i]);
            if (!Overlaps(c, b)) {
                int64_t r = Gap(c, b) + 1;
                if (Within(Reach(c, r, b), Grow(n, r)) && (!exact || Dominates(n, c, b))) {
                    leaf.RemoveCandidate(i);
                    continue;
                }
            }
            ++i;
        }
        return true;
    }

    const int64_t dn = Gap(n, b);
    const int64_t rn = dn + 1;
    const Box en = Reach(n, rn, b);
    for (size_t i = 0; i < boxes.size();) {
        const Box c(boxes[i]);
        if (Overlaps(c, b)) {
            if (Within(en, Grow(c, rn)) && (!exact || Dominates(c, n, b)))
                return false;
        } else {
            int64_t r = std::max(rn, Gap(c, b) + 1);
            Box ec = Reach(c, r, b);
            Box en2 = r > dn + 2 ? Reach(n, r, b) : en;
            if (Within(en2, ec)) {
                if (!exact || Dominates(c, n, b))
                    return false;
            } else if (Within(ec, en2) && (!exact || Dominates(n, c, b))) {
                leaf.RemoveCandidate(i);
                continue;
            }
        }
        ++i;
    }
    return true;
}

void Octree::UnsafeAddCuboidToLeaf(OctreeNode& leaf, const Cuboid* c)
{
    AddToLeaf(leaf, c, ToGrid(*c));
}

void Octree::AddToLeaf(OctreeNode& leaf, const Cuboid* c, const BaseCuboid<int>& g)
{
    if (leaf.IsLeaf() && LeafRule(leaf, g, exact_pruning))
        leaf.AppendCandidate(c, g);
}

void Octree::AddCuboid(const Cuboid* c)
{
    AddCuboid(root, c, true);
}

void Octree::AddCuboid(OctreeNode* start, const Cuboid* c, bool merge)
{
    const BaseCuboid<int> g = ToGrid(*c);
    const Box nb(g);
    std::queue<OctreeNode*> cells;
    cells.push(start);
    while (!cells.empty()) {
        OctreeNode* n = cells.front();
        cells.pop();
        const Box cell(n->box);
        const int64_t gap = Gap(nb, cell);
        if (gap > n->reach_bound)
            continue;
        if (gap > 0 && n->anchor && Dominates(Box(ToGrid(*n->anchor)), nb, cell))
            continue;
        Reanchor(*n, c, nb, cell);
        if (!n->IsLeaf()) {
            for (OctreeNode* child : n->children)
                cells.push(child);
            continue;
        }
        if (!LeafRule(*n, g, exact_pruning))
            continue;
        if (n->cuboids.size() == capacity && SplitNode(n)) {
            for (OctreeNode* child : n->children) {
                const Box child_box(child->box);
                child->reach_bound = n->reach_bound;
                for (size_t i = 0; i < n->cuboids.size(); ++i) {
                    Reanchor(*child, n->cuboids[i], Box(n->grid_boxes[i]), child_box);
                    AddToLeaf(*child, n->cuboids[i], n->grid_boxes[i]);
                }
                cells.push(child);
            }
            n->ClearCandidates();
            continue;
        }
        n->AppendCandidate(c, g);
        // May destroy n; the queue holds none of the destroyed cells (FIFO order).
        if (merge && n->index == 8)
            MergeUp(*n);
    }
}

// A subtree below the top levels, built into its own index.
struct Octree::FillJob {
    uint32_t cell;
    BaseCuboid<int> box;
    std::vector<uint32_t> set;
    LeafIndex sub;
};

// One builder's reusable space: the leaf the leaf rule fills, and per depth
// the eight children's lists, which keep their memory from cell to cell
// instead of growing afresh in every split.
struct Octree::FillScratch {
    OctreeNode leaf;
    // A deque, so that growing it for a deeper cell leaves the lists of the
    // cells above, which are being read, where they are.
    std::deque<std::array<std::vector<uint32_t>, 8>> kept;
    size_t depth = 0;

    explicit FillScratch(const BaseCuboid<int>& root) : leaf(root, nullptr, 0) {}
};

void Octree::Fill(const std::vector<const Cuboid*>& blocks, unsigned threads)
{
    std::vector<BaseCuboid<int>> grid(blocks.size());
    std::vector<uint32_t> all(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
        grid[i] = ToGrid(*blocks[i]);
        all[i] = (uint32_t)i;
    }
    index.Reset(root->box);
    // Generated decks of a million blocks need about 4 cells and 10
    // candidates per block.
    index.Reserve(6 * blocks.size() + 9, 12 * blocks.size() + 8);
    FillScratch top(root->box);
    if (threads <= 1) {
        FillCell(index, 0, root->box, top, all, blocks, grid);
        return;
    }
    // Each level below the root repeats every block about eight times, so
    // the top is cheap next to the subtrees; one level gives two threads
    // eight jobs, two give more threads sixty-four.
    std::vector<FillJob> jobs;
    FillCell(index, 0, root->box, top, all, blocks, grid, &jobs, threads <= 2 ? 1 : 2);
    std::vector<uint32_t>().swap(all);
    top.kept.clear();
    // Largest first, so that no thread is left with a big job at the end.
    std::vector<size_t> order(jobs.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return jobs[a].set.size() > jobs[b].set.size(); });
    std::atomic<size_t> next{0};
    auto work = [&]() {
        FillScratch scratch(root->box);
        for (size_t j; (j = next++) < order.size();) {
            FillJob& job = jobs[order[j]];
            job.sub.Reset(job.box);
            job.sub.Reserve(4 * job.set.size() + 9, 8 * job.set.size() + 8);
            FillCell(job.sub, 0, job.box, scratch, job.set, blocks, grid);
            std::vector<uint32_t>().swap(job.set);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads && t < jobs.size(); ++t)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
    for (FillJob& job : jobs) {
        index.Graft(job.cell, job.sub);
        job.sub = LeafIndex();
    }
}

void Octree::FillCell(LeafIndex& out, uint32_t cell, const BaseCuboid<int>& box, FillScratch& scratch,
                      const std::vector<uint32_t>& set, const std::vector<const Cuboid*>& blocks,
                      const std::vector<BaseCuboid<int>>& grid, std::vector<FillJob>* jobs,
                      int levels)
{
    // The leaf rule runs until the list outgrows the capacity, so a cell
    // costs at most capacity times its survivors before it splits.
    OctreeNode& leaf = scratch.leaf;
    leaf.box = box;
    leaf.ClearCandidates();
    bool split = false;
    for (uint32_t i : set) {
        AddToLeaf(leaf, blocks[i], grid[i]);
        if (leaf.cuboids.size() > capacity && MaySplit(box)) {
            split = true;
            break;
        }
    }
    if (!split) {
        out.SetLeaf(cell, leaf.cuboids.data(), leaf.grid_boxes.data(), leaf.cuboids.size());
        return;
    }
    const BaseVector3<int> mid = Middle(box);
    const uint32_t first = out.Split(cell, mid);
    if (scratch.kept.size() <= scratch.depth)
        scratch.kept.resize(scratch.depth + 1);
    std::array<std::vector<uint32_t>, 8>& kept = scratch.kept[scratch.depth];
    Survivors(box, set, grid, kept);
    ++scratch.depth;
    for (int k = 0; k < 8; ++k) {
        const BaseCuboid<int> child = ChildBox(box, mid, k);
        if (jobs && levels <= 1)
            jobs->push_back(FillJob{first + (uint32_t)k, child, kept[k], LeafIndex()});
        else
            FillCell(out, first + (uint32_t)k, child, scratch, kept[k], blocks, grid, jobs, levels - 1);
    }
    --scratch.depth;
}

void Octree::Freeze()
{
    index.Reset(root->box);
    FreezeCell(*root, 0);
}

void Octree::FreezeCell(const OctreeNode& n, uint32_t cell)
{
    if (n.IsLeaf()) {
        index.SetLeaf(cell, n.cuboids.data(), n.grid_boxes.data(), n.cuboids.size());
        return;
    }
    const uint32_t first = index.Split(cell, n.center);
    for (uint32_t k = 0; k < 8; ++k)
        FreezeCell(*n.children[k], first + k);
}

bool Octree::MaySplit(const BaseCuboid<int>& b) const
{
    int64_t half = ((int64_t)b.x1 - b.x0) / 2;
    int64_t root_side = (int64_t)root->box.x1 - root->box.x0;
    return min_half >= 0 ? half >= min_half
                         : !(min_ratio > ((double)half / 5000.0) / ((double)root_side / 5000.0));
}

bool Octree::SplitNode(OctreeNode* node)
{
    const BaseCuboid<int>& b = node->box;
    if (!MaySplit(b))
        return false;
    node->children.resize(8, nullptr);
    const BaseVector3<int> mid = Middle(b);
    for (int k = 1; k <= 8; ++k)
        node->children[k - 1] = new OctreeNode(ChildBox(b, mid, k - 1), node, k);
    return true;
}

void Octree::MergeUp(OctreeNode& node)
{
    if (!node.parent || node.index != 8 || !node.IsLeaf())
        return;
    OctreeNode* p = node.parent;
    std::vector<const Cuboid*> merged;
    std::vector<BaseCuboid<int>> merged_boxes;
    for (OctreeNode* child : p->children) {
        if (!child->IsLeaf() || child->cuboids.size() > capacity)
            return;
        for (size_t i = 0; i < child->cuboids.size(); ++i) {
            if (std::find(merged.begin(), merged.end(), child->cuboids[i]) != merged.end())
                continue;
            merged.push_back(child->cuboids[i]);
            merged_boxes.push_back(child->grid_boxes[i]);
        }
    }
    if (merged.size() > capacity)
        return;

    for (OctreeNode* child : p->children)
        delete child;
    p->children.clear();
    for (size_t i = 0; i < merged.size(); ++i)
        p->AppendCandidate(merged[i], merged_boxes[i]);
    MergeUp(*p);
}

void Octree::PrintOctree(OctreeNode& node, unsigned int depth) const
{
    const BaseCuboid<int>& b = node.box;
    skip(std::cout, depth, '\t') << '[' << b.x0 << ',' << b.y0 << ',' << b.z0 << "]:[" << b.x1
                                 << ',' << b.y1 << ',' << b.z1 << ']' << std::endl;
    if (!node.IsLeaf()) {
        for (OctreeNode* child : node.children)
            PrintOctree(*child, depth + 1);
        return;
    }
    for (const Cuboid* c : node.cuboids)
        skip(std::cout, depth + 1, '\t') << '(' << c->x0 << ',' << c->y0 << ',' << c->z0 << "):("
                                         << c->x1 << ',' << c->y1 << ',' << c->z1 << ')'
                                         << std::endl;
}
