#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <thread>

#include "space_util.h"
#include "spacemanager.h"

namespace {

typedef Octree::OctreeNode Node;

void ExpectWindow(const Cuboid& w, const std::array<double, 6>& e)
{
    const double got[6] = {w.x0, w.y0, w.z0, w.x1, w.y1, w.z1};
    for (int i = 0; i < 6; ++i)
        EXPECT_DOUBLE_EQ(got[i], e[i]) << "coordinate " << i;
}

TEST(SpacemanagerBuild, WindowGrowsToFiveTimesTheSpanAboutTheCentre)
{
    Deck deck;
    deck.Add(Cuboid(0, 0, 0, 0, 2, 1, 0.5));
    deck.Add(Cuboid(0, 1, 0.5, 0, 1.5, 0.75, 0.25));
    Cuboid window(0, 0, 0, 0, 1, 1, 1);
    std::unique_ptr<Spacemanager> s(Spacemanager::Build(deck.blocks, window));
    ASSERT_NE(s, nullptr);
    ExpectWindow(window, {-9, -9.5, -9.75, 11, 10.5, 10.25});
    EXPECT_EQ(s->root->box.x0, -45000);
    EXPECT_EQ(s->root->box.y1, 52500);
    EXPECT_EQ(s->root->center.x, 5000);
    EXPECT_EQ(s->capacity, Spacemanager::GEOMETRY_CAPACITY);
    EXPECT_DOUBLE_EQ(s->min_ratio, 0.1);
    EXPECT_EQ(s->master, deck.blocks[0]);
    EXPECT_EQ(std::vector<const Cuboid*>(s->index.Blocks(0), s->index.Blocks(0) + s->index.Count(0)),
              deck.blocks);

    // A larger window keeps its extent where it is larger; no blocks, no change.
    Cuboid wide(0, -100, -1, -1, 1, 200, 1);
    EXPECT_DOUBLE_EQ(Spacemanager::EnlargeWindow({deck.blocks[0]}, wide), 10.0);
    ExpectWindow(wide, {-100, -9.5, -9.75, 11, 200, 10.25});
    Cuboid untouched(0, 0, 0, 0, 1, 1, 1);
    Spacemanager::EnlargeWindow({}, untouched);
    ExpectWindow(untouched, {0, 0, 0, 1, 1, 1});
}

TEST(SpacemanagerBuild, WindowMustLeaveRoomForDifferencesOfGridCoordinates)
{
    const std::pair<Cuboid, bool> rows[] = {
        {Cuboid(0, -214748, -1, -1, 214748, 1, 1), true},
        {Cuboid(0, -1, -1, -1, 1, 214749, 1), false},
        {Cuboid(0, -1, -1, -214749, 1, 1, 1), false},
        {Cuboid(0, -1, -1, -1, 1, 1, 1e300), false},
        {Cuboid(0, -1, -1, -1, 1, 1, std::nan("")), false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Spacemanager::FitsGrid(row.first), row.second) << row.first.x0 << " " << row.first.z1;

    Deck deck;
    deck.Add(Cuboid(0, 0, 0, 0, 50000, 1, 1));  // H = 250000 units
    Cuboid window(0, 0, 0, 0, 1, 1, 1);
    EXPECT_EQ(Spacemanager::Build(deck.blocks, window), nullptr);
    EXPECT_DOUBLE_EQ(window.x1, 275000);
}

// Root [0,10000]^3 split once; blocks placed by hand.
class LookupTest : public ::testing::Test {
protected:
    Spacemanager s{BaseCuboid<int>(0, 0, 0, 0, 10000, 10000, 10000), 5, 0.0};

    void SetUp() override
    {
        ASSERT_TRUE(s.SplitNode(s.root));
        s.Freeze();
    }
    // The index's cell of child k is k.
    uint32_t Leaf(int x, int y, int z) const { return s.index.LeafAt(BaseVector3<int>(x, y, z)); }
};

TEST_F(LookupTest, MidPlanesGoUpAndTheRootIsHalfOpenOnlyInY)
{
    const int rows[][4] = {  // x, y, z, child (0: outside)
        {5000, 5000, 5000, 8}, {4999, 5000, 4999, 3}, {5000, 4999, 4999, 2}, {4999, 4999, 5000, 5},
        {0, 0, 0, 1},          {10000, 0, 0, 2},      {0, 0, 10000, 5},      {10000, 9999, 10000, 8},
        {0, 10000, 0, 0},      {-1, 0, 0, 0},         {0, -1, 0, 0},         {0, 0, -1, 0},
        {10001, 0, 0, 0},      {0, 0, 10001, 0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Leaf(r[0], r[1], r[2]), r[3] ? (uint32_t)r[3] : LeafIndex::LEAF) << r[0] << "," << r[1] << "," << r[2];

    for (const BaseVector3<int>& g : {BaseVector3<int>(5000, 10000, 5000), BaseVector3<int>(-2147483647, 0, 0)}) {
        int dist = 0;
        EXPECT_EQ(s.SearchNearestCuboid(g, dist), nullptr);
        EXPECT_EQ(dist, -2147483647);
    }
}

TEST_F(LookupTest, EmptyLeafHasNoNearestBlock)
{
    int dist = 0;
    EXPECT_EQ(s.SearchNearestCuboid(BaseVector3<int>(1, 1, 1), dist), nullptr);
    EXPECT_EQ(dist, 2147483647);
    Cube cube = s.GetDomainCubic(Vector3(0.1, 0.2, 0.3));
    EXPECT_EQ(cube.radius, 1.7976931348623157e308);
    EXPECT_EQ(cube.center.y, 0.2);
}

TEST_F(LookupTest, DescendsToTheLeafThatHoldsThePoint)
{
    Cuboid a = GridBlock(0, 100, 100, 100, 200, 200, 200);
    Cuboid b = GridBlock(1, 9000, 9000, 9000, 9100, 9100, 9100);
    Node* c1 = s.root->children[0];
    Node* c8 = s.root->children[7];
    c1->AppendCandidate(&a, ToGrid(a));
    c8->AppendCandidate(&b, ToGrid(b));
    s.Freeze();
    int dist = 0;
    EXPECT_EQ(s.SearchNearestCuboid(BaseVector3<int>(4999, 4999, 4999), dist), &a);
    EXPECT_EQ(dist, 4799);
    EXPECT_EQ(s.SearchNearestCuboid(BaseVector3<int>(5000, 5000, 5000), dist), &b);
    EXPECT_EQ(dist, 4000);
}

// One leaf (min_ratio prevents splits) over [-10,10]^3 units.
class QueryTest : public ::testing::Test {
protected:
    Spacemanager s{BaseCuboid<int>(0, -50000, -50000, -50000, 50000, 50000, 50000), 5, 1.0};

    const Cuboid* Nearest(int x, int y, int z, int& dist) const
    {
        return s.SearchNearestCuboid(BaseVector3<int>(x, y, z), dist);
    }
};

TEST_F(QueryTest, FacesEdgesAndCornersOfABlockAreHits)
{
    Cuboid b = GridBlock(3, 1000, 2000, 3000, 2000, 4000, 6000);
    s.AddCuboid(&b);
    const int rows[][4] = {  // x, y, z, distance
        {1000, 2000, 3000, 0}, {2000, 4000, 6000, 0}, {1000, 3000, 4000, 0}, {2000, 3000, 4000, 0},
        {1500, 2000, 4000, 0}, {1500, 4000, 4000, 0}, {1500, 3000, 3000, 0}, {1500, 3000, 6000, 0},
        {1000, 4000, 4000, 0}, {2000, 2000, 5000, 0}, {1500, 3000, 4500, 0}, {999, 2000, 3000, 1},
        {2001, 4001, 6003, 3},
    };
    for (const auto& r : rows) {
        int dist = -1;
        EXPECT_EQ(Nearest(r[0], r[1], r[2], dist), &b);
        EXPECT_EQ(dist, r[3]) << r[0] << "," << r[1] << "," << r[2];
    }
}

TEST_F(QueryTest, FirstCandidateInListOrderWinsTies)
{
    Cuboid left = GridBlock(1, 0, 0, 0, 1000, 1000, 1000);
    Cuboid right = GridBlock(2, 1000, 0, 0, 2000, 1000, 1000);
    Cuboid far = GridBlock(3, 3000, 0, 0, 4000, 1000, 1000);
    s.AddCuboid(&left);
    s.AddCuboid(&right);
    s.AddCuboid(&far);
    int dist = -1;
    EXPECT_EQ(Nearest(1000, 500, 500, dist), &left);  // shared face
    EXPECT_EQ(dist, 0);
    EXPECT_EQ(Nearest(2500, 500, 500, dist), &right);  // 500 from right and far
    EXPECT_EQ(dist, 500);

    Spacemanager other(BaseCuboid<int>(0, -50000, -50000, -50000, 50000, 50000, 50000), 5, 1.0);
    other.AddCuboid(&right);
    other.AddCuboid(&left);
    EXPECT_EQ(other.SearchNearestCuboid(BaseVector3<int>(1000, 500, 500), dist), &right);
}

TEST_F(QueryTest, DomainCubeUsesTheBlocksOwnCoordinates)
{
    Cuboid b(0, 0, 0, 0, 1, 1, 1);
    Cuboid c(0, 3, 3, 3, 4, 4, 4);
    s.AddCuboid(&b);
    s.AddCuboid(&c);
    Cube cube = s.GetDomainCubic(Vector3(1.5, 0.2, 2.25));
    EXPECT_DOUBLE_EQ(cube.radius, 1.25);
    EXPECT_EQ(cube.center.x, 1.5);
    EXPECT_EQ(cube.center.z, 2.25);
    EXPECT_DOUBLE_EQ(s.GetMaxBall(Vector3(2.2, 2.1, 2.0)), 1.0);

    EXPECT_EQ(s.GetDomainCubic(Vector3(1 + 5e-13, 0.5, 0.5)).radius, 0.0);
    EXPECT_EQ(s.GetDomainCubic(Vector3(0.5, 0.5, -9e-13)).radius, 0.0);
    EXPECT_EQ(s.GetDomainCubic(Vector3(0.5, 0.5, 0.5)).radius, 0.0);
    EXPECT_EQ(s.GetDomainCubic(Vector3(3.5, 4.0, 3.0)).radius, 0.0);
    double r = s.GetDomainCubic(Vector3(1 + 2e-12, 0.5, 0.5)).radius;
    EXPECT_GT(r, 1e-12);
    EXPECT_LT(r, 3e-12);
}

TEST_F(QueryTest, DomainCubeOutsideTheSolverSpaceIsFatal)
{
    const char* text =
        "korva: src/spacemanager:29: const Cube Spacemanager::GetDomainCubic\\(const Vector3&\\) "
        "const: Assertion `result != __null' failed.";
    EXPECT_DEATH(s.GetDomainCubic(Vector3(0, 10, 0)), text);  // upper y face
    EXPECT_DEATH(s.GetDomainCubic(Vector3(-10.1, 0, 0)), text);
    EXPECT_DEATH(s.GetDomainCubic(Vector3(0, 0, 1e300)), text);
    EXPECT_EQ(s.GetDomainCubic(Vector3(10, -10, 10)).radius, 1.7976931348623157e308);
}

TEST(SpacemanagerThreads, ConcurrentQueriesAgreeWithSerialOnes)
{
    Deck deck;
    for (int i = 0; i < 60; ++i)
        deck.Add(Cuboid(0, 0.2 * i, (i % 7) * 0.3, (i % 3) * 0.4, 0.2 * i + 0.1, (i % 7) * 0.3 + 2,
                        (i % 3) * 0.4 + 0.1));
    Cuboid window(0, 0, 0, 0, 1, 1, 1);
    std::unique_ptr<Spacemanager> s(Spacemanager::Build(deck.blocks, window));
    ASSERT_NE(s, nullptr);
    std::vector<BaseVector3<int>> pts;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> u(-5000, 70000);
    for (int i = 0; i < 4000; ++i)
        pts.emplace_back(u(rng), u(rng) / 4, u(rng) / 8);
    // Slot 0 is filled serially, slots 1..4 by one thread each.
    std::vector<std::vector<int>> got(5, std::vector<int>(pts.size()));
    auto scan = [&](int slot) {
        for (size_t i = 0; i < pts.size(); ++i)
            s->SearchNearestCuboid(pts[i], got[slot][i]);
    };
    scan(0);
    std::vector<std::thread> threads;
    for (int t = 1; t <= 4; ++t)
        threads.emplace_back(scan, t);
    for (std::thread& th : threads)
        th.join();
    for (int t = 1; t <= 4; ++t)
        EXPECT_EQ(got[t], got[0]) << "thread " << t;
}

}  // namespace
