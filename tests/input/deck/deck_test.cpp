// The deck language: tokens, expressions and what a parsed deck holds.
// Messages of refused decks are checked through the binary.
#include "parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The deck of the last Parse.
DeckLists parsed;

// Parses deck text into `parsed`: the parse's result and what it printed.
std::pair<int, std::string> Parse(const std::string& text)
{
    std::istringstream stream(text);
    testing::internal::CaptureStdout();
    int result = ParseDeck(stream, parsed);
    return {result, testing::internal::GetCapturedStdout()};
}

std::string Block(const std::string& name, const std::string& base, const std::string& v1 = "(1,0,0)",
                  const std::string& h = "(0,0,1)")
{
    return "<block> name " + name + " basepoint " + base + " v1 " + v1 + " v2 (0,1,0) hvector " + h + " [/block]";
}
std::string Object(const char* kind, const std::string& name, const std::string& blocks, const std::string& diel = "")
{
    return "<" + std::string(kind) + "> name " + name + " " + blocks + (diel.empty() ? "" : " diel " + diel) + " [/" +
           kind + "]\n";
}
std::string Deck(const std::string& body, const std::string& master = "a")
{
    return "<vorn>\n" + body + "<task> <capacitance> " + master + " [/capacitance] [/task]\n[/vorn]\n";
}
const std::string A = Object("conductor", "a", Block("b", "(0,0,0)"));

std::vector<double> Box(const Cuboid* b) { return {b->x0, b->y0, b->z0, b->x1, b->y1, b->z1}; }

struct DeckTest : testing::Test {
    void TearDown() override { parsed = DeckLists(); }
};

