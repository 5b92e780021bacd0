#include "deck_helpers.h"
#include "testutil.h"

namespace {

class LoadTest : public DeckTest {
protected:
    TempDir dir;
    DeckLists lists;

    // LoadDeck on a file holding `text`.
    ParseOutcome Load(const std::string& text)
    {
        ClearDeck();
        std::string path = dir.Write("deck.kd", text);
        ParseOutcome o;
        testing::internal::CaptureStdout();
        o.result = LoadDeck(path.c_str(), lists);
        o.out = testing::internal::GetCapturedStdout();
        return o;
    }
};

TEST_F(LoadTest, MissingFileAndExampleDeck)
{
    std::string path = dir.path() + "/none.kd";
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadDeck(path.c_str(), lists), 255);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cannot open file: " + path + "\n");

    ParseOutcome o = Load(ReadFile(std::string(KORVA_SOURCE_DIR) + "/examples/two_wires.kd"));
    ASSERT_EQ(o.result, 0) << o.out;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(lists.names, (std::vector<std::string>{"wire1", "wire2"}));
    EXPECT_EQ(lists.cuboids.size(), 2u);
    EXPECT_EQ(lists.media.size(), 1u);
    EXPECT_NE(solver_space, nullptr);
}

TEST_F(LoadTest, WithoutWindowTheConductorsBoundingBoxIsUsed)
{
    ParseOutcome o = Load(Deck(Conductor("a", Block("b", "(1,2,3)") + Block("c", "(-1,5,0)", "(1,0,0)",
                                                                             "(0,1,0)", "(0,0,9)")) +
                               Conductor("z", Block("z", "(4,-2,1)")) + Task("z")));
    ASSERT_EQ(o.result, 0) << o.out;
    ExpectBox(solver_space, -1, -2, 0, 5, 6, 9);
    EXPECT_EQ(solver_space->id, 0);
    EXPECT_EQ(lists.names, (std::vector<std::string>{"z", "a"}));
}

TEST_F(LoadTest, BadDecksAreRefused)
{
    struct Case {
        std::string deck, message;
    };
    std::vector<Case> cases = {
        {"<vorn> <x>", "Line 1 CharLocate 9 : syntax error\n"},
        {Deck(Conductor("a", Block("b", "(0,0,0)"))), "master conductor doesn't exist\n"},
        {Deck(Conductor("a", Block("b", "(0,0,0)")) +
              Conductor("flat", Block("f", "(0,0,0)", "(1,0,0)", "(0,1,0)", "(0,0,0)")) + Task("a")),
         "Line 3 : block \"f\" of conductor \"flat\" has its far corner (1,1,0) not above its "
         "lower corner (0,0,0) on every axis\n"},
        {Deck("<window> v1 (0,0,0) v2 (-1,1,1) [/window]\n" + UnitA()),
         "Line 2 : window has its far corner"},
        {Deck("<medium> name m\n" + Block("l", "(0,0,0)", "(-1,0,0)") + " diel 1 [/medium]\n" +
              UnitA()),
         "Line 3 : block \"l\" of medium \"m\""},
        {Deck(Conductor("a", Block("b", "(0,0,0)", "(1e308*10,0,0)")) + Task("a")),
         "Line 2 : block \"b\" of conductor \"a\" has a coordinate that is not a finite number\n"},
        // Of two media of one name only the one that stays is checked.
        {Deck(MediumDecl("m", Block("l", "(0,0,0)"), "2") + MediumDecl("m", Block("l", "(0,0,0)"), "0") +
              UnitA()),
         "Line 3 : medium \"m\" has permittivity 0"},
    };
    for (auto diel : std::vector<std::pair<std::string, std::string>>{
             {"0", "0"}, {"-3.9", "-3.9"}, {"1e308*10", "inf"}, {"1e308*10-1e308*10", ""}})
        cases.push_back({Deck(MediumDecl("m", Block("l", "(0,0,0)"), diel.first) + UnitA()),
                         "Line 2 : medium \"m\" has permittivity " + diel.second});
    for (const Case& c : cases) {
        ParseOutcome o = Load(c.deck);
        EXPECT_EQ(o.result, 255) << c.deck;
        EXPECT_TRUE(lists.cuboids.empty());
        // A message ending in a newline is the whole output, others start it.
        EXPECT_EQ(c.message.back() == '\n' ? o.out : o.out.substr(0, c.message.size()), c.message);
    }
}

TEST_F(LoadTest, DroppedStatementsAreNotChecked)
{
    // A replaced window, a repeated conductor and a replaced medium never
    // reach the run, however broken they are.
    ParseOutcome o = Load(Deck(
        "<window> v1 (0,0,0) v2 (-1,1,1) [/window]\n<window> v1 (-5,-5,-5) v2 (5,5,5) [/window]\n" +
        Conductor("a", Block("b", "(0,0,0)")) +
        Conductor("a", Block("flat", "(2,2,2)", "(1,0,0)", "(0,1,0)", "(0,0,0)")) +
        MediumDecl("m", Block("bad", "(0,0,0)", "(-1,0,0)"), "-1") +
        MediumDecl("m", Block("good", "(-5,-5,-5)", "(10,0,0)", "(0,10,0)", "(0,0,10)"), "2") +
        Task("a")));
    EXPECT_EQ(o.result, 0) << o.out;
    EXPECT_EQ(o.out, "");
    ASSERT_EQ(lists.media.size(), 1u);
    EXPECT_DOUBLE_EQ(lists.media[0]->diel, 2);
    EXPECT_DOUBLE_EQ(solver_space->x0, -5);
}

