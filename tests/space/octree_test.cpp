#include <gtest/gtest.h>

#include <sstream>

#include "octree.h"
#include "space_util.h"

namespace {

typedef Octree::OctreeNode Node;

// A single-leaf tree over the grid box [0,100]^3 that never splits.
class LeafRuleTest : public ::testing::Test {
protected:
    Octree tree{BaseCuboid<int>(0, 0, 0, 0, 100, 100, 100), 5, 2.0};
    Node& leaf = *tree.root;

    void Offer(const Cuboid& c) { tree.UnsafeAddCuboidToLeaf(leaf, &c); }
    std::vector<const Cuboid*> List() const { return leaf.cuboids; }
};

TEST_F(LeafRuleTest, FirstBlockIsAcceptedWhereverItIs)
{
    Cuboid far = GridBlock(1, 5000, 5000, 5000, 5100, 5100, 5100);
    Offer(far);
    EXPECT_EQ(List(), std::vector<const Cuboid*>{&far});
    ASSERT_EQ(leaf.grid_boxes.size(), 1u);
    EXPECT_EQ(leaf.grid_boxes[0].x0, 5000);
}

TEST_F(LeafRuleTest, OverlappingBlockRemovesOutsideBlockItDominates)
{
    Cuboid outside = GridBlock(1, 150, 0, 0, 160, 100, 100);  // gap 50 beyond x = 100
    Cuboid inside = GridBlock(2, 80, -10, -10, 95, 110, 110);
    Offer(outside);
    Offer(inside);
    EXPECT_EQ(List(), std::vector<const Cuboid*>{&inside});
}

TEST_F(LeafRuleTest, OverlappingResidentsAlwaysStay)
{
    Cuboid small = GridBlock(1, 10, 10, 10, 20, 20, 20);
    Cuboid big = GridBlock(2, 0, 0, 0, 100, 100, 100);
    Offer(small);
    Offer(big);
    EXPECT_EQ(List(), (std::vector<const Cuboid*>{&small, &big}));
}

TEST_F(LeafRuleTest, FaceTouchingBlockIsTreatedAsOutside)
{
    Cuboid whole = GridBlock(1, 0, 0, 0, 100, 100, 100);
    Cuboid touching = GridBlock(2, 100, 0, 0, 110, 100, 100);
    Offer(whole);
    Offer(touching);  // its face lies inside `whole`: rejected
    EXPECT_EQ(List(), std::vector<const Cuboid*>{&whole});

    Cuboid corner = GridBlock(3, 0, 0, 0, 10, 10, 10);
    Octree other(BaseCuboid<int>(0, 0, 0, 0, 100, 100, 100), 5, 2.0);
    other.UnsafeAddCuboidToLeaf(*other.root, &corner);
    other.UnsafeAddCuboidToLeaf(*other.root, &touching);
    EXPECT_EQ(other.root->cuboids, (std::vector<const Cuboid*>{&corner, &touching}));
}

TEST_F(LeafRuleTest, IdenticalInfluenceKeepsTheResident)
{
    Cuboid resident = GridBlock(1, 200, 0, 0, 300, 100, 100);
    Cuboid wider = GridBlock(2, 200, -50, 0, 400, 150, 100);  // same reach inside the leaf
    Cuboid copy = GridBlock(3, 200, 0, 0, 300, 100, 100);
    Offer(resident);
    Offer(wider);
    Offer(copy);
    EXPECT_EQ(List(), std::vector<const Cuboid*>{&resident});
}

TEST_F(LeafRuleTest, RemovalMovesTheLastCandidateIntoTheSlotAndRescansIt)
{
    Cuboid far1 = GridBlock(1, 120, 50, -10, 130, 150, 110);  // gap 20, upper half in y
    Cuboid inner = GridBlock(2, 0, 0, 0, 10, 10, 10);
    Cuboid far2 = GridBlock(3, 120, -50, -10, 130, 50, 110);  // gap 20, lower half in y
    Cuboid near = GridBlock(4, 90, -10, -10, 95, 110, 110);
    Offer(far1);
    Offer(inner);
    Offer(far2);
    ASSERT_EQ(List(), (std::vector<const Cuboid*>{&far1, &inner, &far2}));
    Offer(near);
    EXPECT_EQ(List(), (std::vector<const Cuboid*>{&inner, &near}));
    EXPECT_EQ(leaf.grid_boxes[0].x0, 0);
    EXPECT_EQ(leaf.grid_boxes[1].x0, 90);
}

TEST_F(LeafRuleTest, NearerOutsideBlockRemovesAFartherOne)
{
    Cuboid far = GridBlock(1, 300, 0, 0, 310, 100, 100);
    Cuboid near = GridBlock(2, 150, -10, -10, 160, 110, 110);
    Offer(far);
    Offer(near);
    EXPECT_EQ(List(), std::vector<const Cuboid*>{&near});
    Offer(far);  // and a farther one is rejected
    EXPECT_EQ(List(), std::vector<const Cuboid*>{&near});
}

// A block touching the leaf face is at distance 0 from the points of that
// face; an overlapping block one cell away must not prune it.
TEST_F(LeafRuleTest, TouchingBlockIsNotPrunedByOneThatMissesTheFace)
{
    Cuboid touching = GridBlock(1, 100, 40, 40, 110, 60, 60);
    Cuboid inside = GridBlock(2, 50, 30, 30, 99, 70, 70);
    Offer(touching);
    Offer(inside);
    EXPECT_EQ(List(), (std::vector<const Cuboid*>{&touching, &inside}));

    // The single-reach test alone drops it.
    Octree loose(BaseCuboid<int>(0, 0, 0, 0, 100, 100, 100), 5, 2.0);
    loose.exact_pruning = false;
    loose.UnsafeAddCuboidToLeaf(*loose.root, &touching);
    loose.UnsafeAddCuboidToLeaf(*loose.root, &inside);
    EXPECT_EQ(loose.root->cuboids, std::vector<const Cuboid*>{&inside});
}

TEST_F(LeafRuleTest, BlockNearerOnAFaceSurvivesABlockThatCoversItOneCellFarther)
{
    Cuboid beside = GridBlock(1, -20, -50, -50, -10, 150, 150);  // gap 10, covers the x = 0 face
    Cuboid inside = GridBlock(2, 11, 11, 11, 12, 89, 89);         // 11 from the corners
    Offer(beside);
    Offer(inside);
    EXPECT_EQ(List(), (std::vector<const Cuboid*>{&beside, &inside}));
}

TEST(Octree, UnsafeAddIgnoresInnerNodes)
{
    Octree tree(BaseCuboid<int>(0, 0, 0, 0, 100, 100, 100), 5, 0.0);
    ASSERT_TRUE(tree.SplitNode(tree.root));
    Cuboid c = GridBlock(1, 0, 0, 0, 10, 10, 10);
    tree.UnsafeAddCuboidToLeaf(*tree.root, &c);
    EXPECT_TRUE(tree.root->cuboids.empty());
    for (Node* child : tree.root->children)
        EXPECT_TRUE(child->cuboids.empty());
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

// Six small cubes at the centres of octants 1..6 of a 2-unit root that may
// split once. The sixth insertion splits the root; the lists that the leaf
// rule leaves in each child were worked out by hand.
class SixOctants : public ::testing::Test {
protected:
    Octree tree{BaseCuboid<int>(0, 0, 0, 0, 10000, 10000, 10000), 5, 0.5};
    Deck deck;

    void SetUp() override
    {
        for (int k = 0; k < 6; ++k) {
            int x = (k & 1) ? 7000 : 2000, y = (k & 2) ? 7000 : 2000, z = (k & 4) ? 7000 : 2000;
            deck.Add(GridBlock(0, x, y, z, x + 1000, y + 1000, z + 1000));
        }
        for (int k = 0; k < 5; ++k)
            tree.AddCuboid(deck.blocks[k]);
    }
    const Cuboid* B(int k) const { return deck.blocks[k - 1]; }
};

TEST_F(SixOctants, SplitRedistributesWithTheLeafRuleAndQueuesTheNewBlock)
{
    ASSERT_TRUE(tree.root->IsLeaf());
    ASSERT_EQ(tree.root->cuboids.size(), 5u);
    tree.AddCuboid(B(6));
    ASSERT_EQ(tree.root->children.size(), 8u);
    EXPECT_TRUE(tree.root->cuboids.empty());
    typedef std::vector<const Cuboid*> L;
    const L expected[8] = {{B(1)}, {B(2)}, {B(3)}, {B(4)}, {B(5)}, {B(6)}, {B(3), B(5)}, {B(4), B(6)}};
    for (int k = 0; k < 8; ++k) {
        EXPECT_TRUE(tree.root->children[k]->IsLeaf());
        EXPECT_EQ(tree.root->children[k]->cuboids, expected[k]) << "child " << k + 1;
    }
}

TEST_F(SixOctants, PrintOctreeWritesBoxesAndCandidatesByDepth)
{
    tree.AddCuboid(B(6));
    testing::internal::CaptureStdout();
    tree.PrintOctree(*tree.root, 0);
    std::string out = testing::internal::GetCapturedStdout();
    const char* expected =
        "[0,0,0]:[10000,10000,10000]\n"
        "\t[0,0,0]:[5000,5000,5000]\n"
        "\t\t(0.4,0.4,0.4):(0.6,0.6,0.6)\n"
        "\t[5000,0,0]:[10000,5000,5000]\n"
        "\t\t(1.4,0.4,0.4):(1.6,0.6,0.6)\n"
        "\t[0,5000,0]:[5000,10000,5000]\n"
        "\t\t(0.4,1.4,0.4):(0.6,1.6,0.6)\n"
        "\t[5000,5000,0]:[10000,10000,5000]\n"
        "\t\t(1.4,1.4,0.4):(1.6,1.6,0.6)\n"
        "\t[0,0,5000]:[5000,5000,10000]\n"
        "\t\t(0.4,0.4,1.4):(0.6,0.6,1.6)\n"
        "\t[5000,0,5000]:[10000,5000,10000]\n"
        "\t\t(1.4,0.4,1.4):(1.6,0.6,1.6)\n"
        "\t[0,5000,5000]:[5000,10000,10000]\n"
        "\t\t(0.4,1.4,0.4):(0.6,1.6,0.6)\n"
        "\t\t(0.4,0.4,1.4):(0.6,0.6,1.6)\n"
        "\t[5000,5000,5000]:[10000,10000,10000]\n"
        "\t\t(1.4,1.4,0.4):(1.6,1.6,0.6)\n"
        "\t\t(1.4,0.4,1.4):(1.6,0.6,1.6)\n";
    EXPECT_EQ(out, expected);
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

class MergeUpTest : public ::testing::Test {
protected:
    Octree tree{BaseCuboid<int>(0, 0, 0, 0, 100000, 100000, 100000), 5, 0.0};
    Deck deck;

    void SetUp() override
    {
        ASSERT_TRUE(tree.SplitNode(tree.root));
        for (int i = 0; i < 7; ++i)
            deck.Add(GridBlock(0, 1000 * i, 0, 0, 1000 * i + 10, 10, 10));
    }
    void Put(int child, int block)
    {
        const Cuboid* c = deck.blocks[block];
        tree.root->children[child - 1]->AppendCandidate(c, ToGrid(*c));
    }
};

TEST_F(MergeUpTest, MergesWhenTheDistinctUnionFits)
{
    for (int k = 1; k <= 8; ++k)
        Put(k, k % 5);
    Put(3, 0);
    tree.MergeUp(*tree.root->children[7]);
    ASSERT_TRUE(tree.root->IsLeaf());
    EXPECT_EQ(tree.root->cuboids.size(), 5u);
    EXPECT_EQ(tree.root->grid_boxes.size(), 5u);
    for (size_t i = 0; i < tree.root->cuboids.size(); ++i)
        EXPECT_EQ(tree.root->grid_boxes[i].x0, ToGrid(tree.root->cuboids[i]->x0));
}

TEST_F(MergeUpTest, RefusesSixDistinctBlocks)
{
    for (int k = 1; k <= 8; ++k)
        Put(k, k % 6);
    tree.MergeUp(*tree.root->children[7]);
    EXPECT_EQ(tree.root->children.size(), 8u);
}

TEST_F(MergeUpTest, RefusesWhenASiblingIsInnerOrNotCalledOnChildEight)
{
    Put(8, 0);
    ASSERT_TRUE(tree.SplitNode(tree.root->children[2]));
    tree.MergeUp(*tree.root->children[7]);
    EXPECT_EQ(tree.root->children.size(), 8u);

    Octree other(BaseCuboid<int>(0, 0, 0, 0, 100000, 100000, 100000), 5, 0.0);
    ASSERT_TRUE(other.SplitNode(other.root));
    other.MergeUp(*other.root->children[6]);
    EXPECT_EQ(other.root->children.size(), 8u);
    other.MergeUp(*other.root);  // the root has no parent
    EXPECT_EQ(other.root->children.size(), 8u);
}

TEST(Octree, ClearFreesAllCells)
{
    Octree tree(BaseCuboid<int>(0, 0, 0, 0, 100000, 100000, 100000), 5, 0.0);
    ASSERT_TRUE(tree.SplitNode(tree.root));
    ASSERT_TRUE(tree.SplitNode(tree.root->children[0]));
    tree.Clear();
    EXPECT_EQ(tree.root, nullptr);
}

}  // namespace