TEST_F(DeckTest, TokensKeywordsAndComments)
{
    std::istringstream stream;
    auto tokens = [&](const std::string& text) {
        stream.str(text);
        stream.clear();
        return DeckTokens(stream, 100);
    };
    EXPECT_EQ(tokens("VORN Window bLoCk HVector DIEL capacitance"),
              (std::vector<int>{VORN, WINDOW, BLOCK, HVECTOR, DIEL, CAPACITANCE, 0}));
    const struct {
        const char* text;
        std::vector<int> tokens;
    } cases[] = {
        {"<>[]/(),+-*#", {'<', '>', '[', ']', '/', '(', ')', ',', '+', '-', '*', '#', 0}},
        {"a:b_2 _x9 v1x", {NEWNAME, NEWNAME, NEWNAME, 0}},
        {"/x a/", {'/', NEWNAME, NEWNAME, '/', 0}},
        {"/*/ x */>", {'>', 0}},  // "/*/" does not close the comment it opens
        {"< /* never closed\n ] ]", {'<', 0}},
        {"< // last line without newline", {'<', 0}},
        {"-2 .5", {'-', NUMBER, '.', NUMBER, 0}},
        {"1e) 1e999", {BADNUMBER, ')', BADNUMBER, 0}},
        {"1.5.3 2E+x 1e-400", {NUMBER, '.', NUMBER, BADNUMBER, NEWNAME, NUMBER, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tokens(c.text), c.tokens) << c.text;
}

TEST_F(DeckTest, PermittivityExpressions)
{
    auto diel = [](const std::string& expr) {
        auto p = Parse(Deck(Object("medium", "m", Block("l", "(0,0,0)"), expr) + A));
        return p.first == 0 && parsed.media_by_name.count("m") ? parsed.media_by_name["m"][0]->diel : std::nan("");
    };
    const std::pair<const char*, double> cases[] = {
        {"1-2-3", -4}, {"8-4+2", 6},   {"2-3*4", -10}, {"2*-3", -6},       {"--3", 3},   {"-(1+2)*3", -9},
        {"3.", 3},     {"1e-3", 1e-3}, {"1E+2", 100},  {"(1+1)*0.25", 0.5}, {"007", 7}};
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(diel(c.first), c.second) << c.first;
    for (const char* bad : {".5", "2/1", "+2", "2 3", "(2", "2)", "2**3", "1e999", ""})
        EXPECT_TRUE(std::isnan(diel(bad))) << bad;
}

TEST_F(DeckTest, LaterStatementsReplaceOrAreDroppedAndListsPutTheMasterFirst)
{
    auto p = Parse(Deck("<window> v1 (0,0,0) v2 (-1,1,1) [/window]\n"
                          "<window> v1 (-1,-2,-3) v2 (1*2,2,3) [/window]\n" +
                              Object("medium", "z", Block("z0", "(0,0,0)") + Block("z1", "(0,0,1)"), "-1") +
                              Object("medium", "z", Block("z2", "(0,0,5)"), "2.5") +
                              Object("medium", "Y", Block("y0", "(0,0,2)"), "3") +
                              Object("conductor", "b", Block("b0", "(1,1,1)", "(2,1,0)", "(0,1,4)") + Block("b1", "(0,0,2)")) +
                              Object("conductor", "a", Block("a0", "(2,0,0)")) + Object("conductor", "a", Block("x", "(7,7,7)")) +
                              Object("conductor", "B", Block("B0", "(6,0,0)")),
                          "b"));
    ASSERT_EQ(p.first, 0) << p.second;
    EXPECT_EQ(p.second, "");
    EXPECT_EQ(Box(parsed.window), (std::vector<double>{-1, -2, -3, 2, 2, 3}));
    // A block spans its basepoint to the sum of all four vectors.
    EXPECT_EQ(Box(parsed.conductors["b"][0]), (std::vector<double>{1, 1, 1, 3, 4, 5}));
    DeckLists& lists = parsed;
    BuildDeckLists(lists);
    EXPECT_EQ(lists.names, (std::vector<std::string>{"b", "B", "a"}));
    std::vector<double> blocks, media;
    for (const Cuboid* c : lists.cuboids)
        blocks.insert(blocks.end(), {(double)c->id, c->x0, c->z0});
    EXPECT_EQ(blocks, (std::vector<double>{0, 1, 1, 0, 0, 2, 1, 6, 0, 2, 2, 0}));
    for (const Medium* m : lists.media)
        media.insert(media.end(), {m->diel, m->block->z0});
    EXPECT_EQ(media, (std::vector<double>{3, 2, 2.5, 5}));
}

// A block that spans the window in x and y is a band, any other a body;
// bodies come in the order of their statements (a replacing statement at
// its own place), and only bands fill the window.
TEST_F(DeckTest, BandsAndBodiesByTheWindow)
{
    const std::string W = "<window> v1 (0,0,0) v2 (4,4,4) [/window]\n",
                      A1 = Object("conductor", "a", Block("b", "(1,1,1)"));
    auto slab = [](const char* base, const char* v1, const char* h, const char* v2 = "(0,4,0)") {
        return std::string("<block> name s basepoint ") + base + " v1 " + v1 + " v2 " + v2 + " hvector " + h +
               " [/block]";
    };
    auto m = [](const char* name, const std::string& blocks, const char* diel) {
        return Object("medium", name, blocks, diel);
    };
    const std::string full = slab("(0,0,0)", "(4,0,0)", "(0,0,4)"), near = slab("(-1e-13,0,0)", "(4,0,0)", "(0,0,4)");
    const std::string body1 = Block("p", "(1,1,0.5)", "(2,0,0)", "(0,0,2)"), body2 = Block("q", "(0,1,1)");
    const struct {
        const char* label;
        std::string deck;
        int status;
        std::vector<double> bands, bodies;  // permittivities in list order
    } rows[] = {
        {"within 1e-12", W + m("m", near, "2") + A1, 0, {2}, {}},
        {"short of the window in y",
         W + m("m", full, "2") + m("n", slab("(0,0,0)", "(4,0,0)", "(0,0,4)", "(0,3.9,0)"), "3") + A1,
         0, {2}, {3}},
        {"deck order, not name order",
         W + m("z", full, "1") + m("p", body1, "5") + m("b", body2 + body1, "6") + A1,
         0, {1}, {5, 6, 6}},
        {"a replacing statement at its own place",
         W + m("c", body1, "5") + m("d", body2, "6") + m("c", body1, "7") + m("z", full, "1") + A1,
         0, {1}, {6, 7}},
        {"the window defaults to the conductors",
         m("m", Block("c", "(1,1,0)", "(1,0,0)", "(0,0,4)"), "2") + m("n", body2, "3") + A1,
         0, {2}, {3}},
        {"bodies alone leave the window unset", W + m("p", body1, "5") + A1, 255, {}, {}},
        {"a body does not fill a gap between bands",
         W + m("lo", slab("(0,0,0)", "(4,0,0)", "(0,0,1)"), "2") +
             m("hi", slab("(0,0,2)", "(4,0,0)", "(0,0,2)"), "2") + m("p", body1, "5") + A1,
         255, {}, {}},
    };
    for (const auto& row : rows) {
        DeckLists lists;
        testing::internal::CaptureStdout();
        const int status = LoadDeckText(Deck(row.deck), lists);
        const std::string said = testing::internal::GetCapturedStdout();
        ASSERT_EQ(status, row.status) << row.label << "\n" << said;
        std::vector<double> bands, bodies;
        for (const Medium* b : lists.bands)
            bands.push_back(b->diel);
        for (const Medium* b : lists.bodies)
            bodies.push_back(b->diel);
        EXPECT_EQ(bands, row.bands) << row.label;
        EXPECT_EQ(bodies, row.bodies) << row.label;
    }
}

}  // namespace
