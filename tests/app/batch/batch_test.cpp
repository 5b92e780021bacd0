// Batches: a broken input is contained and recorded, finished results are
// skipped on a rerun, shards split a list exactly, and the summary CSV.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>

#include "batch.h"
#include "textsafe.h"

#include "tables_fixture.h"

namespace {

using Json = nlohmann::json;

class Batch : public TablesWorkdir {
protected:
    void SetUp() override
    {
        MakeTables(Example("two_wires.kd"));
        const std::string deck = ReadFile(Example("two_wires.kd"));
        std::string list = "# five decks and a broken one\n";
        for (std::string name : {"a", "b", "c", "d", "e"}) {
            dir.Write("decks/" + name + ".kd", deck);
            list += "decks/" + name + ".kd\n";
        }
        dir.Write("decks/broken.kd", "<vorn>\n<window> v1 (0,0,0) v2 (1,1\n");
        list += "\ndecks/broken.kd\n";
        dir.Write("list.txt", list);
    }
    RunResult Run(const std::string& args)
    {
        return RunIn(dir.path(), std::string(KORVA_EXE) + " --batch list.txt -t 1500 --seed 3 " + args);
    }
    Json Result(const std::string& rel) { return Json::parse(ReadFile(dir.path() + "/" + rel)); }
};

TEST_F(Batch, BrokenInputIsRecordedRerunSkipsTheFinishedAndMergeCollectsAll)
{
    RunResult r = Run("--out-dir out");
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_EQ(Count(r.out, ": done"), 5) << r.out;
    EXPECT_NE(r.out.find("Batch: 5 done, 0 skipped, 1 failed\n"), std::string::npos) << r.out;
    for (const char* name : {"a", "b", "c", "d", "e"}) {
        Json doc = Result(std::string("out/decks~") + name + ".kd.json");
        EXPECT_EQ(doc["masters"][0]["converged"], true) << name;
        EXPECT_EQ(doc["masters"][0]["walks"], 1500) << name;
    }
    Json bad = Result("out/decks~broken.kd.json");
    EXPECT_EQ(bad["failed"], true);
    EXPECT_EQ(bad["error"], "exit status 255");
    EXPECT_FALSE(bad["log_tail"].get<std::string>().empty());

    // Resume: the five are skipped, the broken one is tried again.
    r = Run("--out-dir out");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(Count(r.out, ": skipped"), 5) << r.out;
    EXPECT_EQ(Count(r.out, "FAILED"), 1) << r.out;
    EXPECT_NE(r.out.find("Batch: 0 done, 5 skipped, 1 failed\n"), std::string::npos) << r.out;
    // A stricter target, or other numbers asked for, runs them again.
    r = RunIn(dir.path(), std::string(KORVA_EXE) + " --batch list.txt -t 2500 --seed 3 --out-dir out");
    EXPECT_EQ(Count(r.out, ": skipped"), 0) << r.out;
    EXPECT_EQ(Result("out/decks~a.kd.json")["masters"][0]["walks"], 2500);
    r = RunIn(dir.path(), std::string(KORVA_EXE) + " --batch list.txt -t 2500 --seed 4 --out-dir out");
    EXPECT_EQ(Count(r.out, ": done"), 5) << r.out;
    EXPECT_EQ(Result("out/decks~a.kd.json")["batch"]["number_options"], "--seed 4");
    // In either mode.
    for (int round = 0; round < 2; round++) {
        r = RunIn(dir.path(), std::string(KORVA_EXE) + " --batch list.txt -p 0.3 --seed 4 --out-dir p");
        EXPECT_EQ(Count(r.out, ": skipped"), round ? 5 : 0) << r.out;
    }
    // An input edited since its result is another input.
    std::ofstream(dir.path() + "/decks/a.kd", std::ios::app) << "// edited\n";
    r = RunIn(dir.path(), std::string(KORVA_EXE) + " --batch list.txt -p 0.3 --seed 4 --out-dir p");
    EXPECT_EQ(Count(r.out, ": skipped"), 4) << r.out;
    EXPECT_EQ(Count(r.out, "a.kd: done"), 1) << r.out;
    EXPECT_NE(r.out.find("Batch: 1 done, 4 skipped, 1 failed\n"), std::string::npos) << r.out;

    // Five decks of two wires and the window, then the failed input.
    RunResult csv = RunIn(dir.path(), std::string(KORVA_EXE) + " --merge out");
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("result,deck,status,master,conductor,capacitance_F,std_error_F\n", 0), 0u) << csv.out;
    EXPECT_EQ(Count(csv.out, ",ok,wire1,"), 15);
    EXPECT_EQ(Count(csv.out, "decks~broken.kd.json,decks/broken.kd,failed,"), 1) << csv.out;
    EXPECT_EQ(Count(csv.out, "\n"), 17);
}

