// Parsing deck text in memory, with the console output captured.
#pragma once

#include "parser.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

struct ParseOutcome {
    int result = -1;
    std::string out;
};

// Resets the database, parses `text` and returns yyparse's result with
// everything printed meanwhile.
inline ParseOutcome ParseText(const std::string& text)
{
    ClearDeck();
    std::istringstream stream(text);
    deck_in = &stream;
    ParseOutcome outcome;
    testing::internal::CaptureStdout();
    outcome.result = yyparse();
    outcome.out = testing::internal::GetCapturedStdout();
    deck_in = &deck_file;
    return outcome;
}

// One block statement with basepoint b and unit-free edges.
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

inline std::string Task(const std::string& master)
{
    return "<task> <capacitance> " + master + " [/capacitance] [/task]\n";
}

inline std::string Deck(const std::string& body)
{
    return "<vorn>\n" + body + "[/vorn]\n";
}

class DeckTest : public testing::Test {
protected:
    void TearDown() override { ClearDeck(); }
};
