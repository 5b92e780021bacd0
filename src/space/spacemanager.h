// Nearest-conductor queries of the random walk, answered from the octree
// leaf that holds the query point.
#pragma once

#include <deque>
#include <tuple>
#include <vector>

#include "geometry.h"
#include "octree.h"

class Spacemanager : public Octree {
public:
    const Cuboid* master = nullptr;  // not owned; read by the Gaussian surface
    // Boxes made by Build from blocks of one conductor that line up (owned).
    std::deque<Cuboid> joined;
    // A block each joined box was made from: when the ids of the deck's
    // blocks are rewritten for another master, the joined boxes follow.
    std::vector<const Cuboid*> joined_from;

    Spacemanager(const BaseCuboid<int>& root_box, uint32_t capacity_, double min_ratio_);

    // Grows window in place to hold the cube of radius H = 5 D about the
    // centre of the blocks' bounding box (D its largest extent); returns H.
    // Without blocks the window stays as it is.
    static double EnlargeWindow(const std::vector<const Cuboid*>& cuboids, Cuboid& window);
    // Whether every grid coordinate of window, doubled, fits in a 32-bit int,
    // so that differences of grid coordinates inside it cannot overflow.
    static bool FitsGrid(const Cuboid& window);
    // Enlarges window, creates the manager over it (capacity 5, min_ratio
    // 1 / H), sets block 0 as master and inserts every block in order, but
    // blocks of one conductor that line up into one box as that box.
    // Returns null, with the window already enlarged, when the enlarged
    // window does not fit the grid.
    static Spacemanager* Build(const std::vector<const Cuboid*>& cuboids, Cuboid& window,
                               bool geometry_leaves = true);
    // Smallest half side a leaf may split to: a fraction of the smallest
    // block extent, so that leaves shrink with the geometry rather than
    // stopping at a fixed share of the window.
    static int64_t LeafFloor(const std::vector<const Cuboid*>& cuboids);
    static constexpr int64_t LEAF_FLOOR_MIN = 8;
    static constexpr uint32_t GEOMETRY_CAPACITY = 8;
    static constexpr int64_t LEAF_FLOOR_DIVISOR = 2;

    // The blocks in order, where blocks of one conductor with the same
    // extent on two axes (within 1e-12) that overlap or touch on the third
    // stand as their union, in the place of the first of them; joined boxes
    // go to store. Grid distances to the nearest block and the conductor hit
    // are unchanged.
    static std::vector<const Cuboid*> JoinBlocks(const std::vector<const Cuboid*>& cuboids,
                                                 std::deque<Cuboid>& store,
                                                 std::vector<const Cuboid*>& from);
    // Gives every joined box the current id of its conductor's blocks.
    void SyncJoinedIds();

    // Inserts c into the cells and copies them into the index: for small
    // trees built by hand (Build inserts without copying each time).
    void AddCuboid(const Cuboid* c);
    void SetMaster(const Cuboid* c);

    // Largest conductor-free cube about p (radius 0 on or in a block). p
    // must lie in the solver space.
    const Cube GetDomainCubic(const Vector3& p) const;
    // The same for p on face `face` of the box that starts were built for.
    const Cube GetDomainCubic(const Vector3& p, const FaceStarts& starts, int face) const;
    double GetMaxBall(const Vector3& p) const;
    // The radius GetDomainCubic gives p from these candidates of its leaf.
    static double Clearance(const Cuboid* const* blocks, size_t n, const Vector3& p);
    // Both: the descent begins at the root, or at p's square of `starts`.
    const Cube CubeFrom(const Vector3& p, const FaceStarts* starts, int face) const;
    // Nearest block to g and its grid distance; dist -2147483647 and null
    // outside the solver space, 2147483647 and null for an empty leaf.
    const Cuboid* SearchNearestCuboid(const BaseVector3<int>& g, int& dist) const
    {
        return index.Nearest(g, dist);
    }
    // The same for the next point of a walk: hint holds the walk's last leaf.
    const Cuboid* SearchNearestCuboid(const BaseVector3<int>& g, int& dist, LeafIndex::Hint& hint) const
    {
        return index.Nearest(g, dist, hint);
    }
};
