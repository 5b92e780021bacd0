#include <gtest/gtest.h>

#include <array>
#include <sstream>

#include "octree.h"
#include "space_util.h"

namespace {

typedef Octree::OctreeNode Node;

// Offers blocks (grid units) in turn to the single leaf of a tree over
// [0,100]^3 that never splits; `kept` lists the survivors by offer index.
TEST(LeafRule, KeepsExactlyTheBlocksThatMayBeNearest)
{
    typedef std::array<int, 6> G;
    struct Row {
        const char* label;
        std::vector<G> blocks;
        std::vector<int> offers, kept;
        bool exact;
    } rows[] = {
        {"first block anywhere", {{5000, 5000, 5000, 5100, 5100, 5100}}, {0}, {0}, true},
        {"overlapping block drops a dominated outside one",
         {{150, 0, 0, 160, 100, 100}, {80, -10, -10, 95, 110, 110}}, {0, 1}, {1}, true},
        {"overlapping residents stay", {{10, 10, 10, 20, 20, 20}, {0, 0, 0, 100, 100, 100}}, {0, 1}, {0, 1}, true},
        {"face-touching counts as outside", {{0, 0, 0, 100, 100, 100}, {100, 0, 0, 110, 100, 100}}, {0, 1}, {0}, true},
        {"face-touching beside a corner block", {{0, 0, 0, 10, 10, 10}, {100, 0, 0, 110, 100, 100}}, {0, 1}, {0, 1}, true},
        {"same reach keeps the resident",
         {{200, 0, 0, 300, 100, 100}, {200, -50, 0, 400, 150, 100}, {200, 0, 0, 300, 100, 100}}, {0, 1, 2}, {0}, true},
        // Removal moves the last candidate into the slot and tests it again.
        {"removal rescans the slot",
         {{120, 50, -10, 130, 150, 110}, {0, 0, 0, 10, 10, 10}, {120, -50, -10, 130, 50, 110}, {90, -10, -10, 95, 110, 110}},
         {0, 1, 2, 3}, {1, 3}, true},
        {"nearer outside block wins", {{300, 0, 0, 310, 100, 100}, {150, -10, -10, 160, 110, 110}}, {0, 1, 0}, {1}, true},
        // At distance 0 from the x = 100 face, which the inside block misses by one cell.
        {"touching block survives", {{100, 40, 40, 110, 60, 60}, {50, 30, 30, 99, 70, 70}}, {0, 1}, {0, 1}, true},
        {"single-reach rule drops it", {{100, 40, 40, 110, 60, 60}, {50, 30, 30, 99, 70, 70}}, {0, 1}, {1}, false},
        {"nearer on a face survives a cover one cell farther",
         {{-20, -50, -50, -10, 150, 150}, {11, 11, 11, 12, 89, 89}}, {0, 1}, {0, 1}, true},
    };
    for (const Row& row : rows) {
        Octree tree(BaseCuboid<int>(0, 0, 0, 0, 100, 100, 100), 5, 2.0);
        tree.exact_pruning = row.exact;
        std::vector<Cuboid> blocks;
        for (const G& g : row.blocks)
            blocks.push_back(GridBlock((int)blocks.size(), g[0], g[1], g[2], g[3], g[4], g[5]));
        for (int i : row.offers)
            tree.UnsafeAddCuboidToLeaf(*tree.root, &blocks[i]);
        std::vector<const Cuboid*> expected;
        for (int i : row.kept)
            expected.push_back(&blocks[i]);
        EXPECT_EQ(tree.root->cuboids, expected) << row.label;
        ASSERT_EQ(tree.root->grid_boxes.size(), expected.size()) << row.label;
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(tree.root->grid_boxes[i].x0, ToGrid(*expected[i]).x0) << row.label;
    }
}

TEST(Octree, SplitNodeBuildsChildrenInOrderWithTruncatedMidPlanes)
{
    Octree tree(BaseCuboid<int>(0, -5, -5, -5, 0, 0, 1), 5, 0.0);
    EXPECT_EQ(tree.root->center.x, -2);
    EXPECT_EQ(tree.root->center.z, -2);
    ASSERT_TRUE(tree.SplitNode(tree.root));
    ASSERT_EQ(tree.root->children.size(), 8u);
    for (int k = 1; k <= 8; ++k) {
        const Node* c = tree.root->children[k - 1];
        int bits = k - 1;
        EXPECT_EQ(c->index, k);
        EXPECT_EQ(c->parent, tree.root);
        EXPECT_TRUE(c->IsLeaf());
        EXPECT_EQ(c->box.x0, (bits & 1) ? -2 : -5);
        EXPECT_EQ(c->box.x1, (bits & 1) ? 0 : -2);
        EXPECT_EQ(c->box.y0, (bits & 2) ? -2 : -5);
        EXPECT_EQ(c->box.y1, (bits & 2) ? 0 : -2);
        EXPECT_EQ(c->box.z0, (bits & 4) ? -2 : -5);
        EXPECT_EQ(c->box.z1, (bits & 4) ? 1 : -2);
    }
    EXPECT_EQ(tree.root->children[0]->center.x, -3);  // -7 / 2 truncates toward zero
    EXPECT_EQ(tree.root->children[7]->center.z, 0);

    // Blocks offered to an inner node go nowhere.
    Cuboid c = GridBlock(1, -5, -5, -5, -4, -4, -4);
    tree.UnsafeAddCuboidToLeaf(*tree.root, &c);
    EXPECT_TRUE(tree.root->cuboids.empty());
    for (Node* child : tree.root->children)
        EXPECT_TRUE(child->cuboids.empty());
}

TEST(Octree, SplitRefusalTestsOnlyTheXExtentAgainstMinRatio)
{
    // Children would be half the root: allowed at 0.5, refused above.
    Octree at(BaseCuboid<int>(0, 0, 0, 0, 10000, 10, 10), 5, 0.5);
    EXPECT_TRUE(at.SplitNode(at.root));
    Octree above(BaseCuboid<int>(0, 0, 0, 0, 10000, 10000, 10000), 5, 0.5000001);
    EXPECT_FALSE(above.SplitNode(above.root));
    EXPECT_TRUE(above.root->children.empty());
}

TEST(Octree, LeafAtMinimumSizeGrowsPastCapacity)
{
    Octree tree(BaseCuboid<int>(0, 0, 0, 0, 100000, 100000, 100000), 5, 0.6);
    Deck deck;
    for (int i = 0; i < 9; ++i)
        deck.Add(GridBlock(0, 10000 * i, 0, 0, 10000 * i + 5000, 5000, 5000));
    for (const Cuboid* c : deck.blocks)
        tree.AddCuboid(c);
    EXPECT_TRUE(tree.root->IsLeaf());
    EXPECT_EQ(tree.root->cuboids, deck.blocks);
}

// Six small cubes at the centres of octants 1..6 of a root that may split
// once; the sixth splits it. The lists were worked out by hand.
TEST(Octree, SplitRedistributesWithTheLeafRule)
{
    Octree tree(BaseCuboid<int>(0, 0, 0, 0, 10000, 10000, 10000), 5, 0.5);
    Deck deck;
    for (int k = 0; k < 6; ++k) {
        int x = (k & 1) ? 7000 : 2000, y = (k & 2) ? 7000 : 2000, z = (k & 4) ? 7000 : 2000;
        deck.Add(GridBlock(0, x, y, z, x + 1000, y + 1000, z + 1000));
        tree.AddCuboid(deck.blocks[k]);
        ASSERT_EQ(tree.root->IsLeaf(), k < 5);
    }
    EXPECT_TRUE(tree.root->cuboids.empty());
    const std::vector<std::vector<int>> expected = {{0}, {1}, {2}, {3}, {4}, {5}, {2, 4}, {3, 5}};
    for (int k = 0; k < 8; ++k) {
        std::vector<const Cuboid*> list;
        for (int i : expected[k])
            list.push_back(deck.blocks[i]);
        EXPECT_TRUE(tree.root->children[k]->IsLeaf());
        EXPECT_EQ(tree.root->children[k]->cuboids, list) << "child " << k + 1;
    }
}

TEST(Octree, PrintOctreeUsesSixSignificantDigitsAndNegativeBoxes)
{
    Octree tree(BaseCuboid<int>(0, -10, -20, -30, 10, 20, 30), 5, 0.0);
    Cuboid c(0, -2.5, 1e-05, 1.23456789, 123456789.0, 0.1, 3);
    tree.root->AppendCandidate(&c, ToGrid(Cuboid(0, 0, 0, 0, 1, 1, 1)));
    testing::internal::CaptureStdout();
    tree.PrintOctree(*tree.root, 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\t\t[-10,-20,-30]:[10,20,30]\n\t\t\t(-2.5,1e-05,1.23457):(1.23457e+08,0.1,3)\n");
    std::ostringstream os;
    skip(os, 3, '*') << '|';
    EXPECT_EQ(os.str(), "***|");
}

TEST(Octree, InsertionEndingInChildEightMergesCountingSharedBlocksOnce)
{
    Octree tree(BaseCuboid<int>(0, 0, 0, 0, 100000, 100000, 100000), 5, 0.0);
    ASSERT_TRUE(tree.SplitNode(tree.root));
    ASSERT_TRUE(tree.SplitNode(tree.root->children[7]));
    Cuboid c = GridBlock(1, 10, 10, 10, 20, 20, 20);
    tree.AddCuboid(&c);  // every leaf takes c; the grandchild 8 merges up twice
    EXPECT_TRUE(tree.root->IsLeaf());
    EXPECT_EQ(tree.root->cuboids, std::vector<const Cuboid*>{&c});

    Octree kept(BaseCuboid<int>(0, 0, 0, 0, 100000, 100000, 100000), 5, 0.0);
    ASSERT_TRUE(kept.SplitNode(kept.root));
    kept.AddCuboid(kept.root, &c, false);
    ASSERT_EQ(kept.root->children.size(), 8u);
    for (Node* child : kept.root->children)
        EXPECT_EQ(child->cuboids, std::vector<const Cuboid*>{&c});
}

TEST(Octree, MergeUpNeedsEightLeafSiblingsWithAtMostFiveDistinctBlocks)
{
    Deck deck;
    for (int i = 0; i < 7; ++i)
        deck.Add(GridBlock(0, 1000 * i, 0, 0, 1000 * i + 10, 10, 10));
    // Blocks per child 1..8; `merges` tells whether MergeUp from child 8 merges.
    struct Row {
        std::vector<std::vector<int>> lists;
        bool split_sibling, merges;
    } rows[] = {
        {{{1}, {2}, {3, 0}, {4}, {0}, {1}, {2}, {3}}, false, true},
        {{{1}, {2}, {3}, {4}, {5}, {0}, {1}, {2}}, false, false},
        {{{}, {}, {}, {}, {}, {}, {}, {0}}, true, false},
    };
    for (const Row& row : rows) {
        Octree tree(BaseCuboid<int>(0, 0, 0, 0, 100000, 100000, 100000), 5, 0.0);
        ASSERT_TRUE(tree.SplitNode(tree.root));
        for (int k = 0; k < 8; ++k)
            for (int b : row.lists[k])
                tree.root->children[k]->AppendCandidate(deck.blocks[b], ToGrid(*deck.blocks[b]));
        if (row.split_sibling) {
            ASSERT_TRUE(tree.SplitNode(tree.root->children[2]));
        }
        tree.MergeUp(*tree.root->children[7]);
        EXPECT_EQ(tree.root->IsLeaf(), row.merges);
        if (row.merges) {
            EXPECT_EQ(tree.root->cuboids.size(), 5u);
            ASSERT_EQ(tree.root->grid_boxes.size(), 5u);
            for (size_t i = 0; i < 5; ++i)
                EXPECT_EQ(tree.root->grid_boxes[i].x0, ToGrid(tree.root->cuboids[i]->x0));
        }
    }
    // Only child 8 merges, and the root has no parent.
    Octree other(BaseCuboid<int>(0, 0, 0, 0, 100000, 100000, 100000), 5, 0.0);
    ASSERT_TRUE(other.SplitNode(other.root));
    other.MergeUp(*other.root->children[6]);
    other.MergeUp(*other.root);
    EXPECT_EQ(other.root->children.size(), 8u);
}

}  // namespace
