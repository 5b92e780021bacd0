// Every file option against every kind of thing its name can be: what is
// replaced, what is written through, what is refused before the walks, and
// names of any bytes carried into files that their readers accept.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tables_fixture.h"
#include "textsafe.h"

namespace {

using Json = nlohmann::json;

mode_t Type(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

class OutputTargets : public TablesWorkdir {
protected:
    void SetUp() override { MakeTables(Example("two_wires.kd")); }
    std::string Korva() const { return Quoted(KORVA_EXE); }
};

// Why the system refuses a new file at `path`, as the run should say it.
std::string Refusal(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        close(fd);
        unlink(path.c_str());
        return "(no refusal)";
    }
    return strerror(errno);
}

TEST_F(OutputTargets, EveryOptionTreatsEveryKindOfTargetAlike)
{
    const std::string deck = Quoted(Example("two_wires.kd"));
    const std::string wires = Quoted(Example("patterns/M1oM0uM2_W0.2_S0.2_L10/wires"));
    struct Option {
        std::string name;
        std::function<std::string(const std::string&)> args;
        std::function<bool(const std::string&)> complete;
        std::string start;  // how the file begins, to find it on standard output
    } options[] = {
        {"--json", [&](const std::string& t) { return "-f " + deck + " -t 60 --seed 3 --json " + t; },
         [](const std::string& s) { return Json::accept(s); }, "{\n  \"korva_version\""},
        {"--csv", [&](const std::string& t) { return "-f " + deck + " -t 60 --seed 3 --csv " + t; },
         [](const std::string& s) { return s.rfind("master,conductor,", 0) == 0 && s.find("wire1,(window),") != std::string::npos; }, "master,conductor,"},
        {"--spef", [&](const std::string& t) { return "-f " + deck + " -t 60 --seed 3 --spef " + t; },
         [](const std::string& s) { return s.rfind("*SPEF", 0) == 0 && s.size() > 20 && s.substr(s.size() - 5) == "*END\n"; }, "*SPEF"},
        {"--report", [&](const std::string& t) { return "-f " + deck + " -t 60 --seed 3 --report " + t; },
         [](const std::string& s) { return s.find("</html>") != std::string::npos; }, "<!DOCTYPE"},
        {"--picture", [&](const std::string& t) { return "-f " + deck + " --picture " + t; },
         [](const std::string& s) { return s.find("</svg>") != std::string::npos; }, "<?xml"},
        {"--pattern-result", [&](const std::string& t) { return "-f " + wires + " -t 60 --seed 3 --pattern-result " + t; },
         [](const std::string& s) { return s.find("TOTAL") != std::string::npos; }, "PATTERN "},
        {"--convert", [&](const std::string& t) { return "--convert " + Quoted(Example("two_nets.pex25d")) + " " + t; },
         [](const std::string& s) { return s.find("[/vorn]") != std::string::npos; }, "// Converted"},
    };
    const std::string d = dir.path() + "/";
    const std::string previous = "previous complete file\n" + std::string(4000, '#') + "\n";
    struct Kind {
        std::string name;
        std::string setup;   // shell commands run before, in the folder
        std::string target;  // the name given to the option
        std::string around;  // the run's command line with {} for korva's
        std::string reason;  // empty: the run writes; else its refusal
        std::string holds;   // the file that must hold the result ("" for stdout)
    } kinds[] = {
        {"new file", "", "out", "{}", "", "out"},
        {"regular file", "printf 'x' > out && chmod 640 out", "out", "{}", "", "out"},
        {"link to a regular file", "printf 'x' > real && ln -s real out", "out", "{}", "", "real"},
        {"link to nothing yet", "ln -s made out", "out", "{}", "", "made"},
        {"link to a link", "printf 'x' > real && ln -s real mid && ln -s mid out", "out", "{}", "", "real"},
        {"/dev/null", "", "/dev/null", "{}", "", "/dev/null"},
        {"/dev/stdout", "", "/dev/stdout", "{}", "", ""},
        {"fifo", "mkfifo out", "out", "{ timeout 60 cat out > got & {}; s=$?; wait; exit $s; }", "", "got"},
        {"directory", "mkdir out", "out", "{}", strerror(EISDIR), ""},
        {"missing folder", "", "nodir/out", "{}", strerror(ENOENT), ""},
        {"under a regular file", "printf 'x' > file", "file/out", "{}", strerror(ENOTDIR), ""},
        {"folder that takes no file", "", "/sys/korva-out", "{}", Refusal("/sys/korva-out"), ""},
        // A full disk: the write fails, the previous file stays. The limit
        // is korva's alone; its console goes through a pipe, and its status
        // comes back through another.
        {"file-size limit", "printf '" + previous + "' > out", "out",
         "{ exec 3>&1; s=$( { ( ulimit -f 0; {}; echo $? >&4 ) | cat >&3; } 4>&1 ); exit $s; }", strerror(EFBIG), ""},
    };
    for (const Option& o : options) {
        for (const Kind& k : kinds) {
            SCOPED_TRACE(o.name + " to " + k.name);
            if (k.reason == "(no refusal)")  // a system whose folder takes files after all
                continue;
#ifdef __SANITIZE_THREAD__
            // The thread sanitizer's runtime keeps its own hand on signals:
            // an ignored SIGXFSZ still ends the process there.
            if (k.name == "file-size limit")
                continue;
#endif
            ASSERT_EQ(RunIn(d, "{ rm -rf out real mid made got file nodir && true " +
                                   (k.setup.empty() ? "" : "&& " + k.setup) + "; }").status, 0);
            std::string command = k.around;
            command.replace(command.find("{}"), 2, Korva() + " " + o.args(k.target));
            RunResult r = RunIn(d, command);
            if (k.reason.empty()) {
                ASSERT_EQ(r.status, 0) << r.out;
                if (k.holds.empty()) {
                    const size_t at = r.out.rfind(o.start);
                    ASSERT_NE(at, std::string::npos) << r.out;
                    EXPECT_TRUE(o.complete(r.out.substr(at))) << r.out;
                } else if (k.holds != "/dev/null") {
                    EXPECT_TRUE(o.complete(ReadFile(d + k.holds))) << ReadFile(d + k.holds);
                }
            } else {
                EXPECT_EQ(r.status, 255) << r.out;
                EXPECT_NE(r.out.find("cannot write the output file " + k.target + ": " + k.reason), std::string::npos)
                    << r.out;
                // Only a limit on the size of a file cannot be seen before the walks.
                if (k.name != "file-size limit") {
                    EXPECT_EQ(r.out.find("Random Walk Begins"), std::string::npos);
                }
            }
            // Links stay links, special files stay what they were.
            if (k.name.rfind("link", 0) == 0) {
                EXPECT_EQ(Type(d + "out"), (mode_t)S_IFLNK);
            }
            if (k.name == "regular file") {  // replaced, with its permissions
                struct stat st;
                EXPECT_TRUE(stat((d + "out").c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
            }
            if (k.name == "fifo") {
                EXPECT_EQ(Type(d + "out"), (mode_t)S_IFIFO);
            }
            EXPECT_EQ(Type("/dev/null"), (mode_t)S_IFCHR);
            if (k.name == "file-size limit") {
                EXPECT_EQ(ReadFile(d + "out"), previous);
            }
            // No temporary file is left beside the target.
            EXPECT_EQ(RunIn(d, "ls -A | grep -c tmp").out, "0\n");
        }
    }
}

// A deck whose file name is not UTF-8, and one whose name holds a quote and
// a line break, next to conductors named with the deck's own ':'.
TEST_F(OutputTargets, NamesOfAnyBytesGiveFilesTheirReadersAccept)
{
    const std::string deck = ReadFile(Example("two_wires.kd"));
    std::string renamed = deck;
    for (size_t at; (at = renamed.find("wire2")) != std::string::npos;)
        renamed.replace(at, 5, "bus:w2");
    const struct {
        std::string file, text;
    } decks[] = {
        {"deck\xff\xfe\xc3.kd", deck},
        {"q\"a\nb\\.kd", renamed},
    };
    for (const auto& c : decks) {
        const std::string file = dir.Write(c.file, c.text);
        SCOPED_TRACE(TextSafe::ValidUtf8(c.file));
        RunResult r = RunIn(dir.path(), Quoted(KORVA_EXE) + " -f " + Quoted(c.file) +
                                            " -t 60 --seed 3 --all-masters --json o.json --csv o.csv "
                                            "--spef o.spef --report o.html");
        ASSERT_EQ(r.status, 0) << r.out;
        const std::string shown = TextSafe::ValidUtf8(c.file);
        Json doc = Json::parse(ReadFile(dir.path() + "/o.json"));
        EXPECT_EQ(doc["deck"], shown);
        std::vector<std::string> names;
        for (const Json& m : doc["masters"])
            names.push_back(m["master"]);
        for (const char* out : {"o.json", "o.csv", "o.spef", "o.html"})
            EXPECT_TRUE(TextSafe::IsValidUtf8(ReadFile(dir.path() + "/" + out))) << out;
        EXPECT_NE(ReadFile(dir.path() + "/o.csv").find("\n" + names[1] + ",(window),"), std::string::npos);

        // SPEF: printable ASCII lines; the design's qstring and the name
        // map's identifiers read back (backslash escapes) to the names.
        std::istringstream spef(ReadFile(dir.path() + "/o.spef"));
        auto unescape = [](const std::string& s) {
            std::string out;
            for (size_t i = 0; i < s.size(); i++)
                out += s[i] == '\\' && i + 1 < s.size() ? s[++i] : s[i];
            return out;
        };
        std::vector<std::string> mapped;
        bool in_map = false;
        for (std::string line; std::getline(spef, line);) {
            for (char ch : line)
                EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << line;
            if (line.rfind("*DESIGN ", 0) == 0) {
                ASSERT_EQ(line.back(), '"');
                const std::string q = line.substr(9, line.size() - 10);
                for (size_t i = 0; i < q.size(); i++)  // no quote ends it early
                    EXPECT_TRUE(q[i] != '"' || (i > 0 && q[i - 1] == '\\')) << line;
                std::string expect = TextSafe::ValidUtf8(c.file);
                expect = expect.substr(expect.rfind('/') + 1);
                std::string ascii;  // SPEF is ASCII: the rest as \xNN too
                for (unsigned char ch : expect) {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\x%02x", ch);
                    ascii += ch < 0x20 || ch >= 0x7f ? std::string(hex) : std::string(1, (char)ch);
                }
                EXPECT_EQ(unescape(q), ascii);
            }
            in_map = line == "*NAME_MAP" || (in_map && !line.empty());
            if (in_map && line != "*NAME_MAP")
                mapped.push_back(unescape(line.substr(line.find(' ') + 1)));
        }
        std::sort(names.begin(), names.end());
        std::sort(mapped.begin(), mapped.end());
        EXPECT_EQ(mapped, names);
        if (c.text != deck) {
            EXPECT_NE(ReadFile(dir.path() + "/o.spef").find(" bus\\:w2\n"), std::string::npos);
        }
        unlink(file.c_str());
    }
}

}  // namespace
