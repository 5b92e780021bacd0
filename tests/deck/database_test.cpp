#include "deck_helpers.h"

namespace {

class DatabaseTest : public DeckTest {};

void ExpectBox(const Cuboid* b, double x0, double y0, double z0, double x1, double y1, double z1)
{
    ASSERT_NE(b, nullptr);
    EXPECT_DOUBLE_EQ(b->x0, x0);
    EXPECT_DOUBLE_EQ(b->y0, y0);
    EXPECT_DOUBLE_EQ(b->z0, z0);
    EXPECT_DOUBLE_EQ(b->x1, x1);
    EXPECT_DOUBLE_EQ(b->y1, y1);
    EXPECT_DOUBLE_EQ(b->z1, z1);
}

TEST_F(DatabaseTest, BlockSpansBasepointToTheSumOfAllFourVectors)
{
    ASSERT_EQ(ParseText(Deck(Conductor("a", Block("b", "(1,2,3)", "(4,0,0)", "(0,5,0)", "(0,0,6)") +
                                                " ") +
                             Task("a")))
                  .result,
              0);
    ExpectBox(dictionary["a"][0], 1, 2, 3, 5, 7, 9);
    EXPECT_EQ(dictionary["a"][0]->id, 0);

    // Edges off the axes still add up component by component.
    ParseText(Deck(Conductor("a", Block("b", "(1,1,1)", "(2,1,0)", "(1,3,0)", "(0,1,4)")) +
                   Task("a")));
    ExpectBox(dictionary["a"][0], 1, 1, 1, 4, 6, 5);
}

TEST_F(DatabaseTest, WindowIsTakenAsWrittenAndTheLastOneWins)
{
    ParseOutcome o = ParseText(Deck("<window> v1 (0,0,0) v2 (20,20,10) [/window]\n"
                                    "<window> v1 (-1,-2,-3) v2 (1*2,2,3) [/window]\n" +
                                    Conductor("a", Block("b", "(0,0,0)")) + Task("a")));
    ASSERT_EQ(o.result, 0);
    ExpectBox(solver_space, -1, -2, -3, 2, 2, 3);
}

TEST_F(DatabaseTest, TintIsParsedAndIgnored)
{
    ParseText(Deck(Conductor("a", "<block> name b basepoint (0,0,0) v1 (1,0,0) v2 (0,1,0) "
                                  "hvector (0,0,1) tint (9,9,9) [/block]") +
                   Task("a")));
    ExpectBox(dictionary["a"][0], 0, 0, 0, 1, 1, 1);
}

TEST_F(DatabaseTest, ConductorKeepsEveryBlockInDeckOrder)
{
    ParseText(Deck(Conductor("a", Block("b1", "(0,0,0)") + Block("b2", "(5,0,0)") +
                                      Block("b3", "(0,5,0)")) +
                   Task("a")));
    ASSERT_EQ(dictionary["a"].size(), 3u);
    ExpectBox(dictionary["a"][0], 0, 0, 0, 1, 1, 1);
    ExpectBox(dictionary["a"][1], 5, 0, 0, 6, 1, 1);
    ExpectBox(dictionary["a"][2], 0, 5, 0, 1, 6, 1);
}

TEST_F(DatabaseTest, SecondConductorOfANameIsIgnored)
{
    ParseText(Deck(Conductor("a", Block("b", "(0,0,0)")) +
                   Conductor("a", Block("b", "(7,7,7)") + Block("c", "(8,8,8)")) + Task("a")));
    ASSERT_EQ(dictionary["a"].size(), 1u);
    ExpectBox(dictionary["a"][0], 0, 0, 0, 1, 1, 1);
}

TEST_F(DatabaseTest, MediumGetsOneRecordPerBlockAndALaterOneReplacesIt)
{
    std::string first = "<medium> name ox " + Block("l1", "(0,0,0)") + Block("l2", "(0,0,1)") +
                        " diel 3.9 [/medium]\n";
    ParseText(Deck(first + Conductor("a", Block("b", "(0,0,0)")) + Task("a")));
    ASSERT_EQ(mediums["ox"].size(), 2u);
    ExpectBox(mediums["ox"][0]->block, 0, 0, 0, 1, 1, 1);
    ExpectBox(mediums["ox"][1]->block, 0, 0, 1, 1, 1, 2);
    EXPECT_DOUBLE_EQ(mediums["ox"][0]->diel, 3.9);
    EXPECT_DOUBLE_EQ(mediums["ox"][1]->diel, 3.9);

    std::string second = "<medium> name ox " + Block("l3", "(0,0,5)") + " diel 2.5 [/medium]\n";
    ParseText(Deck(first + second + Conductor("a", Block("b", "(0,0,0)")) + Task("a")));
    ASSERT_EQ(mediums["ox"].size(), 1u);
    ExpectBox(mediums["ox"][0]->block, 0, 0, 5, 1, 1, 6);
    EXPECT_DOUBLE_EQ(mediums["ox"][0]->diel, 2.5);
}

TEST_F(DatabaseTest, MediumMayShareAConductorName)
{
    ParseOutcome o = ParseText(Deck(Conductor("a", Block("b", "(0,0,0)")) + "<medium> name a " +
                                    Block("l", "(0,0,0)") + " diel 1 [/medium]\n" + Task("a")));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(dictionary.size(), 1u);
    EXPECT_EQ(mediums.size(), 1u);
}

TEST_F(DatabaseTest, ListsPutTheMasterFirstThenByteOrder)
{
    ParseText(Deck(Conductor("b", Block("b0", "(0,0,0)") + Block("b1", "(0,0,2)")) +
                   Conductor("a", Block("a0", "(2,0,0)")) +
                   Conductor("A", Block("A0", "(4,0,0)") + Block("A1", "(4,0,2)")) +
                   Conductor("B", Block("B0", "(6,0,0)")) + Task("b")));
    DeckLists lists;
    BuildDeckLists(lists);
    EXPECT_EQ(lists.names, (std::vector<std::string>{"b", "A", "B", "a"}));
    std::vector<int> ids;
    std::vector<double> x0s, z0s;
    for (const Cuboid* c : lists.cuboids) {
        ids.push_back(c->id);
        x0s.push_back(c->x0);
        z0s.push_back(c->z0);
    }
    EXPECT_EQ(ids, (std::vector<int>{0, 0, 1, 1, 2, 3}));
    EXPECT_EQ(x0s, (std::vector<double>{0, 0, 4, 4, 6, 2}));
    EXPECT_EQ(z0s, (std::vector<double>{0, 2, 0, 2, 0, 0}));
}

TEST_F(DatabaseTest, MediumListFollowsNameOrderThenDeckOrder)
{
    ParseText(Deck("<medium> name z " + Block("z0", "(0,0,0)") + Block("z1", "(0,0,1)") +
                   " diel 2 [/medium]\n<medium> name Y " + Block("y0", "(0,0,2)") +
                   " diel 3 [/medium]\n" + Conductor("a", Block("b", "(0,0,0)")) + Task("a")));
    DeckLists lists;
    BuildDeckLists(lists);
    ASSERT_EQ(lists.media.size(), 3u);
    EXPECT_DOUBLE_EQ(lists.media[0]->diel, 3);
    EXPECT_DOUBLE_EQ(lists.media[1]->block->z0, 0);
    EXPECT_DOUBLE_EQ(lists.media[2]->block->z0, 1);
}

TEST_F(DatabaseTest, ClearDeckStartsAfresh)
{
    ParseText(Deck(Conductor("a", Block("b", "(0,0,0)")) + Task("a")));
    ClearDeck();
    EXPECT_TRUE(dictionary.empty());
    EXPECT_TRUE(mediums.empty());
    EXPECT_TRUE(master_name.empty());
    EXPECT_EQ(solver_space, nullptr);
    EXPECT_EQ(miline, 1);
}

}  // namespace
