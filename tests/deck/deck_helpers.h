// Parsing deck text in memory, with the console output captured.
#pragma once

#include "parser.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

struct ParseOutcome {
    int result = -1;
    std::string out;
};

// Resets the database and parses `text`; returns yyparse's result and the output.
inline ParseOutcome ParseText(const std::string& text)
{
    ClearDeck();
    std::istringstream stream(text);
    deck_in = &stream;
    ParseOutcome o;
    testing::internal::CaptureStdout();
    o.result = yyparse();
    o.out = testing::internal::GetCapturedStdout();
    deck_in = &deck_file;
    return o;
}

inline std::string Block(const std::string& name, const std::string& basepoint,
                         const std::string& v1 = "(1,0,0)", const std::string& v2 = "(0,1,0)",
                         const std::string& h = "(0,0,1)")
{
    return "<block> name " + name + " basepoint " + basepoint + " v1 " + v1 + " v2 " + v2 +
           " hvector " + h + " [/block]";
}

inline std::string Conductor(const std::string& name, const std::string& blocks)
{
    return "<conductor> name " + name + " " + blocks + " [/conductor]\n";
}

inline std::string MediumDecl(const std::string& name, const std::string& blocks, const std::string& diel)
{
    return "<medium> name " + name + " " + blocks + " diel " + diel + " [/medium]\n";
}

inline std::string Task(const std::string& master)
{
    return "<task> <capacitance> " + master + " [/capacitance] [/task]\n";
}

inline std::string Deck(const std::string& body) { return "<vorn>\n" + body + "[/vorn]\n"; }

// The smallest complete tail of a deck: conductor "a" as master.
inline std::string UnitA() { return Conductor("a", Block("b", "(0,0,0)")) + Task("a"); }

inline void ExpectBox(const Cuboid* b, double x0, double y0, double z0, double x1, double y1,
                      double z1)
{
    ASSERT_NE(b, nullptr);
    EXPECT_EQ((std::vector<double>{b->x0, b->y0, b->z0, b->x1, b->y1, b->z1}),
              (std::vector<double>{x0, y0, z0, x1, y1, z1}));
}

class DeckTest : public testing::Test {
protected:
    void TearDown() override { ClearDeck(); }
};
