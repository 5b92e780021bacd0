// A scratch installation (bin/, incdata/, registered multi-dielectric
// tables) and decks for the tests that damage it.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "testutil.h"

// Media as (name z0 z1 permittivity) quadruples; conductors a and b sit
// in the lowest medium, 0.2 above its bottom.
inline std::string StackDeck(const std::vector<std::tuple<std::string, double, double, double>>& media)
{
    std::ostringstream d;
    d << "<vorn>\n<window> v1 (-4,-4,-2) v2 (4,4,6) [/window]\n";
    for (const auto& m : media)
        d << "<medium> name " << std::get<0>(m) << " <block> name " << std::get<0>(m)
          << "_b basepoint (-4,-4," << std::get<1>(m) << ") v1 (8,0,0) v2 (0,8,0) hvector (0,0,"
          << std::get<2>(m) - std::get<1>(m) << ") [/block] diel " << std::get<3>(m) << " [/medium]\n";
    const double z = std::get<1>(media.front()) + 0.2;
    for (const char* c : {"a", "b"})
        d << "<conductor> name " << c << " <block> name " << c << "_b basepoint (" << (c[0] == 'a' ? -0.5 : 0.1)
          << ",-0.5," << z << ") v1 (0.4,0,0) v2 (0,1,0) hvector (0,0,0.2) [/block] [/conductor]\n";
    d << "<task> <capacitance> a [/capacitance] [/task]\n[/vorn]\n";
    return d.str();
}

// Single-medium tables, and the tables of `pairs` ("E1:E2 ...", may be
// empty) registered in bin/.gft_dir.
inline void MakeInstall(const std::string& root, const std::string& pairs)
{
    MakeDirs(root + "/bin");
    RunResult r = RunIn(root, Quoted(QUILLON_EXE) + " single .");
    ASSERT_EQ(r.status, 0) << r.err;
    if (pairs.empty())
        return;
    r = RunIn(root, Quoted(QUILLON_EXE) + " multi tables " + pairs);
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunIn(root, Quoted(KORVA_EXE) + " --gft " + Quoted(root + "/tables"));
    ASSERT_EQ(r.status, 0) << r.out;
}

inline RunResult Korva(const std::string& root, const std::string& args)
{
    return RunIn(root, Quoted(KORVA_EXE) + " " + args);
}
