// Broken stacks, refused options, the registration file and standard
// output: each a clear error with status 255, never a run on bad input.
#include <sys/stat.h>

#include <string>

#include "install.h"

namespace {

const std::string HELP = "The syntax (Note: RUN the program in the FATHER DIR. of \"bin\"):\n";

// Found before any table is read: the folder has none.
TEST(BrokenStacks, GapsAndConflictingOverlapsAreDeckErrors)
{
    TempDir dir;
    const struct {
        std::string deck, message;
    } rows[] = {
        {StackDeck({{"oxide", 0, 1, 3.9}, {"lowk", 1.5, 4, 2.5}}),
         "media \"oxide\" and \"lowk\" leave a gap between z = 1 and z = 1.5 that no medium fills\n"},
        {StackDeck({{"oxide", 0, 2, 3.9}, {"lowk", 1.5, 4, 2.5}}),
         "media \"oxide\" and \"lowk\" overlap between z = 1.5 and z = 2 with different permittivities (3.9 and 2.5)\n"},
        {StackDeck({{"oxide", 0, 4, 3.9}, {"lowk", 1, 2, 2.5}}),
         "media \"oxide\" and \"lowk\" overlap between z = 1 and z = 2 with different permittivities (3.9 and 2.5)\n"},
    };
    for (const auto& r : rows) {
        dir.Write("d.kd", r.deck);
        RunResult run = Korva(dir.path(), "-f d.kd");
        EXPECT_EQ(run.status, 255);
        EXPECT_NE(run.out.find(r.message), std::string::npos) << run.out;
    }
}

TEST(BrokenStacks, OverlapOfOnePermittivityIsOneMedium)
{
    TempDir dir;
    MakeInstall(dir.path(), "");
    dir.Write("d.kd", StackDeck({{"lower", 0, 2, 3.9}, {"upper", 1, 4, 3.9}}));
    dir.Write("bin/.gft_dir", dir.path() + "/");  // two media: a folder must be registered
    RunResult run = Korva(dir.path(), "-f d.kd -t 500");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Master Cap. Result: cap "), std::string::npos);
}

TEST(RefusedOptions, EndWithTheHelpText)
{
    TempDir dir;
    for (const char* args : {"-f d.kd -n 1025", "-f d.kd -n 2147483647", "-f d.kd -g 2", "-f d.kd -w 5",
                             "-f d.kd -w x", "-f d.kd stray", "-f d.kd -f e.kd"}) {
        RunResult run = Korva(dir.path(), args);
        EXPECT_EQ(run.status, 255) << args;
        EXPECT_NE(run.out.find(HELP), std::string::npos) << args;
    }
    // Existing variants are accepted (and the run goes on to the deck).
    RunResult run = Korva(dir.path(), "-f d.kd -g 0 -w 4 -n 1024");
    EXPECT_NE(run.out.find("cannot open file: d.kd"), std::string::npos) << run.out;
}

TEST(SyntaxErrors, PositionIsNeverNegative)
{
    TempDir dir;
    ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
    for (const char* args : {"-f /dev/zero", "-f fifo & printf '<vorn> junk' > fifo; wait $!"}) {
        RunResult run = RunIn(dir.path(), "{ " + Quoted(KORVA_EXE) + " " + args + "; }");
        EXPECT_EQ(run.status, 255) << args;
        EXPECT_NE(run.out.find("CharLocate "), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("CharLocate -"), std::string::npos) << run.out;
    }
}

class Registration : public testing::Test {
protected:
    void SetUp() override
    {
        MakeInstall(dir.path(), "");
        dir.Write("d.kd", StackDeck({{"oxide", 0, 1.5, 3.9}, {"lowk", 1.5, 4, 2.5}}));
    }
    TempDir dir;
};

TEST_F(Registration, BadRegisteredFolderEndsWith255)
{
    const struct {
        std::string registered, message;
    } rows[] = {
        {dir.path() + "/nowhere/", "does not exist"},
        {dir.path() + "/d.kd/", "is not a folder"},
        {"/" + std::string(1100, 'x') + "/", "is 1101 characters long, more than 1023"},
    };
    for (const auto& r : rows) {
        dir.Write("bin/.gft_dir", r.registered);
        RunResult run = Korva(dir.path(), "-f d.kd -t 100");
        EXPECT_EQ(run.status, 255) << r.message;
        EXPECT_NE(run.out.find(r.message), std::string::npos) << run.out;
    }
    RunResult run = Korva(dir.path(), "--gft /" + std::string(1100, 'x'));
    EXPECT_EQ(run.status, 255);
}

TEST_F(Registration, ConcurrentRegistrationsLeaveOneWholePath)
{
    const std::string a = dir.path() + "/" + std::string(200, 'a'), b = dir.path() + "/b";
    MakeDirs(a + "/IS");
    MakeDirs(b + "/IS");
    const std::string gft = Quoted(KORVA_EXE) + " --gft ";
    for (int round = 0; round < 10; ++round) {
        RunResult run = RunIn(dir.path(), "{ " + gft + Quoted(a) + " & " + gft + Quoted(b) + " & " + gft +
                                              Quoted(a) + " & " + gft + Quoted(b) + "; wait; }");
        const std::string file = ReadFile(dir.path() + "/bin/.gft_dir");
        EXPECT_TRUE(file == a + "/" || file == b + "/") << file;
    }
    RunResult ls = RunIn(dir.path(), "ls -A bin");
    EXPECT_EQ(ls.out, ".gft_dir\n");  // no temporary file left behind
}

TEST(StandardOutput, WriteErrorsEndWithAMessageOnStandardError)
{
    TempDir dir;
    MakeInstall(dir.path(), "");
    MakeDirs(dir.path() + "/tech/IS");
    dir.Write("d.kd", StackDeck({{"oxide", 0, 4, 3.9}}));
    for (const char* command : {"-f d.kd -t 200 >/dev/full", "--gft tech >/dev/full", "-f d.kd -t 200 >&-"}) {
        // The inner redirection wins over the one RunIn adds around the group.
        RunResult run = RunIn(dir.path(), "{ " + Quoted(KORVA_EXE) + " " + command + "; }");
        EXPECT_NE(run.status, 0) << command;
        EXPECT_NE(run.err.find("cannot write to standard output"), std::string::npos) << command << run.err;
    }
}

}  // namespace
