// Broken stacks, refused options, the registration file and standard
// output: each a clear error with status 255, never a run on bad input.
#include <sys/stat.h>

#include <string>

#include "install.h"

namespace {

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

TEST(Registration, ConcurrentRegistrationsLeaveOneWholePath)
{
    TempDir dir;
    MakeDirs(dir.path() + "/bin");
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
    EXPECT_EQ(Korva(dir.path(), "--gft /" + std::string(1100, 'x')).status, 255);
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

// Two wires 1 x 0.2 x 0.2 apart by 0.05 in oxide, every length times
// `unit`; `window` replaces the window statement when given.
std::string Wires(double unit, const std::string& window = "")
{
    auto v = [unit](double x, double y, double z) {
        std::ostringstream d;
        d << "(" << x * unit << "," << y * unit << "," << z * unit << ")";
        return d.str();
    };
    auto box = [&](double x, double y, double z, double dx, double dy, double dz) {
        return "<block> name b basepoint " + v(x, y, z) + " v1 " + v(dx, 0, 0) + " v2 " + v(0, dy, 0) + " hvector " +
               v(0, 0, dz) + " [/block]";
    };
    std::string d = "<vorn>\n" + (window.empty() ? "<window> v1 " + v(-2, -2, -1) + " v2 " + v(2, 2, 1.5) + " [/window]"
                                                  : window) +
                    "\n<medium> name ox " + box(-2, -2, -1, 4, 4, 2.5) + " diel 3.9 [/medium]\n";
    for (int w = 0; w < 2; w++)
        d += "<conductor> name w" + std::to_string(w) + " " + box(-0.5, w ? 0.025 : -0.225, 0, 1, 0.2, 0.2) +
             " [/conductor]\n";
    return d + "<task> <capacitance> w0 [/capacitance] [/task]\n[/vorn]\n";
}

// A calibration pattern's three wires, `length` um long.
std::string Pattern(const std::string& length)
{
    std::string p = "PATTERN short\nDIELECTRIC oxide HEIGHT 0.000 1.500 EPSILON 3.900\n";
    const char* x[3][2] = {{"-0.500", "-0.300"}, {"-0.100", "0.100"}, {"0.300", "0.500"}};
    for (int w = 0; w < 3; w++)
        p += "WIRE " + std::to_string(w + 1) + " M1_w" + std::to_string(w + 1) + " LL " + x[w][0] + " 0.4 LR " +
             x[w][1] + " 0.4 UR " + x[w][1] + " 0.7 UL " + x[w][0] + " 0.7 LENGTH " + length + " VOLTAGE " +
             (w == 1 ? "1" : "0") + "\n";
    return p + "WINDOW_BBOX LL -0.7 0.0 UR 0.7 1.5 LENGTH " + length + "\n";
}

}  // namespace

// A broken stack, a bad registered folder, or geometry that cannot be
// micrometres of interconnect (then the message says how Korva reads
// lengths) ends before any walk with 255; a possible but unlikely scale runs
// with a warning; never an internal check.
TEST(ImplausibleDecks, RefusedOrWarnedBeforeAnyWalk)
{
    TempDir dir;
    MakeInstall(dir.path(), "");
    const std::string far_window = "<window> v1 (-1e6,-2,-1) v2 (2,2,1.5) [/window]";
    const std::string two_media = StackDeck({{"oxide", 0, 1.5, 3.9}, {"lowk", 1.5, 4, 2.5}});
    const struct {
        std::string what, input, args;
        int status;
        std::string message;
        std::string registered = "";  // bin/.gft_dir, when not the folder itself
    } rows[] = {
        {"gap", StackDeck({{"oxide", 0, 1, 3.9}, {"lowk", 1.5, 4, 2.5}}), "", 255,
         "media \"oxide\" and \"lowk\" leave a gap between z = 1 and z = 1.5 that no medium fills\n"},
        {"overlap", StackDeck({{"oxide", 0, 2, 3.9}, {"lowk", 1.5, 4, 2.5}}), "", 255,
         "media \"oxide\" and \"lowk\" overlap between z = 1.5 and z = 2 with different permittivities (3.9 and 2.5)\n"},
        {"enclosed", StackDeck({{"oxide", 0, 4, 3.9}, {"lowk", 1, 2, 2.5}}), "", 255,
         "media \"oxide\" and \"lowk\" overlap between z = 1 and z = 2 with different permittivities (3.9 and 2.5)\n"},
        {"overlap of one permittivity: one medium", StackDeck({{"lower", 0, 2, 3.9}, {"upper", 1, 4, 3.9}}), "", 0,
         "Master Cap. Result: cap "},
        {"registered folder missing", two_media, "", 255, "does not exist", dir.path() + "/nowhere/"},
        {"registered file", two_media, "", 255, "is not a folder", dir.path() + "/d.kd/"},
        {"registered path too long", two_media, "", 255, "is 1101 characters long, more than 1023",
         "/" + std::string(1100, 'x') + "/"},
        {"metres", Wires(1e-6), "", 255,
         "Line 4 : conductor \"w0\" is 2e-07 um thick: lengths are read in micrometres, and the walks' grid "
         "(0.0002 um) resolves conductors from 0.002 um on: is the deck in metres?\n"},
        {"millimetres", Wires(1e-3), "", 255, "is 0.0002 um thick: lengths are read in micrometres"},
        {"nanometres", Wires(1e3), "", 0,
         "Warning: Line 4 : conductor \"w0\", the thinnest conductor, is 200 um thick: lengths are read in "
         "micrometres; is the deck in nanometres?\n"},
        {"nanometres, wide", Wires(1e4), "", 0,
         "Warning: the conductors span 10000 um: lengths are read in micrometres; is the deck in nanometres?\n"},
        {"nanometres, beyond the grid", Wires(1e5), "", 255,
         "the conductors span 100000 um and, with the room the walks take around them"},
        {"thin", Wires(0.045), "", 0, "Warning: Line 4 : conductor \"w0\" is only 0.009 um thick, 45 cells"},
        {"not a number", Wires(1, "<window> v1 (-2,-2,-1) v2 (2,(1e308*10)-(1e308*10),1.5) [/window]"), "", 255,
         "Line 2 : window has a coordinate that is not a finite number\n"},
        {"huge window", Wires(1, far_window), "", 255,
         "Line 2 : the window reaches 1e+06 um from the origin: lengths are read in micrometres, and the walks' "
         "grid holds 214748 um at most\n"},
        {"empty window", Wires(1, "<window> v1 (10,10,10) v2 (12,12,12) [/window]"), "", 255,
         "Line 2 : the window (10,10,10)-(12,12,12) holds none of the conductors: it must enclose them\n"},
        {"partial window", Wires(1, "<window> v1 (0,-2,-1) v2 (2,2,1.5) [/window]"), "", 255,
         "Line 4 : conductor \"w0\" reaches outside the window of line 2, (0,-2,-1)-(2,2,1.5): the window must "
         "enclose every conductor whole\n"},
        {"sub-grid gap to the master", Wires(1, "").replace(Wires(1, "").find("0.025"), 5, "-0.02499"), "", 255,
         "Conductor w1 (block on deck line 5) is 1e-05 um from the master conductor w0 (block on deck line 4): "
         "lengths are read in micrometres, and the walks' grid resolves gaps from 0.002 um on.\n"},
        {"short per-length master", Pattern("0.040"), "--per-length", 255,
         "d.kd: --per-length: the master wire M1_w2 is 0.04 um long: cut a quarter of its length (0.01 um) from "
         "each end, with a slit of 0.01 um before its middle, leaves end pieces of 0 um, and the walks' grid "
         "resolves 0.002 um: the cut needs a wire of 0.048 um or more\n"},
        {"per-length master long enough", Pattern("0.05"), "--per-length", 0, "Master Cap. Result"},
    };
    for (const auto& r : rows) {
        dir.Write("d.kd", r.input);
        dir.Write("bin/.gft_dir", r.registered.empty() ? dir.path() + "/" : r.registered);
        RunResult run = Korva(dir.path(), "-f d.kd -t 300 " + r.args);
        EXPECT_EQ(run.status, r.status) << r.what << "\n" << run.out;
        EXPECT_NE(run.out.find(r.message), std::string::npos) << r.what << "\n" << run.out;
        if (r.status == 255) {
            EXPECT_EQ(run.out.find("Random Walk Begins"), std::string::npos) << r.what;
        }
    }
}
