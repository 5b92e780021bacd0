// A scratch working folder that holds what a run reads relative to the
// working directory: the single-medium tables under incdata/, and the
// multi-dielectric tables of some permittivity pairs registered in
// bin/.gft_dir. The test works inside it while the fixture lives.
// Needs QUILLON_EXE (each test target defines it).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testutil.h"

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
