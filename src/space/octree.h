// Octree over the conductor blocks on the integer grid. Every leaf keeps a
// short list of the blocks that can be nearest (L-infinity) to some point of
// the leaf; blocks dominated everywhere in the leaf by another are pruned.
#pragma once

#include <cstdint>
#include <climits>
#include <ostream>
#include <vector>

#include "geometry.h"
#include "leafindex.h"

// Writes ch n times; returns os.
std::ostream& skip(std::ostream& os, unsigned int n, char ch);

class Octree {
public:
    class OctreeNode {
    public:
        BaseVector3<int> center;
        OctreeNode* parent = nullptr;
        std::vector<OctreeNode*> children;  // empty, or 8 owned cells in child order
        std::vector<const Cuboid*> cuboids;  // candidates of a leaf; not owned
        BaseCuboid<int> box;
        int32_t index = 0;  // 1..8 among the parent's children, 0 for the root
        // The grid boxes of `cuboids`, slot for slot, so that neither the
        // build nor a query converts a block more than once.
        std::vector<BaseCuboid<int>> grid_boxes;
        // No grid point of the cell is farther than this from the nearest
        // block offered to it so far (grid units): a block whose gap to the
        // cell exceeds it is strictly farther than that block everywhere in
        // the cell, so insertion passes the whole subtree by.
        int64_t reach_bound = INT64_MAX;
        // The block that set reach_bound. A block outside the cell that it
        // dominates everywhere in the cell is passed by too.
        const Cuboid* anchor = nullptr;

        OctreeNode(const BaseCuboid<int>& box_, OctreeNode* parent_, int32_t index_);
        ~OctreeNode();
        OctreeNode(const OctreeNode&) = delete;
        OctreeNode& operator=(const OctreeNode&) = delete;

        bool IsLeaf() const { return children.empty(); }
        void AppendCandidate(const Cuboid* c, const BaseCuboid<int>& g);
        // Moves the last candidate into slot i and shortens the list.
        void RemoveCandidate(size_t i);
        void ClearCandidates();
    };

    OctreeNode* root = nullptr;
    // What queries read: filled by Fill, or copied from the cells by Freeze.
    LeafIndex index;
    uint32_t capacity = 5;
    double min_ratio = 0.0;
    // Prune a candidate only when the pruning block is at least as near at
    // every grid point of the leaf. The single-reach dominance tests alone
    // drop blocks that are strictly nearest to some points of a leaf (a
    // block at gap 10 beside a leaf loses to one at gap 11 that covers the
    // same face), which would let a transition cube swallow a conductor.
    // Off only to reproduce that fault in tests.
    bool exact_pruning = true;
    // When >= 0, a leaf splits only while its children's half side would be
    // at least this many grid units, in place of the min_ratio rule.
    int64_t min_half = -1;

    Octree() = default;
    Octree(const BaseCuboid<int>& root_box, uint32_t capacity_, double min_ratio_);
    ~Octree();
    Octree(const Octree&) = delete;
    Octree& operator=(const Octree&) = delete;

    void AddCuboid(const Cuboid* c);
    // Builds the index from every block at once, top down, over the root's
    // box: each cell keeps the blocks that no single block dominates there,
    // and a cell splits only while the leaf rule leaves it more than
    // `capacity` candidates. Leaf lists follow the blocks' order. The cells
    // are left as they are: a million blocks make millions of leaves, which
    // only the index holds. With threads > 1 the subtrees below the top
    // levels are built side by side and grafted in child order: the same
    // tree, the same answers.
    void Fill(const std::vector<const Cuboid*>& blocks, unsigned threads = 1);
    // Copies the cells into the index, for trees grown by AddCuboid or by hand.
    void Freeze();
    void AddCuboid(OctreeNode* start, const Cuboid* c, bool merge);
    void UnsafeAddCuboidToLeaf(OctreeNode& leaf, const Cuboid* c);
    bool SplitNode(OctreeNode* node);
    // Whether the size rule lets a cell of box b split.
    bool MaySplit(const BaseCuboid<int>& b) const;
    void MergeUp(OctreeNode& node);
    void PrintOctree(OctreeNode& node, unsigned int depth) const;
    // Destroys every cell; the tree is empty (root null) afterwards.
    void Clear();

    // The leaf rule: offers a block with grid box g to leaf, pruning dominated
    // candidates; returns whether it belongs in the leaf. Does not append it.
    static bool LeafRule(OctreeNode& leaf, const BaseCuboid<int>& g, bool exact);

private:
    struct FillJob;
    struct FillScratch;
    // `scratch` holds one builder's reused lists. With `jobs`, the children
    // `levels` below this cell are left as jobs.
    void FillCell(LeafIndex& out, uint32_t cell, const BaseCuboid<int>& box, FillScratch& scratch,
                  const std::vector<uint32_t>& set, const std::vector<const Cuboid*>& blocks,
                  const std::vector<BaseCuboid<int>>& grid, std::vector<FillJob>* jobs = nullptr,
                  int levels = 0);
    void FreezeCell(const OctreeNode& n, uint32_t cell);
    void AddToLeaf(OctreeNode& leaf, const Cuboid* c, const BaseCuboid<int>& g);
};
