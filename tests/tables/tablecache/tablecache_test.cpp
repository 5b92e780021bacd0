// Tables made on demand (into the cache, with the row of registered tables;
// by racing runs; into an unusable cache) and an installed korva.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "deckpairs.h"
#include "log.h"
#include "runner.h"
#include "tablefiles.h"
#include "testutil.h"

namespace {

// Two wires on either side of a 3.9 / 2.7 interface, one touching it.
const char DECK[] = R"(<vorn>
<window> v1 (-2,-2,-1) v2 (2,2,2) [/window]
<medium> name low <block> name lb basepoint (-2,-2,-1) v1 (4,0,0) v2 (0,4,0) hvector (0,0,1.5) [/block] diel 3.9 [/medium]
<medium> name high <block> name hb basepoint (-2,-2,0.5) v1 (4,0,0) v2 (0,4,0) hvector (0,0,1.5) [/block] diel 2.7 [/medium]
<conductor> name a <block> name ab basepoint (-0.5,-0.1,0) v1 (1,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block] [/conductor]
<conductor> name b <block> name bb basepoint (-0.5,-0.1,0.5) v1 (1,0,0) v2 (0,0.2,0) hvector (0,0,0.2) [/block] [/conductor]
<task> <capacitance> a [/capacitance] [/task]
[/vorn]
)";
const DielPair PAIR{3.9, 2.7};

// A working folder with the single-medium tables and the deck; the cache
// and configuration folders of the process point into it.
struct Workdir {
    TempDir dir;
    std::string deck = dir.Write("deck.kd", DECK);
    std::string cache = dir.path() + "/cache";
    std::string tables = cache + "/korva/tables";
    std::string env = "XDG_CACHE_HOME=" + Quoted(cache) + " XDG_CONFIG_HOME=" + Quoted(dir.path() + "/config");

    // A copy of korva of its own, so that no registration kept beside the
    // build's korva (a checkout that ran its example) reaches these runs.
    std::string exe = dir.path() + "/tool/korva";

    Workdir()
    {
        RunResult r = RunIn(dir.path(), Quoted(QUILLON_EXE) + " single . && mkdir -p tool && cp " +
                                             Quoted(KORVA_EXE) + " tool/korva");
        EXPECT_EQ(r.status, 0) << r.err;
    }
    RunResult Korva(const std::string& args) const
    {
        return RunIn(dir.path(), "env -u KORVA_DATA " + env + " " + Quoted(exe) + " " + args);
    }
};

// Runs the deck in-process in `cwd` with the given cache; returns the row
// and, in `printed`, what the run wrote on the output channel.
std::vector<double> RowIn(const Workdir& w, const std::string& cache, std::string& printed)
{
    char old[4096];
    EXPECT_NE(getcwd(old, sizeof old), nullptr);
    EXPECT_EQ(chdir(w.dir.path().c_str()), 0);
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (w.dir.path() + "/config").c_str(), 1);
    FILE* out = tmpfile();
    Log::open();
    Log::out = Log::ero = out;
    RunOptions opt;
    opt.mode = 't';
    opt.walks = 3000;
    RunOutput row;
    EXPECT_EQ(RunDeck(w.deck, opt, row), 0);
    Log::open();
    rewind(out);
    printed.clear();
    for (int c; (c = fgetc(out)) != EOF;)
        printed += (char)c;
    fclose(out);
    EXPECT_EQ(chdir(old), 0);
    return row.cap;
}

TEST(TableCache, FreshCacheGivesTheRowOfRegisteredTables)
{
    unsetenv("KORVA_DATA");
    Workdir registered, fresh;
    RunResult q = RunIn(registered.dir.path(), Quoted(QUILLON_EXE) + " multi tables 3.9:2.7");
    ASSERT_EQ(q.status, 0) << q.err;
    ASSERT_EQ(registered.Korva("--gft " + registered.dir.path() + "/tables").status, 0);

    std::string printed;
    std::vector<double> want = RowIn(registered, registered.cache, printed);
    EXPECT_EQ(printed.find("Generated"), std::string::npos) << printed;
    ASSERT_EQ(want.size(), 2u);

    // No registration anywhere: the pair is generated into the cache, once.
    std::vector<double> got = RowIn(fresh, fresh.cache, printed);
    EXPECT_NE(printed.find("Generated the tables of permittivity pair 3.9 / 2.7 into " + fresh.tables + " in"),
              std::string::npos) << printed;
    EXPECT_EQ(got, want);
    for (const std::string& name : PairFileNames(PAIR))
        EXPECT_TRUE(ReadFile(fresh.tables + "/" + name) == ReadFile(registered.dir.path() + "/tables/" + name)) << name;
    EXPECT_EQ(RowIn(fresh, fresh.cache, printed), want);
    EXPECT_EQ(printed.find("Generated"), std::string::npos) << printed;

    // A registered folder without the pair takes the generated tables
    // itself when it is writable.
    TempDir empty;
    MakeDirs(empty.path() + "/IS");
    fresh.dir.Write("bin/.gft_dir", empty.path() + "/");
    EXPECT_EQ(RowIn(fresh, "/nonexistent", printed), want);
    EXPECT_NE(printed.find("into " + empty.path()), std::string::npos) << printed;
}

