#include "cmdline.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string BANNER =
    "/********************************************************\n"
    "* Korva --floating Random Walk based Capacitance solver *\n"
    "*    for parasitic extraction of VLSI interconnects     *\n"
    "*                 Korva Version 2012.08                 *\n"
    "********************************************************/\n";
const std::string HELP = "The syntax (Note: RUN the program in the FATHER DIR. of \"bin\"):\n";

// bin/korva runs from the parent folder of a bin/ folder.
class BinaryTest : public testing::Test {
protected:
    TempDir dir;
    std::string tables = dir.path() + "/tech";

    void SetUp() override
    {
        MakeDirs(dir.path() + "/bin");
        MakeDirs(tables + "/IS");
    }
    RunResult Korva(const std::string& args) { return RunIn(dir.path(), std::string(KORVA_EXE) + " " + args); }
    std::string Registered() { return ReadFile(dir.path() + "/bin/.gft_dir"); }
};

TEST_F(BinaryTest, RegistersTheTableFolderWithAFinalSlash)
{
    RunResult r = Korva("--gft " + tables);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, BANNER + "Register the path \" " + tables + "/ \" into \".gft_dir\" successfully\n");
    EXPECT_EQ(Registered(), tables + "/");
    // Options after the registration are not read.
    r = Korva("--gft=" + tables + "/ -x -h");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find(HELP), std::string::npos);
    EXPECT_EQ(Registered(), tables + "/");
}

TEST_F(BinaryTest, RegistrationFailuresExitWith255)
{
    TempDir nobin;
    // Without bin/ the registration goes to the user's configuration folder.
    RunResult r = RunIn(nobin.path(), "XDG_CONFIG_HOME=/dev/null/config " + std::string(KORVA_EXE) + " --gft " + tables);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, BANNER + "Cannot open the file to locate data.");
    struct Case {
        std::string args, out;
    } cases[] = {
        {"--gft=", "must specify a dir storing the GFT files if using -gft option!"},
        {"--gft " + dir.path() + "/bin", "The path is not valid.\nPlease input right path.\n"},
    };
    for (const Case& c : cases) {
        r = Korva(c.args);
        EXPECT_EQ(r.status, 255) << c.args;
        EXPECT_EQ(r.out, BANNER + c.out) << c.args;
    }
}

TEST_F(BinaryTest, UsageAndDeckProblemsExitWith255)
{
    dir.Write("bad.kd", "<vorn>\n<conductor> name a [/conductor]\n[/vorn]\n");
    dir.Write("notask.kd", "<vorn>\n<conductor> name a <block> name b basepoint (0,0,0) v1 (1,0,0) "
                           "v2 (0,1,0) hvector (0,0,1) [/block] [/conductor]\n[/vorn]\n");
    // Each output starts with the banner and this text; a final newline
    // marks the whole output.
    struct Case {
        std::string args, out;
    } cases[] = {
        {"-h", HELP},
        {"-x", HELP},
        {"", "must have an input file!\n" + HELP},
        {"-f missing.kd", "cannot open file: missing.kd\n"},
        {"-f bad.kd", "Line 2 CharLocate 27 : syntax error\n"},
        {"-f notask.kd", "master conductor doesn't exist\n"},
        {"-f notask.kd -n 0", "invalid value \"0\" for option -n"},
    };
    for (const Case& c : cases) {
        RunResult r = Korva(c.args);
        EXPECT_EQ(r.status, 255) << c.args;
        bool whole = c.out.back() == '\n' && c.out.find(HELP) == std::string::npos;
        EXPECT_EQ(whole ? r.out : r.out.substr(0, BANNER.size() + c.out.size()), BANNER + c.out)
            << c.args;
    }
    EXPECT_NE(Korva("-x").err, "");  // the option parser's own diagnostic
}

struct Outcome {
    int status;
    RunSettings settings;
    std::string out;
};

Outcome Parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "korva");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    Outcome o;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    o.status = ParseOptions((int)args.size(), argv.data(), o.settings);
    o.out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return o;
}

TEST(OptionsTest, Settings)
{
    struct Case {
        std::vector<std::string> args;
        std::string settings;  // deck, end mode, walks, error, threads
    } cases[] = {
        // The relative error wins over the walk count in either order.
        {{"-t", "5000", "-p", "0.02"}, " p 5000 0.02 1"},
        {{"-p", "0.02", "-t", "5000"}, " p 5000 0.02 1"},
        {{"-t", "123456789012", "-n", "4", "-p", "1e-3"}, " p 123456789012 0.001 4"},
        {{"-g", "0", "-f", "d.kd", "-w", "2", "-t", "1", "-n", "1"}, "d.kd t 1 0.1 1"},
    };
    for (const Case& c : cases) {
        Outcome o = Parse(c.args);
        const RunSettings& s = o.settings;
        EXPECT_EQ(o.status, OPTIONS_RUN);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(s.deck_path + " " + s.end_mode + " " + std::to_string(s.target_walks) + " " +
                      testing::PrintToString(s.target_error) + " " + std::to_string(s.threads),
                  c.settings);
    }
}

TEST(OptionsTest, HelpAndUsageErrorsEndWithTheHelpText)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help"}, {"-x"}, {"-h", "1"}, {"--help=1"}, {"-f"}, {"-f", "d.kd", "-t"}}) {
        Outcome o = Parse(args);
        EXPECT_EQ(o.status, 255) << args[0];
        EXPECT_EQ(o.out.rfind(HELP, 0), 0u) << args[0];
    }
    testing::internal::CaptureStdout();
    ShowHelp();
    // The lines of the long options follow these, unchanged.
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind(
              HELP +
                  "  $ bin/korva --gft <data_dir>\n"
                  "    Register the folder <data_dir> storing multi-dielectric GFT and WVTs.\n"
                  "    The GFT and WVTs are generated by Quillon for a technology specification.\n"
                  "    The data are registered only once for a technology.\n"
                  "\n"
                  "  $ bin/korva -f <file_name> [-p <rel_self_cap>|-t <num_walks>] [-n <num_thread>]\n"
                  "    \"-f\": load input file <file_name>  \n"
                  "    \"-p\": set relative error of self capacitance <rel_self_cap> for termination\n"
                  "    \"-t\": set the number of walks(paths) <num_walks> for termination\n"
                  "    \"-n\": set the number of threads <num_thread> for parallel computing\n"
                  "    The default setting is \"-t 2000 -n 1\".\n"
                  "\n", 0), 0u);
}

TEST(OptionsTest, NumericOptionsAreValidated)
{
    struct Case {
        const char* option;
        const char* value;
    } bad[] = {{"-t", "0"},   {"-t", "-5"},   {"-t", "abc"},  {"-t", "12x"},  {"-t", "1.5"},
               {"-t", ""},    {"-t", "99999999999999999999"}, {"-n", "0"},    {"-n", "two"},
               {"-n", "3000000000"},          {"-p", "0"},    {"-p", "-0.1"}, {"-p", "nan"},
               {"-p", "inf"}, {"-p", "0.1%"}, {"-p", ""}};
    for (const Case& c : bad) {
        Outcome o = Parse({"-f", "d.kd", c.option, c.value});
        EXPECT_EQ(o.status, 255) << c.option << " " << c.value;
        std::string expected = std::string("invalid value \"") + c.value + "\" for option " +
                               c.option + ": ";
        EXPECT_EQ(o.out.rfind(expected, 0), 0u) << o.out;
        EXPECT_NE(o.out.find(HELP), std::string::npos);
    }
}

}  // namespace
