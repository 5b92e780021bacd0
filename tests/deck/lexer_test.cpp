#include "deck_helpers.h"

#include <vector>

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
        int t;
        do {
            t = yylex();
            tokens.push_back(t);
        } while (t != 0 && tokens.size() < 100);
        return tokens;
    }
};

TEST_F(LexerTest, KeywordsIgnoreCaseAndCarryTheirIndex)
{
    const char* words[] = {"VORN", "Window", "medium", "CONDUCTOR", "bLoCk", "basepoint", "Name",
                           "V1", "v2", "HVector", "tint", "DIEL", "Task", "capacitance"};
    for (int k = 0; k < 14; ++k) {
        Open(words[k]);
        EXPECT_EQ(yylex(), 300 + k) << words[k];
        EXPECT_EQ(yylval.ival, k);
    }
}

TEST_F(LexerTest, IdentifiersTakeColonUnderscoreAndDigits)
{
    EXPECT_EQ(Tokens("a:b_2 _x9 v1x"), (std::vector<int>{NEWNAME, NEWNAME, NEWNAME, 0}));
    Open("a:b_2)");
    EXPECT_EQ(yylex(), NEWNAME);
    EXPECT_EQ(ScannedName(), "a:b_2");
    EXPECT_EQ(yylval.ival, 1);
    EXPECT_EQ(yylex(), ')');
    // Keywords never overwrite the last identifier.
    Open("net7 block");
    yylex();
    yylex();
    EXPECT_EQ(ScannedName(), "net7");
}

TEST_F(LexerTest, IdentifierOfAnyLengthIsKeptWhole)
{
    std::string longName(5000, 'q');
    longName += "_end";
    Open(longName + " ");
    EXPECT_EQ(yylex(), NEWNAME);
    EXPECT_EQ(ScannedName(), longName);
}

TEST_F(LexerTest, KnownConductorNamesScanAsCondnameCaseSensitively)
{
    Open("net1 Net1 net1x");
    dictionary["net1"] = {};
    EXPECT_EQ(yylex(), CONDNAME);
    EXPECT_EQ(yylex(), NEWNAME);
    EXPECT_EQ(yylex(), NEWNAME);
}

TEST_F(LexerTest, NumbersUseStreamExtraction)
{
    struct Case {
        const char* text;
        double value;
    } cases[] = {{"2", 2}, {"0.25", 0.25}, {"3.", 3}, {"1e-3", 1e-3}, {"1E+2", 100}, {"007", 7}};
    for (const Case& c : cases) {
        Open(std::string(c.text) + ",");
        EXPECT_EQ(yylex(), NUMBER) << c.text;
        EXPECT_DOUBLE_EQ(yylval.number, c.value) << c.text;
        EXPECT_EQ(yylex(), ',') << c.text;
    }
    // A sign or a leading point is not part of a number.
    EXPECT_EQ(Tokens("-2 .5"), (std::vector<int>{'-', NUMBER, '.', NUMBER, 0}));
    // A number the stream cannot read is a token no rule accepts.
    EXPECT_EQ(Tokens("1e)")[0], BADNUMBER);
    EXPECT_EQ(Tokens("1e999")[0], BADNUMBER);
}

TEST_F(LexerTest, PunctuationAndUnknownCharactersAreThemselves)
{
    EXPECT_EQ(Tokens("<>[]/(),+-*#"),
              (std::vector<int>{'<', '>', '[', ']', '/', '(', ')', ',', '+', '-', '*', '#', 0}));
    EXPECT_EQ(Tokens("/x"), (std::vector<int>{'/', NEWNAME, 0}));
    EXPECT_EQ(Tokens("a/"), (std::vector<int>{NEWNAME, '/', 0}));
}

TEST_F(LexerTest, CommentsAndLineCounting)
{
    Open("// one\n// two\n<");
    EXPECT_EQ(yylex(), '<');
    EXPECT_EQ(miline, 3);

    EXPECT_EQ(Tokens("/* a */ /* b */ /**/<"), (std::vector<int>{'<', 0}));
    // "/*/" does not close the comment it opens.
    EXPECT_EQ(Tokens("/*/ x */>"), (std::vector<int>{'>', 0}));
    EXPECT_EQ(Tokens("/* a ** b **/]"), (std::vector<int>{']', 0}));

    Open("/* one\ntwo\n*/ \r\n\t[");
    EXPECT_EQ(yylex(), '[');
    EXPECT_EQ(miline, 4);
}

TEST_F(LexerTest, InputEndingInsideACommentEndsTheTokens)
{
    EXPECT_EQ(Tokens("< /* never closed\n ] ]"), (std::vector<int>{'<', 0}));
    EXPECT_EQ(Tokens("< // last line without newline"), (std::vector<int>{'<', 0}));
    EXPECT_EQ(Tokens("< /"), (std::vector<int>{'<', '/', 0}));
}

}  // namespace
