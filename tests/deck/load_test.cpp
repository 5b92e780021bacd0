#include "deck_helpers.h"
#include "testutil.h"

namespace {

class LoadTest : public DeckTest {
protected:
    TempDir dir;
    DeckLists lists;

    // LoadDeck on a file holding `text`; returns its status and the output.
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

TEST_F(LoadTest, MissingFileIsReported)
{
    std::string path = dir.path() + "/none.kd";
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadDeck(path.c_str(), lists), 255);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cannot open file: " + path + "\n");
}

TEST_F(LoadTest, ExampleDeckLoads)
{
    std::string text = ReadFile(std::string(KORVA_SOURCE_DIR) + "/examples/two_wires.kd");
    ParseOutcome o = Load(text);
    ASSERT_EQ(o.result, 0) << o.out;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(lists.names, (std::vector<std::string>{"wire1", "wire2"}));
    EXPECT_EQ(lists.cuboids.size(), 2u);
    EXPECT_EQ(lists.media.size(), 1u);
    ASSERT_NE(solver_space, nullptr);
}

TEST_F(LoadTest, WithoutWindowTheConductorsBoundingBoxIsUsed)
{
    ParseOutcome o = Load(Deck(Conductor("a", Block("b", "(1,2,3)") + Block("c", "(-1,5,0)", "(1,0,0)",
                                                                             "(0,1,0)", "(0,0,9)")) +
                               Conductor("z", Block("z", "(4,-2,1)")) + Task("z")));
    ASSERT_EQ(o.result, 0) << o.out;
    ASSERT_NE(solver_space, nullptr);
    EXPECT_DOUBLE_EQ(solver_space->x0, -1);
    EXPECT_DOUBLE_EQ(solver_space->y0, -2);
    EXPECT_DOUBLE_EQ(solver_space->z0, 0);
    EXPECT_DOUBLE_EQ(solver_space->x1, 5);
    EXPECT_DOUBLE_EQ(solver_space->y1, 6);
    EXPECT_DOUBLE_EQ(solver_space->z1, 9);
    EXPECT_EQ(solver_space->id, 0);
    EXPECT_EQ(lists.names, (std::vector<std::string>{"z", "a"}));
}

TEST_F(LoadTest, ParseFailuresFail)
{
    EXPECT_EQ(Load("<vorn> <x>").result, 255);
    ParseOutcome o = Load(Deck(Conductor("a", Block("b", "(0,0,0)"))));
    EXPECT_EQ(o.result, 255);
    EXPECT_EQ(o.out, "master conductor doesn't exist\n");
    EXPECT_TRUE(lists.cuboids.empty());
}

TEST_F(LoadTest, ImproperBoxesAreRefusedWithTheirLine)
{
    ParseOutcome o = Load(Deck(Conductor("a", Block("b", "(0,0,0)")) +
                               Conductor("flat", Block("f", "(0,0,0)", "(1,0,0)", "(0,1,0)",
                                                       "(0,0,0)")) +
                               Task("a")));
    EXPECT_EQ(o.result, 255);
    EXPECT_EQ(o.out, "Line 3 : block \"f\" of conductor \"flat\" has its far corner (1,1,0) not "
                     "above its lower corner (0,0,0) on every axis\n");

    o = Load(Deck("<window> v1 (0,0,0) v2 (-1,1,1) [/window]\n" +
                  Conductor("a", Block("b", "(0,0,0)")) + Task("a")));
    EXPECT_EQ(o.result, 255);
    EXPECT_NE(o.out.find("Line 2 : window has its far corner"), std::string::npos) << o.out;

    o = Load(Deck("<medium> name m\n" + Block("l", "(0,0,0)", "(-1,0,0)") + " diel 1 [/medium]\n" +
                  Conductor("a", Block("b", "(0,0,0)")) + Task("a")));
    EXPECT_EQ(o.result, 255);
    EXPECT_NE(o.out.find("Line 3 : block \"l\" of medium \"m\""), std::string::npos) << o.out;
}

TEST_F(LoadTest, NonFiniteCoordinatesAreRefused)
{
    ParseOutcome o = Load(Deck(Conductor("a", Block("b", "(0,0,0)", "(1e308*10,0,0)")) + Task("a")));
    EXPECT_EQ(o.result, 255);
    EXPECT_EQ(o.out, "Line 2 : block \"b\" of conductor \"a\" has a coordinate that is not a "
                     "finite number\n");
}

TEST_F(LoadTest, PermittivityMustBeFiniteAndPositive)
{
    for (const char* diel : {"0", "-3.9", "1e308*10", "1e308*10-1e308*10"}) {
        ParseOutcome o = Load(Deck("<medium> name m " + Block("l", "(0,0,0)") + " diel " + diel +
                                   " [/medium]\n" + Conductor("a", Block("b", "(0,0,0)")) +
                                   Task("a")));
        EXPECT_EQ(o.result, 255) << diel;
        EXPECT_NE(o.out.find("Line 2 : medium \"m\" has permittivity"), std::string::npos) << o.out;
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
        "<medium> name m " + Block("bad", "(0,0,0)", "(-1,0,0)") + " diel -1 [/medium]\n" +
        "<medium> name m " + Block("good", "(-5,-5,-5)", "(10,0,0)", "(0,10,0)", "(0,0,10)") +
        " diel 2 [/medium]\n" + Task("a")));
    EXPECT_EQ(o.result, 0) << o.out;
    EXPECT_EQ(o.out, "");
    ASSERT_EQ(lists.media.size(), 1u);
    EXPECT_DOUBLE_EQ(lists.media[0]->diel, 2);
    EXPECT_DOUBLE_EQ(solver_space->x0, -5);

    // The one that stays is still checked.
    o = Load(Deck("<medium> name m " + Block("l", "(0,0,0)") + " diel 2 [/medium]\n" +
                  "<medium> name m " + Block("l", "(0,0,0)") + " diel 0 [/medium]\n" +
                  Conductor("a", Block("b", "(0,0,0)")) + Task("a")));
    EXPECT_EQ(o.result, 255);
    EXPECT_NE(o.out.find("Line 3 : medium \"m\" has permittivity 0"), std::string::npos) << o.out;
}

TEST_F(LoadTest, DeleteDeckObjectsEmptiesTheDatabase)
{
    ASSERT_EQ(Load(Deck("<window> v1 (0,0,0) v2 (9,9,9) [/window]\n<medium> name m " +
                        Block("l", "(0,0,0)") + " diel 2 [/medium]\n" +
                        Conductor("a", Block("b", "(0,0,0)")) + Task("a")))
                  .result,
              0);
    DeleteDeckObjects();
    EXPECT_TRUE(dictionary.empty());
    EXPECT_TRUE(mediums.empty());
    EXPECT_EQ(solver_space, nullptr);
}

}  // namespace
