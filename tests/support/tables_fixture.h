// A scratch working folder with what a run reads from there: single-medium
// tables under incdata/ and multi-dielectric tables registered in
// bin/.gft_dir (made by QUILLON_EXE). The test works inside it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testutil.h"

// Wire b touches wire a, so neither can be enclosed alone; c can.
inline const char TOUCHING_WIRES[] = R"(<vorn>
<window> v1 (-2,-2,-1) v2 (2,2,1.5) [/window]
<medium> name ox <block> name ox0 basepoint (-2,-2,-1) v1 (4,0,0) v2 (0,4,0) hvector (0,0,2.5) [/block] diel 3.9 [/medium]
<conductor> name a <block> name a0 basepoint (-0.5,-0.225,0) v1 (1,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block] [/conductor]
<conductor> name b <block> name b0 basepoint (-0.5,-0.025,0) v1 (1,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block] [/conductor]
<conductor> name c <block> name c0 basepoint (-0.5,0.5,0) v1 (1,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block] [/conductor]
[/vorn]
)";

class TablesWorkdir : public ::testing::Test {
protected:
    // `source` is either a deck path (its stack's pairs) or pairs "E1:E2 ...".
    void MakeTables(const std::string& source)
    {
        RunResult single = RunIn(dir.path(), Quoted(QUILLON_EXE) + " single " + Quoted(dir.path()));
        ASSERT_EQ(single.status, 0) << single.out << single.err;
        const bool deck = source.find(".kd") != std::string::npos;
        const std::string tables = Quoted(dir.path() + "/tables");
        RunResult multi = RunIn(dir.path(), Quoted(QUILLON_EXE) + (deck ? " deck " + Quoted(source) + " " + tables
                                                                   : " multi " + tables + " " + source));
        ASSERT_EQ(multi.status, 0) << multi.out << multi.err;
        dir.Write("bin/.gft_dir", dir.path() + "/tables/");
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        moved = true;
    }
    void TearDown() override { EXPECT_TRUE(!moved || chdir(old_cwd) == 0); }
    static std::string Example(const std::string& name)
    {
        return std::string(KORVA_SOURCE_DIR) + "/examples/" + name;
    }

    TempDir dir;
    char old_cwd[4096] = {};
    bool moved = false;
};
