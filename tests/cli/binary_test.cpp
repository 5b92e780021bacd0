// bin/korva run as a process from the parent folder of a bin/ folder.
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char BANNER[] =
    "/********************************************************\n"
    "* Korva --floating Random Walk based Capacitance solver *\n"
    "*    for parasitic extraction of VLSI interconnects     *\n"
    "*                 Korva Version 2012.08                 *\n"
    "********************************************************/\n";
const char HELP_FIRST_LINE[] = "The syntax (Note: RUN the program in the FATHER DIR. of \"bin\"):\n";

class BinaryTest : public testing::Test {
protected:
    TempDir dir;
    std::string tables;

    void SetUp() override
    {
        MakeDirs(dir.path() + "/bin");
        tables = dir.path() + "/tech";
        MakeDirs(tables + "/IS");
    }

    RunResult Korva(const std::string& args) { return RunIn(dir.path(), std::string(KORVA_EXE) + " " + args); }

    std::string Registered() { return ReadFile(dir.path() + "/bin/.gft_dir"); }
};

TEST_F(BinaryTest, RegistersTheTableFolderWithAFinalSlash)
{
    RunResult r = Korva("--gft " + tables);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(BANNER) + "Register the path \" " + tables +
                         "/ \" into \".gft_dir\" successfully\n");
    EXPECT_EQ(Registered(), tables + "/");

    r = Korva("--gft=" + tables + "/");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Registered(), tables + "/");
}

TEST_F(BinaryTest, OptionsAfterRegistrationAreNotRead)
{
    RunResult r = Korva("--gft " + tables + " -x -h");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(HELP_FIRST_LINE), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Registered(), tables + "/");
}

TEST_F(BinaryTest, RegistrationFailuresExitWith255)
{
    RunResult r = Korva("--gft=");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(BANNER) +
                         "must specify a dir storing the GFT files if using -gft option!");

    r = Korva("--gft " + dir.path() + "/bin");  // no IS folder under it
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(BANNER) + "The path is not valid.\nPlease input right path.\n");

    TempDir nobin;
    r = RunIn(nobin.path(), std::string(KORVA_EXE) + " --gft " + tables);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(BANNER) + "Cannot open the file to locate data.");
    EXPECT_EQ(ReadFile(dir.path() + "/bin/.gft_dir"), "");

    // A full device takes the open and the buffered write; the failure
    // only shows when the file is flushed.
    RunIn(dir.path(), "ln -sf /dev/full bin/.gft_dir");
    r = Korva("--gft " + tables);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(BANNER) + "Cannot write to .gft_dir....");
}

TEST_F(BinaryTest, HelpAndUnknownOptionsExitWith255)
{
    for (const char* args : {"-h", "--help", "-x", "-h 1"}) {
        RunResult r = Korva(args);
        EXPECT_EQ(r.status, 255) << args;
        EXPECT_EQ(r.out.rfind(std::string(BANNER) + HELP_FIRST_LINE, 0), 0u) << args;
    }
    EXPECT_NE(Korva("-x").err, "");  // the option parser's own diagnostic
}

TEST_F(BinaryTest, DeckProblemsExitWith255)
{
    RunResult r = Korva("");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind(std::string(BANNER) + "must have an input file!\n" + HELP_FIRST_LINE, 0),
              0u);

    r = Korva("-f missing.kd");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(BANNER) + "cannot open file: missing.kd\n");

    dir.Write("bad.kd", "<vorn>\n<conductor> name a [/conductor]\n[/vorn]\n");
    r = Korva("-f bad.kd");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(BANNER) + "Line 2 CharLocate 27 : syntax error\n");

    dir.Write("notask.kd", "<vorn>\n<conductor> name a <block> name b basepoint (0,0,0) v1 (1,0,0) "
                           "v2 (0,1,0) hvector (0,0,1) [/block] [/conductor]\n[/vorn]\n");
    r = Korva("-f notask.kd");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(BANNER) + "master conductor doesn't exist\n");

    r = Korva("-f notask.kd -n 0");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind(std::string(BANNER) + "invalid value \"0\" for option -n", 0), 0u);
}

}  // namespace
