#include "deck_helpers.h"

#include <cmath>

namespace {

class GrammarTest : public DeckTest {
protected:
    // The permittivity a medium gets from `expr`, or NaN when the deck fails.
    double Diel(const std::string& expr)
    {
        ParseOutcome o = ParseText(Deck("<medium> name m " + Block("b", "(0,0,0)") + " diel " +
                                        expr + " [/medium]\n" +
                                        Conductor("c", Block("cb", "(0,0,0)")) + Task("c")));
        if (o.result != 0 || !mediums.count("m"))
            return std::nan("");
        EXPECT_EQ(o.out, "");
        return mediums["m"][0]->diel;
    }
};

TEST_F(GrammarTest, ExpressionPrecedenceAndAssociativity)
{
    EXPECT_DOUBLE_EQ(Diel("1-2-3"), -4);
    EXPECT_DOUBLE_EQ(Diel("8-4+2"), 6);
    EXPECT_DOUBLE_EQ(Diel("2-3*4"), -10);
    EXPECT_DOUBLE_EQ(Diel("2*-3"), -6);
    EXPECT_DOUBLE_EQ(Diel("--3"), 3);
    EXPECT_DOUBLE_EQ(Diel("-2*3"), -6);
    EXPECT_DOUBLE_EQ(Diel("2*3*4-1"), 23);
    EXPECT_DOUBLE_EQ(Diel("1-(2-3)"), 2);
    EXPECT_DOUBLE_EQ(Diel("-(1+2)*3"), -9);
    EXPECT_DOUBLE_EQ(Diel("((((2))))*(1+1)"), 4);
    EXPECT_DOUBLE_EQ(Diel("2*-3*-1"), 6);
    EXPECT_DOUBLE_EQ(Diel("0.5"), 0.5);
    EXPECT_DOUBLE_EQ(Diel("(1+1)*0.25"), 0.5);
}

TEST_F(GrammarTest, MalformedExpressionsAreSyntaxErrors)
{
    for (const char* bad : {".5", "2/1", "+2", "2 3", "(2", "2)", "2**3", "1e", ""})
        EXPECT_TRUE(std::isnan(Diel(bad))) << bad;
}

TEST_F(GrammarTest, TagsAcceptBlanksCommentsAndAnyKeywordCase)
{
    ParseOutcome o = ParseText(
        "<VORN> < conductor\n> name Net1 /* c */ < BLOCK > name b basepoint ( 0 , 0 , 0 )\n"
        "V1 (1,0,0) v2 (0,1,0) HVECTOR (0,0,1) tint (9,9,9) [ / block ] [/Conductor]\n"
        "<task><capacitance>Net1[/capacitance][/task] // done\n[/Vorn]");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(master_name, "Net1");
}

TEST_F(GrammarTest, SyntaxErrorReportsLineAndOffsetPastTheToken)
{
    ParseOutcome o = ParseText("<vorn>\n<foo>\n");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, "Line 2 CharLocate 11 : syntax error\n");

    // A line comment advances the line; the offset counts every byte.
    o = ParseText("<vorn> // x\n<window> v1 (0,0,0) v3");
    EXPECT_EQ(o.out, "Line 2 CharLocate 34 : syntax error\n");

    // At the end of the input the offset is the length of the deck.
    o = ParseText("<vorn>\n\n");
    EXPECT_EQ(o.out, "Line 3 CharLocate 8 : syntax error\n");
}

TEST_F(GrammarTest, TaskBeforeItsConductorFailsAtTheName)
{
    std::string head = "<vorn>\n<task> <capacitance> netX";
    ParseOutcome o = ParseText(head + " [/capacitance] [/task]\n" +
                               Conductor("netX", Block("b", "(0,0,0)")) + "[/vorn]\n");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, "Line 2 CharLocate " + std::to_string(head.size()) + " : syntax error\n");
}

TEST_F(GrammarTest, NamesAreCaseSensitive)
{
    ParseOutcome o = ParseText(Deck(Conductor("net1", Block("b", "(0,0,0)")) + Task("Net1")));
    EXPECT_EQ(o.result, 1);
    EXPECT_TRUE(master_name.empty());
}

TEST_F(GrammarTest, KeywordsCannotBeNames)
{
    EXPECT_EQ(ParseText(Deck(Conductor("Block", Block("b", "(0,0,0)")))).result, 1);
    EXPECT_EQ(ParseText(Deck(Conductor("c", Block("TINT", "(0,0,0)")))).result, 1);
}

TEST_F(GrammarTest, ParseStopsAtTheFirstErrorKeepingWhatWasBuilt)
{
    ParseOutcome o = ParseText(Deck(Conductor("a", Block("b", "(0,0,0)")) + "<conductor> # " +
                                    Conductor("z", Block("b", "(0,0,0)")) + "<<<"));
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, "Line 3 CharLocate " +
                         std::to_string(7 + Conductor("a", Block("b", "(0,0,0)")).size() + 13) +
                         " : syntax error\n");
    EXPECT_EQ(dictionary.size(), 1u);
    EXPECT_TRUE(dictionary.count("a"));
}

TEST_F(GrammarTest, MissingTaskIsReportedAtTheTrailer)
{
    ParseOutcome o = ParseText(Deck(Conductor("a", Block("b", "(0,0,0)"))));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "master conductor doesn't exist\n");
}

TEST_F(GrammarTest, NothingMayFollowTheTrailer)
{
    ParseOutcome o = ParseText(Deck(Conductor("a", Block("b", "(0,0,0)")) + Task("a")) + "x");
    EXPECT_EQ(o.result, 1);
    EXPECT_NE(o.out.find("syntax error"), std::string::npos);
    EXPECT_EQ(ParseText(Deck(Task("a"))).result, 1);
    EXPECT_EQ(ParseText("").result, 1);
}

TEST_F(GrammarTest, BlockListsNeedAtLeastOneBlock)
{
    EXPECT_EQ(ParseText(Deck("<conductor> name a [/conductor]\n")).result, 1);
    EXPECT_EQ(ParseText(Deck("<medium> name m diel 1 [/medium]\n")).result, 1);
}

TEST_F(GrammarTest, ManyStatementsDoNotGrowTheParserStack)
{
    std::string body;
    for (int i = 0; i < 12000; ++i)
        body += Conductor("c" + std::to_string(i), Block("b", "(0,0,0)"));
    ParseOutcome o = ParseText(Deck(body + Task("c0")));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(dictionary.size(), 12000u);
}

// The state stack holds 10000 states: the initial state, the eight symbols
// before a diel expression and one per nesting level.
TEST_F(GrammarTest, DeepNestingOverflowsTheParserStack)
{
    auto nested = [](int levels) {
        return std::string(levels, '(') + "2" + std::string(levels, ')');
    };
    EXPECT_DOUBLE_EQ(Diel(nested(9988)), 2);
    ParseOutcome o = ParseText(Deck("<medium> name m " + Block("b", "(0,0,0)") + " diel " +
                                    nested(9989) + " [/medium]\n"));
    EXPECT_EQ(o.result, 2);
    EXPECT_NE(o.out.find(" : parser stack overflow\n"), std::string::npos) << o.out.substr(0, 80);

    EXPECT_DOUBLE_EQ(Diel(std::string(9988, '-') + "2"), 2);
    EXPECT_EQ(ParseText(Deck("<medium> name m " + Block("b", "(0,0,0)") + " diel " +
                             std::string(9990, '-') + "2 [/medium]\n"))
                  .result,
              2);
}

}  // namespace