TEST_F(LoadTest, BlocksAndTheLastWindowAreTakenAsWritten)
{
    ASSERT_EQ(ParseText(Deck("<window> v1 (0,0,0) v2 (20,20,10) [/window]\n"
                             "<window> v1 (-1,-2,-3) v2 (1*2,2,3) [/window]\n" +
                             Conductor("a", Block("b", "(1,1,1)", "(2,1,0)", "(1,3,0)", "(0,1,4)")) +
                             Task("a")))
                  .result,
              0);
    ExpectBox(solver_space, -1, -2, -3, 2, 2, 3);
    // A block spans its basepoint to the sum of all four vectors.
    ExpectBox(dictionary["a"][0], 1, 1, 1, 4, 6, 5);
}

TEST_F(LoadTest, ConductorKeepsEveryBlockAndTheFirstOfANameWins)
{
    ParseText(Deck(Conductor("a", Block("b1", "(0,0,0)") + Block("b2", "(5,0,0)") +
                                      Block("b3", "(0,5,0)")) +
                   Conductor("a", Block("b", "(7,7,7)")) + Task("a")));
    ASSERT_EQ(dictionary["a"].size(), 3u);
    ExpectBox(dictionary["a"][0], 0, 0, 0, 1, 1, 1);
    ExpectBox(dictionary["a"][1], 5, 0, 0, 6, 1, 1);
    ExpectBox(dictionary["a"][2], 0, 5, 0, 1, 6, 1);
}

TEST_F(LoadTest, ALaterMediumReplacesAnEarlierOne)
{
    // A later medium of a name replaces every record; a medium may share a
    // conductor's name.
    ASSERT_EQ(ParseText(Deck(MediumDecl("ox", Block("l1", "(0,0,0)") + Block("l2", "(0,0,1)"), "3.9") +
                             MediumDecl("ox", Block("l3", "(0,0,5)"), "2.5") +
                             Conductor("a", Block("b", "(0,0,0)")) +
                             MediumDecl("a", Block("l", "(0,0,0)"), "1") + Task("a")))
                  .result,
              0);
    ASSERT_EQ(mediums["ox"].size(), 1u);
    ExpectBox(mediums["ox"][0]->block, 0, 0, 5, 1, 1, 6);
    EXPECT_DOUBLE_EQ(mediums["ox"][0]->diel, 2.5);
    EXPECT_EQ(mediums.size(), 2u);
    EXPECT_EQ(dictionary.size(), 1u);
}

TEST_F(LoadTest, ListsPutTheMasterFirstThenByteOrder)
{
    ParseText(Deck(MediumDecl("z", Block("z0", "(0,0,0)") + Block("z1", "(0,0,1)"), "2") +
                   MediumDecl("Y", Block("y0", "(0,0,2)"), "3") +
                   Conductor("b", Block("b0", "(0,0,0)") + Block("b1", "(0,0,2)")) +
                   Conductor("a", Block("a0", "(2,0,0)")) +
                   Conductor("A", Block("A0", "(4,0,0)") + Block("A1", "(4,0,2)")) +
                   Conductor("B", Block("B0", "(6,0,0)")) + Task("b")));
    DeckLists lists;
    BuildDeckLists(lists);
    EXPECT_EQ(lists.names, (std::vector<std::string>{"b", "A", "B", "a"}));
    std::vector<double> blocks, media;
    for (const Cuboid* c : lists.cuboids)
        blocks.insert(blocks.end(), {(double)c->id, c->x0, c->z0});
    EXPECT_EQ(blocks, (std::vector<double>{0, 0, 0, 0, 0, 2, 1, 4, 0, 1, 4, 2, 2, 6, 0, 3, 2, 0}));
    // Media by name, then deck order.
    for (const Medium* m : lists.media)
        media.insert(media.end(), {m->diel, m->block->z0});
    EXPECT_EQ(media, (std::vector<double>{3, 2, 2, 0, 2, 1}));
}

TEST_F(LoadTest, DeleteDeckObjectsEmptiesTheDatabase)
{
    ParseText(Deck("<window> v1 (0,0,0) v2 (9,9,9) [/window]\n" +
                   MediumDecl("m", Block("l", "(0,0,0)"), "2") + UnitA()));
    DeleteDeckObjects();
    EXPECT_TRUE(dictionary.empty());
    EXPECT_TRUE(mediums.empty());
    EXPECT_EQ(solver_space, nullptr);
}

}  // namespace