TEST(TableCache, RacingRunsBothSucceedWithWholeFiles)
{
    Workdir w;
    std::string run = "env " + w.env + " " + Quoted(w.exe) + " -f deck.kd -t 300";
    RunIn(w.dir.path(), "{ (" + run + " > one.txt; echo $? > one.rc) & (" + run + " > two.txt; echo $? > two.rc); wait; }");
    for (const char* name : {"one", "two"}) {
        EXPECT_EQ(ReadFile(w.dir.path() + "/" + name + ".rc"), "0\n") << name;
        EXPECT_NE(ReadFile(w.dir.path() + "/" + name + ".txt").find("Master Cap. Result"), std::string::npos);
    }
    TempDir reference;
    ASSERT_EQ(WritePairTables(reference.path(), SolvePair(PAIR)), 10);
    for (const std::string& name : PairFileNames(PAIR))
        EXPECT_TRUE(ReadFile(w.tables + "/" + name) == ReadFile(reference.path() + "/" + name)) << name;
    // Nothing but the ten tables: no temporary file left behind.
    EXPECT_EQ(RunIn(w.tables, "{ find . -type f | wc -l; }").out, "10\n");
}

TEST(TableCache, UnusableCacheStopsBeforeTheWalks)
{
    Workdir w;
    // A cache below a plain file can be neither created nor written, also
    // for root.
    w.dir.Write("blocker", "");
    w.env = "XDG_CACHE_HOME=" + Quoted(w.dir.path() + "/blocker/cache") + " XDG_CONFIG_HOME=/nonexistent";
    RunResult r = w.Korva("-f deck.kd -t 300");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("permittivity pair 3.9 / 2.7"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/blocker/cache/korva/tables is not writable"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("quillon multi DIR 3.9:2.7"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Random Walk Begins"), std::string::npos) << r.out;
    EXPECT_EQ(RunIn(w.dir.path(), "{ find . -type f ! -path './incdata/*' ! -path './tool/*' | sort; }").out, "./blocker\n./deck.kd\n");

    // A stack with a gap between its media has a face without permittivity.
    std::string gap = DECK;
    gap.replace(gap.find("(0,0,1.5) [/block] diel 3.9"), 9, "(0,0,1.2)");
    w.dir.Write("deck.kd", gap);
    r = w.Korva("-f deck.kd -t 300");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("leave a gap between z = 0.2 and z = 0.5"), std::string::npos) << r.out;
}

TEST(TableCache, InstalledKorvaRunsFromAnotherFolder)
{
    Workdir w;
    const std::string prefix = w.dir.path() + "/prefix";
    RunResult in = RunIn(w.dir.path(), "cmake --install " + Quoted(KORVA_BUILD_DIR) + " --prefix " + Quoted(prefix));
    ASSERT_EQ(in.status, 0) << in.out << in.err;
    const std::string share = prefix + "/share/korva", doc = prefix + "/share/doc/korva";
    for (const std::string& f : {prefix + "/bin/quillon", doc + "/README.md", doc + "/docs/running.md"})
        EXPECT_EQ(access(f.c_str(), R_OK), 0) << f;

    TempDir elsewhere;
    auto korva = [&](const std::string& args) {
        return RunIn(elsewhere.path(), "env -u KORVA_DATA " + w.env + " " + Quoted(prefix + "/bin/korva") + " " + args);
    };
    RunResult v = korva("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("korva 2012.08 (", 0), 0u) << v.out;  // first, without the banner
    EXPECT_NE(v.out.find(")\nsingle-medium tables: " + share + "/incdata\n"), std::string::npos) << v.out;
    // A lone copy of the executable finds the tables through KORVA_DATA.
    RunResult lone = RunIn(elsewhere.path(), "cp " + Quoted(prefix + "/bin/korva") + " . && KORVA_DATA=" + Quoted(share) +
                                                 " ./korva --version");
    EXPECT_NE(lone.out.find("single-medium tables: " + share + "/incdata\n"), std::string::npos) << lone.out;
    RunResult r = korva("-f " + Quoted(doc + "/examples/two_wires.kd") + " -t 300");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Master Cap. Result"), std::string::npos) << r.out;
    // A writable prefix keeps the registration under its etc/, outside the
    // installed files; the run then generates the deck's pair into the
    // registered folder.
    MakeDirs(w.dir.path() + "/tech/IS");
    RunResult g = korva("--gft " + Quoted(w.dir.path() + "/tech"));
    EXPECT_EQ(g.status, 0) << g.out;
    EXPECT_EQ(ReadFile(prefix + "/etc/korva/gft_dir"), w.dir.path() + "/tech/");
    r = korva("-f " + Quoted(w.deck) + " -t 300");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("into " + w.dir.path() + "/tech in"), std::string::npos) << r.out;
}

}  // namespace