TEST_F(Batch, ShardsCoverTheListExactlyOnce)
{
    std::multiset<std::string> seen;
    for (const char* shard : {"0/2", "1/2"}) {
        RunResult r = Run(std::string("--out-dir s") + shard[0] + " --shard " + shard);
        EXPECT_EQ(Count(r.out, "["), 3) << r.out;
        for (const char* name : {"a", "b", "c", "d", "e", "broken"})
            if (access((dir.path() + "/s" + shard[0] + "/decks~" + name + ".kd.json").c_str(), F_OK) == 0)
                seen.insert(name);
    }
    EXPECT_EQ(seen, (std::multiset<std::string>{"a", "b", "c", "d", "e", "broken"}));
    // Bad shards, and files one run would write for every input alike:
    // refused before any input runs.
    for (const char* wrong : {"--shard 2/2", "--shard 1/0", "--shard -1/2", "--shard 1/2x", "--report r.html",
                              "--shard 4294967296/4294967297", "--shard 1/4294967298", "--shard 0/2147483648",
                              "--shard +0/2", "--shard 0/+2", "--shard ' 0/2'", "--shard '0/ 2'", "--shard 0/",
                              "--shard /2", "--shard 0/2/3", "--shard 0", "--shard ''", "--shard 0x1/2"}) {
        RunResult r = Run(std::string("--out-dir s ") + wrong);
        EXPECT_EQ(r.status, 255) << wrong;
        EXPECT_EQ(r.out.find("[1/6]"), std::string::npos) << wrong;
    }
}

// Damaged copies of real results, one per input: the merge names each and
// keeps the rest, a rerun runs each again, never an abort.
TEST_F(Batch, DamagedResultsAreRedoneAndLeftOutOfTheMerge)
{
    struct Damage {
        const char* at;  // a field, or "" for the whole text
        const char* value;  // its new value; nullptr removes it
    } table[] = {
        // Each field's damage is ReadResult's, checked in resume_rule_test;
        // here one of each way the files reach it.
        {"/masters/0/entries/2/capacitance_F", "\"big\""}, {"/options/target_walks", "1e400"},
        {"/options/master", nullptr}, {"", "half"}, {"", ""},
    };
    const size_t n = sizeof table / sizeof table[0];
    const std::string deck = ReadFile(Example("two_wires.kd"));
    std::string list;
    for (size_t i = 0; i < n; i++) {
        dir.Write("many/" + std::to_string(i) + ".kd", deck);
        list += "many/" + std::to_string(i) + ".kd\n";
    }
    dir.Write("many.txt", list);
    const std::string batch = std::string(KORVA_EXE) + " --batch many.txt -t 200 --seed 1 --out-dir d";
    RunResult r = RunIn(dir.path(), batch);
    ASSERT_EQ(Count(r.out, ": done"), (int)n) << r.out;
    for (size_t i = 0; i < n; i++) {
        const std::string path = dir.path() + "/d/" + ResultName("many/" + std::to_string(i) + ".kd");
        std::string text = ReadFile(path);
        if (*table[i].at) {
            Json doc = Json::parse(text);
            const Json::json_pointer at(table[i].at);
            if (table[i].value)
                doc[at] = "@";  // the new value goes in as written
            else
                doc[at.parent_pointer()].erase(at.back());
            text = doc.dump();
            if (table[i].value)
                text.replace(text.find("\"@\""), 3, table[i].value);
        } else
            text = std::string(table[i].value) == "half" ? text.substr(0, text.size() / 2) : table[i].value;
        dir.Write("d/" + ResultName("many/" + std::to_string(i) + ".kd"), text);
    }
    RunResult csv = RunIn(dir.path(), std::string(KORVA_EXE) + " --merge d");
    EXPECT_EQ(csv.status, 255) << csv.err;
    EXPECT_EQ(Count(csv.err, "is not a result file"), (int)n) << csv.err;
    EXPECT_EQ(Count(csv.out, "\n"), 1) << csv.out;
    r = RunIn(dir.path(), batch);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Count(r.out, ": done"), (int)n) << r.out;
    EXPECT_EQ(Count(r.out, "is damaged"), (int)n) << r.out;
    csv = RunIn(dir.path(), std::string(KORVA_EXE) + " --merge d");
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(Count(csv.out, ",ok,wire1,"), 3 * (int)n);
}

