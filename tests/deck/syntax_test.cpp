#include "deck_helpers.h"

#include <cmath>

namespace {

class LexerTest : public DeckTest {
protected:
    std::istringstream stream;

    void Open(const std::string& text)
    {
        ClearDeck();
        stream.str(text);
        stream.clear();
        deck_in = &stream;
    }

    // Every token up to and including the end token.
    std::vector<int> Tokens(const std::string& text)
    {
        Open(text);
        std::vector<int> tokens;
        do
            tokens.push_back(yylex());
        while (tokens.back() != 0 && tokens.size() < 100);
        return tokens;
    }
};

TEST_F(LexerTest, KeywordsIgnoreCaseAndNamesDoNot)
{
    std::vector<int> keywords;
    for (int k = VORN; k <= CAPACITANCE; ++k)
        keywords.push_back(k);
    keywords.push_back(0);
    EXPECT_EQ(Tokens("VORN Window medium CONDUCTOR bLoCk basepoint Name V1 v2 HVector tint DIEL "
                     "Task capacitance"),
              keywords);
    EXPECT_EQ(Tokens("a:b_2 _x9 v1x"), (std::vector<int>{NEWNAME, NEWNAME, NEWNAME, 0}));
    Tokens("net7 block");  // keywords never overwrite the last identifier
    EXPECT_EQ(ScannedName(), "net7");
    std::string longName = std::string(5000, 'q') + "_end";
    Tokens(longName + " )");
    EXPECT_EQ(ScannedName(), longName);
    Open("net1 Net1 net1x");
    dictionary["net1"] = {};
    for (int token : {CONDNAME, NEWNAME, NEWNAME})
        EXPECT_EQ(yylex(), token);
}

TEST_F(LexerTest, PunctuationAndComments)
{
    struct Case {
        const char* text;
        std::vector<int> tokens;
    } cases[] = {
        {"<>[]/(),+-*#", {'<', '>', '[', ']', '/', '(', ')', ',', '+', '-', '*', '#', 0}},
        {"/x", {'/', NEWNAME, 0}},
        {"a/", {NEWNAME, '/', 0}},
        {"/* a */ /* b */ /**/<", {'<', 0}},
        {"/*/ x */>", {'>', 0}},  // "/*/" does not close the comment it opens
        {"/* a ** b **/]", {']', 0}},
        {"< /* never closed\n ] ]", {'<', 0}},
        {"< // last line without newline", {'<', 0}},
        {"< /", {'<', '/', 0}},
        // A sign or a leading point is not part of a number.
        {"-2 .5", {'-', NUMBER, '.', NUMBER, 0}},
        {"1e) 1e999", {BADNUMBER, ')', BADNUMBER, 0}},
        {"1.5.3 2E+x 1e-400", {NUMBER, '.', NUMBER, BADNUMBER, NEWNAME, NUMBER, 0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Tokens(c.text), c.tokens) << c.text;
}

class GrammarTest : public DeckTest {
protected:
    static std::string DielDeck(const std::string& expr)
    {
        return Deck(MediumDecl("m", Block("l", "(0,0,0)"), expr) + UnitA());
    }
    // The permittivity a medium gets from `expr`, or NaN when the deck fails.
    double Diel(const std::string& expr)
    {
        ParseOutcome o = ParseText(DielDeck(expr));
        if (o.result != 0 || !mediums.count("m"))
            return std::nan("");
        EXPECT_EQ(o.out, "");
        return mediums["m"][0]->diel;
    }
};

TEST_F(GrammarTest, Expressions)
{
    struct Case {
        const char* expr;
        double value;
    } cases[] = {{"1-2-3", -4},       {"8-4+2", 6},        {"2-3*4", -10},  {"2*-3", -6},
                 {"--3", 3},          {"-2*3", -6},        {"2*3*4-1", 23}, {"1-(2-3)", 2},
                 {"-(1+2)*3", -9},    {"((((2))))*(1+1)", 4}, {"2*-3*-1", 6}, {"(1+1)*0.25", 0.5},
                 {"3.", 3},           {"1e-3", 1e-3},      {"1E+2", 100},   {"007", 7}};
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(Diel(c.expr), c.value) << c.expr;
    for (const char* bad : {".5", "2/1", "+2", "2 3", "(2", "2)", "2**3", "1e", "1e999", ""})
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
    ExpectBox(dictionary["Net1"][0], 0, 0, 0, 1, 1, 1);  // tint ignored
}

TEST_F(GrammarTest, SyntaxErrorsReportLineAndOffsetPastTheToken)
{
    const std::string a = Conductor("a", Block("b", "(0,0,0)"));
    const std::string task_head = "<vorn>\n<task> <capacitance> netX";
    struct Case {
        std::string deck, out;
    } cases[] = {
        {"<vorn>\n<foo>\n", "Line 2 CharLocate 11 : syntax error\n"},
        // A line comment advances the line; the offset counts every byte.
        {"<vorn> // x\n<window> v1 (0,0,0) v3", "Line 2 CharLocate 34 : syntax error\n"},
        {"<vorn>\n\n", "Line 3 CharLocate 8 : syntax error\n"},
        {"<vorn>\n/* one\ntwo\n*/ \r\n\t<foo>", "Line 5 CharLocate 28 : syntax error\n"},
        // A task before its conductor fails at the name.
        {task_head + " [/capacitance] [/task]\n" + Conductor("netX", Block("b", "(0,0,0)")) +
             "[/vorn]\n",
         "Line 2 CharLocate " + std::to_string(task_head.size()) + " : syntax error\n"},
        // The parse stops at the first error.
        {Deck(a + "<conductor> # " + Conductor("z", Block("b", "(0,0,0)")) + "<<<"),
         "Line 3 CharLocate " + std::to_string(7 + a.size() + 13) + " : syntax error\n"},
    };
    for (const Case& c : cases) {
        ParseOutcome o = ParseText(c.deck);
        EXPECT_EQ(o.result, 1) << c.deck;
        EXPECT_EQ(o.out, c.out) << c.deck;
    }
    EXPECT_EQ(dictionary.size(), 1u);  // what was built before the error stays
    EXPECT_TRUE(dictionary.count("a"));
}

TEST_F(GrammarTest, RejectedStructures)
{
    const std::string b = Block("b", "(0,0,0)");
    for (const std::string& deck :
         {Deck(Conductor("net1", b) + Task("Net1")),  // names are case-sensitive
          Deck(Conductor("Block", b)), Deck(Conductor("c", Block("TINT", "(0,0,0)"))),
          Deck(UnitA()) + "x", Deck(Task("a")), std::string(),
          Deck("<conductor> name a [/conductor]\n"), Deck("<medium> name m diel 1 [/medium]\n")})
        EXPECT_EQ(ParseText(deck).result, 1) << deck;
}

// The state stack holds 10000 states: the initial state, the eight symbols
// before a diel expression and one per nesting level. A long list of
// statements must not use it up.
TEST_F(GrammarTest, ParserStack)
{
    std::string body;
    for (int i = 0; i < 12000; ++i)
        body += Conductor("c" + std::to_string(i), Block("b", "(0,0,0)"));
    ParseOutcome o = ParseText(Deck(body + Task("c0")));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(dictionary.size(), 12000u);

    auto nested = [](int n) { return std::string(n, '(') + "2" + std::string(n, ')'); };
    EXPECT_DOUBLE_EQ(Diel(nested(9988)), 2);
    EXPECT_DOUBLE_EQ(Diel(std::string(9988, '-') + "2"), 2);
    o = ParseText(DielDeck(nested(9989)));
    EXPECT_EQ(o.result, 2);
    EXPECT_NE(o.out.find(" : parser stack overflow\n"), std::string::npos) << o.out.substr(0, 80);
    EXPECT_EQ(ParseText(DielDeck(std::string(9990, '-') + "2")).result, 2);
}

}  // namespace