// Names of every kind: each line its own result, every result merged;
// lines that name no input file fail with the reason.
TEST_F(Batch, EveryListLineGetsItsOwnResult)
{
    const std::string deck = ReadFile(Example("two_wires.kd"));
    const std::vector<std::string> good = {"d1/a.kd", "d2/a.kd", "a.1.kd", ".hidden.kd", "x~y.kd", "x/y.kd",
                                           "b\xff.kd", "sp ace%41.kd"};
    const std::vector<std::string> bad = {"..", "d1", "missing.kd"};
    std::string list;
    for (const std::string& line : good) {
        dir.Write("n/" + line, deck);
        list += line + "\n";
    }
    for (const std::string& line : bad)
        list += line + "\n";
    dir.Write("n/list.txt", list);
    RunResult r = RunIn(dir.path(), std::string(KORVA_EXE) + " --batch n/list.txt -t 200 --out-dir o");
    EXPECT_EQ(r.status, 255) << r.out;
    // The name that is not UTF-8 may fail in its child, never in the batch.
    const int done = Count(r.out, ": done");
    EXPECT_GE(done, (int)good.size() - 1) << r.out;
    EXPECT_EQ(Count(r.out, "FAILED"), (int)(good.size() + bad.size()) - done) << r.out;
    EXPECT_EQ(Count(r.out, "Batch: "), 1) << r.out;
    RunResult csv = RunIn(dir.path(), std::string(KORVA_EXE) + " --merge o");
    EXPECT_EQ(csv.status, 0) << csv.err;
    for (const std::vector<std::string>* lines : {&good, &bad})
        for (const std::string& line : *lines) {
            ResultDoc doc;
            std::string why;
            ASSERT_TRUE(ReadResult(ReadFile(dir.path() + "/o/" + ResultName(line)), doc, why)) << line << why;
            EXPECT_EQ(doc.input, TextSafe::ValidUtf8(line));
            EXPECT_EQ(doc.failed, lines == &bad || doc.masters.empty()) << line;
            EXPECT_EQ(Count(csv.out, "\n" + ResultName(line) + ","), doc.failed ? 1 : 3) << line;
        }
    EXPECT_NE(Result("o/" + ResultName("d1"))["error"].get<std::string>().find("folder"), std::string::npos);
    EXPECT_NE(Result("o/" + ResultName("missing.kd"))["error"].get<std::string>().find(strerror(ENOENT)),
              std::string::npos);
    // a.1.kd is its own input, and each finished one is kept.
    r = RunIn(dir.path(), std::string(KORVA_EXE) + " --batch n/list.txt -t 200 --out-dir o");
    EXPECT_EQ(Count(r.out, ": skipped"), done) << r.out;
}

// Two batches on one folder at once, as a requeued array task: each input
// is run once, each batch's summary counts every input of the list.
TEST_F(Batch, ConcurrentBatchesShareTheWork)
{
    for (int round = 0; round < 5; round++) {
        const std::string out = "r" + std::to_string(round);
        const std::string one = std::string(KORVA_EXE) + " --batch list.txt -t 300 --seed 2 --out-dir " + out;
        RunResult r = RunIn(dir.path(), "(" + one + " > " + out + ".a; echo $? > " + out + ".a.rc) & (" + one +
                                            " > " + out + ".b; echo $? > " + out + ".b.rc); wait");
        ASSERT_EQ(r.status, 0);
        int done = 0;
        for (const char* b : {".a", ".b"}) {
            const std::string text = ReadFile(dir.path() + "/" + out + b);
            EXPECT_EQ(ReadFile(dir.path() + "/" + out + b + ".rc"), "255\n") << text;
            EXPECT_EQ(Count(text, "FAILED"), 1) << text;
            EXPECT_EQ(Count(text, ": done") + Count(text, ": skipped") + 1, 6) << text;
            done += Count(text, ": done");
        }
        EXPECT_EQ(done, 5) << "round " << round;
        for (const char* name : {"a", "b", "c", "d", "e"}) {
            ResultDoc doc;
            std::string why;
            EXPECT_TRUE(ReadResult(ReadFile(dir.path() + "/" + out + "/decks~" + name + ".kd.json"), doc, why) &&
                        !doc.failed && doc.masters[0].converged)
                << name << why;
        }
    }
}

// The children of pid `parent` in the process table.
std::vector<pid_t> ChildrenOf(pid_t parent)
{
    std::vector<pid_t> kids;
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    for (pid_t p; in >> p;)
        kids.push_back(p);
    return kids;
}

// Whether `pid` has ended (gone, or a zombie nobody has reaped yet).
bool Ended(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close, 4, ") Z ") == 0;
}

// A batch stopped by a signal, or killed outright, takes its child with it.
TEST_F(Batch, ChildrenEndWithTheirBatch)
{
    for (int sig : {SIGTERM, SIGINT, SIGKILL}) {
        const char* argv[] = {KORVA_EXE, "--batch", "list.txt", "--out-dir", "k", "-t", "1000000000000", nullptr};
        posix_spawn_file_actions_t io;
        posix_spawn_file_actions_init(&io);
        posix_spawn_file_actions_addopen(&io, 1, "k.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&io, 1, 2);
        pid_t batch = 0;
        ASSERT_EQ(posix_spawn(&batch, KORVA_EXE, &io, nullptr, const_cast<char**>(argv), environ), 0);
        posix_spawn_file_actions_destroy(&io);
        std::vector<pid_t> kids;
        for (int wait = 0; wait < 6000 && kids.empty(); wait++) {
            usleep(10000);
            kids = ChildrenOf(batch);
        }
        ASSERT_EQ(kids.size(), 1u) << sig;
        kill(batch, sig);
        int status = 0;
        ASSERT_EQ(waitpid(batch, &status, 0), batch);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << " " << status;
        for (int wait = 0; wait < 3000 && !Ended(kids[0]); wait++)
            usleep(10000);
        EXPECT_TRUE(Ended(kids[0])) << sig;
        // The input it stopped is no failure to record.
        EXPECT_EQ(fopen((dir.path() + "/k/decks~a.kd.json").c_str(), "r"), nullptr) << sig;
    }
}

}  // namespace
