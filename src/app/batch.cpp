static const char KORVA_SOURCE[] = "src/batch";

#include "batch.h"

#include "digest.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "datapaths.h"
#include "import.h"
#include "log.h"
#include "outputfile.h"
#include "outputs.h"
#include "scene.h"
#include "textsafe.h"

namespace {

using Json = nlohmann::ordered_json;
using TextSafe::ValidUtf8;

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The batch's own options, which no child sees.
bool BatchOnly(const std::string& arg, bool& takes_value)
{
    for (const char* name : {"--batch", "--out-dir", "--shard", "--rcx-result"}) {
        if (arg == name) {
            takes_value = true;
            return true;
        }
        if (arg.rfind(std::string(name) + "=", 0) == 0) {
            takes_value = false;
            return true;
        }
    }
    return false;
}

// The last lines of a child's log: why it failed, as it said it.
std::string LogTail(const std::string& path)
{
    std::string text;
    if (!ReadWhole(path, text))
        return "";
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!Trim(line).empty())
            lines.push_back(Trim(line));
    std::string tail;
    for (size_t i = lines.size() > 3 ? lines.size() - 3 : 0; i < lines.size(); i++)
        tail += (tail.empty() ? "" : "\n") + lines[i];
    return tail;
}

// The child being run and the stop signal, for the handler below.
volatile sig_atomic_t running_child = 0;
volatile sig_atomic_t stop_signal = 0;

// A batch that is told to stop passes the signal to its child, waits for
// it, and then ends by the same signal.
void ForwardStop(int sig)
{
    stop_signal = sig;
    if (running_child > 0)
        kill((pid_t)running_child, sig);
}

const int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

// Runs one input in a child process, its report going to `log`. Returns
// the wait status, or -1 when no child could be started.
int RunChild(const std::vector<std::string>& args, const std::string& log)
{
    std::vector<char*> cargs;
    for (const std::string& a : args)
        cargs.push_back(const_cast<char*>(a.c_str()));
    cargs.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    // A stop signal is held until the child's pid is known, so that it
    // reaches the child too.
    sigset_t stops, old;
    sigemptyset(&stops);
    for (int sig : STOP_SIGNALS)
        sigaddset(&stops, sig);
    sigprocmask(SIG_BLOCK, &stops, &old);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The child ends with its parent, even one killed outright.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        for (int sig : STOP_SIGNALS)
            signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execv("/proc/self/exe", cargs.data());
        _exit(127);
    }
    if (pid > 0)
        running_child = pid;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) {
            status = -1;
            break;
        }
    running_child = 0;
    return status;
}

std::string WaitReason(int status)
{
    if (status < 0)
        return "the child process could not be started";
    if (WIFSIGNALED(status))
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

std::string Csv(double v)
{
    if (!std::isfinite(v))
        return "";
    char buf[64];
    snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// A CSV field; names with a comma or a quote are quoted.
std::string Field(const std::string& s)
{
    if (s.find_first_of(",\"\n") == std::string::npos)
        return s;
    std::string q = "\"";
    for (char c : s)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// The checks of ReadResult: each names the field that is not as it must be.
struct Checker {
    std::string why;
    bool Fail(const std::string& what)
    {
        if (why.empty())
            why = what;
        return false;
    }
    const Json* Get(const Json& o, const char* key, bool required = true)
    {
        auto it = o.find(key);
        if (it == o.end()) {
            if (required)
                Fail(std::string("no field \"") + key + "\"");
            return nullptr;
        }
        return &*it;
    }
    bool String(const Json& o, const char* key, std::string& out, bool required = true)
    {
        const Json* v = Get(o, key, required);
        if (!v)
            return !required;
        if (!v->is_string())
            return Fail(std::string("\"") + key + "\" is not a string");
        out = v->get<std::string>();
        return true;
    }
    bool Bool(const Json& o, const char* key, bool& out, bool required = true)
    {
        const Json* v = Get(o, key, required);
        if (!v)
            return !required;
        if (!v->is_boolean())
            return Fail(std::string("\"") + key + "\" is not true or false");
        out = v->get<bool>();
        return true;
    }
    // A number, or null where `nullable` (then `has` is false).
    bool Number(const Json& o, const char* key, double& out, bool* has = nullptr)
    {
        const Json* v = Get(o, key);
        if (v && has && v->is_null()) {
            *has = false;
            return true;
        }
        if (!v || !v->is_number())
            return Fail(std::string("\"") + key + "\" is not a number");
        out = v->get<double>();
        if (has)
            *has = true;
        return true;
    }
    bool Count(const Json& o, const char* key, long long& out)
    {
        const Json* v = Get(o, key);
        if (!v || !v->is_number_integer() || (v->is_number_unsigned() && v->get<uint64_t>() > LLONG_MAX))
            return Fail(std::string("\"") + key + "\" is not a whole number");
        out = v->get<long long>();
        return true;
    }
    bool Names(const Json& o, const char* key, std::vector<std::string>& out)
    {
        const Json* v = Get(o, key);
        if (!v || !v->is_array())
            return Fail(std::string("\"") + key + "\" is not a list");
        for (const Json& n : *v) {
            if (!n.is_string())
                return Fail(std::string("\"") + key + "\" holds something other than names");
            out.push_back(n.get<std::string>());
        }
        return true;
    }
    bool Master(const Json& m, ResultMaster& out)
    {
        if (!m.is_object())
            return Fail("a master is not an object");
        if (!String(m, "master", out.master) || !String(m, "error", out.error, false))
            return false;
        if (m.contains("error"))
            return Bool(m, "converged", out.converged, false);
        if (!Bool(m, "converged", out.converged))
            return false;
        const Json* entries = Get(m, "entries");
        if (!entries || !entries->is_array() || entries->empty())
            return Fail("master " + out.master + " has no list of entries");
        for (const Json& e : *entries) {
            ResultEntry r;
            if (!e.is_object())
                return Fail("an entry of master " + out.master + " is not an object");
            if (!String(e, "conductor", r.conductor) || !Number(e, "capacitance_F", r.cap, &r.has_cap) ||
                !Number(e, "std_error_F", r.err, &r.has_err))
                return false;
            out.entries.push_back(r);
        }
        return true;
    }
};

}  // namespace

bool ReadResult(const std::string& text, ResultDoc& doc, std::string& why)
{
    doc = ResultDoc();
    Checker c;
    const Json j = Json::parse(text, nullptr, false);
    bool ok = false;
    if (j.is_discarded() || !j.is_object())
        c.Fail("not a JSON object");
    else
        ok = [&]() {
            if (!c.String(j, "deck", doc.deck) || !c.Bool(j, "failed", doc.failed, false))
                return false;
            if (const Json* b = c.Get(j, "batch", false)) {
                if (!b->is_object())
                    return c.Fail("\"batch\" is not an object");
                if (!c.String(*b, "input", doc.input) || !c.String(*b, "number_options", doc.number_options))
                    return false;
                if (b->contains("input_digest") && !c.String(*b, "input_digest", doc.input_digest))
                    return false;
                doc.from_batch = true;
            }
            const Json* masters = c.Get(j, "masters");
            if (!masters || !masters->is_array())
                return c.Fail("\"masters\" is not a list");
            if (doc.failed)
                return c.String(j, "error", doc.error);
            if (masters->empty())
                return c.Fail("\"masters\" is empty");
            const Json* o = c.Get(j, "options");
            if (!o || !o->is_object())
                return c.Fail("\"options\" is not an object");
            std::string mode;
            if (!c.String(*o, "mode", mode))
                return false;
            if (mode != "t" && mode != "p")
                return c.Fail("\"mode\" is neither t nor p");
            doc.mode = mode[0];
            if (!c.Count(*o, "target_walks", doc.target_walks) ||
                !c.Number(*o, "target_relative_error", doc.target_error) ||
                !c.Names(*o, "master", doc.master) || !c.Bool(*o, "all_masters", doc.all_masters) ||
                !c.Names(*o, "exclude", doc.exclude))
                return false;
            for (const Json& m : *masters) {
                doc.masters.emplace_back();
                if (!c.Master(m, doc.masters.back()))
                    return false;
            }
            return true;
        }();
    why = c.why;
    return ok;
}

std::string ResumeOptions(const RunSettings& s)
{
    RunSettings key = s;
    key.end_mode = 't';
    key.target_walks = 0;
    key.target_error = 0;
    key.time_limit = 0;
    key.max_walks = 0;
    // The target, now always "-t 0", is no part of it.
    const std::string text = NumberOptions(key);
    const size_t rest = text.rfind("-t 0", 0) == 0 ? text.find_first_not_of(' ', 4) : 0;
    return ValidUtf8(rest == std::string::npos ? "" : text.substr(rest));
}

bool ResultMeetsTarget(const ResultDoc& doc, const std::string& line, const RunSettings& s)
{
    if (doc.failed || !doc.from_batch || doc.input != ValidUtf8(line) ||
        doc.number_options != ResumeOptions(s) || doc.mode != s.end_mode)
        return false;
    // The master options again, since a result of older batches may hold them alone.
    if (doc.master != s.masters || doc.all_masters != s.all_masters || doc.exclude != s.exclude)
        return false;
    if (s.end_mode == 't' ? doc.target_walks < (long long)s.target_walks : !(doc.target_error <= s.target_error))
        return false;
    for (const ResultMaster& m : doc.masters)
        if (!m.error.empty() || !m.converged)
            return false;
    return !doc.masters.empty();
}

// Hex digest of a file's bytes, or "" when it cannot be read.
static std::string InputDigest(const std::string& path)
{
    std::string text;
    if (!ReadWhole(path, text))
        return "";
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", (unsigned long long)DigestBytes(text.data(), text.size()));
    return hex;
}

bool ReadBatchList(const std::string& list_path, std::vector<BatchInput>& inputs)
{
    std::string text;
    if (!ReadWhole(list_path, text)) {
        Log::perror("cannot read the batch list %s\n", ValidUtf8(list_path).c_str());
        return false;
    }
    const size_t slash = list_path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : list_path.substr(0, slash + 1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        inputs.push_back({line, line[0] == '/' ? line : folder + line});
    }
    return true;
}

std::string ResultName(const std::string& line)
{
    static const char hex[] = "0123456789ABCDEF";
    // Names stay well inside the 255 bytes of a file name, with room for
    // the batch's own files of the input.
    const size_t LONGEST = 200, KEPT = 180;
    std::string name;
    size_t kept = 0;  // the end of the last whole character written within KEPT
    for (size_t i = 0; i < line.size();) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        const size_t n = TextSafe::Utf8SequenceLength(line, i);
        if (c == '/')
            name += '~';
        else if (n > 1)
            name.append(line, i, n);
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 (c != 0 && strchr("_-+,=@", c)) || (c == '.' && i > 0))
            name += (char)c;
        else {
            name += '%';
            name += hex[c >> 4];
            name += hex[c & 15];
        }
        i += n > 1 ? n : 1;
        if (name.size() <= KEPT)
            kept = name.size();
    }
    if (name.size() > LONGEST) {
        uint64_t h = 1469598103934665603ull;  // FNV-1a
        for (unsigned char c : line)
            h = (h ^ c) * 1099511628211ull;
        name.resize(kept);
        name += '#';
        for (int shift = 60; shift >= 0; shift -= 4)
            name += hex[(h >> shift) & 15];
    }
    // A lone '%' is no escape, so the empty line's name is no other's.
    return (line.empty() ? "%" : name) + ".json";
}

namespace {

// Who last wrote a result: results are renamed into place, so each write
// leaves another file.
struct Identity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{}, ctime{};
    off_t size = 0;
    bool operator==(const Identity& o) const
    {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

Identity IdentityOf(const std::string& path)
{
    Identity id;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.mtime = st.st_mtim;
        id.ctime = st.st_ctim;
        id.size = st.st_size;
    }
    return id;
}

enum class Outcome { DONE, UNMET, SKIPPED, FAILED, STOPPED };

// One batch run: the inputs of its shard and what became of them.
class BatchRun {
public:
    BatchRun(const RunSettings& s, std::vector<std::string> passed, std::vector<BatchInput> inputs)
        : s(s), passed(std::move(passed)), inputs(std::move(inputs)),
          options(ResumeOptions(s))
    {
    }
    int Run();

private:
    struct Slot {
        size_t index;
        std::string result, part, log, lock;
        std::string rows, rows_part;  // the input's rule-table row, with --rcx-result
        Identity before;  // the result when this batch began
        mutable std::string digest;  // of the input's bytes, once it is taken
    };
    Slot SlotOf(size_t i) const;
    void CollectRows() const;
    Outcome Take(const Slot& slot);
    Outcome Process(const Slot& slot);
    Outcome Record(const Slot& slot, const std::string& reason, const std::string& log);
    void Say(const Slot& slot, const std::string& what) const
    {
        Log::output("[%zu/%zu] %s: %s\n", slot.index + 1, inputs.size(),
                    ValidUtf8(inputs[slot.index].path).c_str(), ValidUtf8(what).c_str());
    }

    const RunSettings& s;
    const std::vector<std::string> passed;
    const std::vector<BatchInput> inputs;
    const std::string options;
    std::set<std::string> taken;  // result names this run has dealt with
};

BatchRun::Slot BatchRun::SlotOf(size_t i) const
{
    const std::string name = ResultName(inputs[i].line);
    const std::string stem = name.substr(0, name.size() - 5);
    Slot slot{i, s.out_dir + "/" + name, s.out_dir + "/." + name + ".part", s.out_dir + "/" + stem + ".log",
              s.out_dir + "/." + stem + ".lock", s.out_dir + "/" + stem + ".caps",
              s.out_dir + "/." + stem + ".caps.part", Identity(), ""};
    slot.before = IdentityOf(slot.result);
    return slot;
}

// The failure of an input, recorded as its result.
Outcome BatchRun::Record(const Slot& slot, const std::string& reason, const std::string& log)
{
    const BatchInput& in = inputs[slot.index];
    Json doc;
    doc["korva_version"] = KORVA_VERSION;
    doc["deck"] = ValidUtf8(in.path);
    doc["batch"] = {{"input", ValidUtf8(in.line)}, {"number_options", options}, {"input_digest", slot.digest}};
    doc["failed"] = true;
    doc["error"] = ValidUtf8(reason);
    doc["log_tail"] = log.empty() ? "" : ValidUtf8(LogTail(log));
    doc["masters"] = Json::array();
    unlink(slot.rows.c_str());  // a failed input has no row, not an old one
    std::string error;
    if (!WriteFileAtomic(slot.result, doc.dump(2) + "\n", error))
        Log::perror("%s\n", ValidUtf8(error).c_str());
    Say(slot, "FAILED (" + reason + ")" + (log.empty() ? "" : ", see " + log));
    return Outcome::FAILED;
}

// An input whose lock this run holds.
Outcome BatchRun::Process(const Slot& slot)
{
    const BatchInput& in = inputs[slot.index];
    if (!taken.insert(slot.result).second) {
        Say(slot, "skipped, listed before");
        return Outcome::SKIPPED;
    }
    std::string text, why;
    ResultDoc doc;
    const bool have = ReadWhole(slot.result, text);
    const bool valid = have && ReadResult(text, doc, why);
    slot.digest = InputDigest(in.path);
    struct stat st;
    const bool rows_kept = s.rcx_out.empty() || stat(slot.rows.c_str(), &st) == 0;
    if (valid && ResultMeetsTarget(doc, in.line, s) && !slot.digest.empty() && doc.input_digest == slot.digest &&
        rows_kept) {
        Say(slot, "skipped, " + slot.result + " meets the target");
        return Outcome::SKIPPED;
    }
    // A failure another batch on this folder recorded since this one began
    // is not tried twice.
    if (valid && doc.failed && !(IdentityOf(slot.result) == slot.before) &&
        doc.input == ValidUtf8(in.line) && doc.number_options == options) {
        Say(slot, "FAILED in another batch on this folder (" + doc.error + "), see " + slot.result);
        return Outcome::FAILED;
    }
    if (have && !valid)
        Say(slot, slot.result + " is damaged (" + why + "), running it again");

    if (in.path.find('\0') != std::string::npos)
        return Record(slot, "the list line holds a NUL byte", "");
    if (stat(in.path.c_str(), &st) != 0)
        return Record(slot, std::string("cannot read it: ") + strerror(errno), "");
    if (S_ISDIR(st.st_mode))
        return Record(slot, "it is a folder, not an input file", "");
    if (!S_ISREG(st.st_mode))
        return Record(slot, "it is not a regular file", "");

    std::vector<std::string> args = passed;
    args.insert(args.end(), {"-f", in.path, "--json", slot.part});
    if (!s.rcx_out.empty())
        args.insert(args.end(), {"--rcx-result", slot.rows_part});
    unlink(slot.part.c_str());
    unlink(slot.rows_part.c_str());
    const int status = RunChild(args, slot.log);
    if (stop_signal) {
        unlink(slot.part.c_str());
        return Outcome::STOPPED;
    }
    const int code = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if ((code != 0 && code != 75) || !ReadWhole(slot.part, text)) {
        unlink(slot.part.c_str());
        return Record(slot, WaitReason(status), slot.log);
    }
    unlink(slot.part.c_str());
    if (!ReadResult(text, doc, why))
        return Record(slot, "its result is damaged: " + why, slot.log);
    if (!s.rcx_out.empty() && rename(slot.rows_part.c_str(), slot.rows.c_str()) != 0)
        return Record(slot, "its rule-table row " + slot.rows_part + ": " + strerror(errno), slot.log);
    Json out = Json::parse(text);
    out["batch"] = {{"input", ValidUtf8(in.line)}, {"number_options", options}, {"input_digest", slot.digest}};
    std::string error;
    if (!WriteFileAtomic(slot.result, out.dump(2) + "\n", error))
        return Record(slot, error, slot.log);
    Say(slot, code == 0 ? "done" : "done, target not met");
    return code == 0 ? Outcome::DONE : Outcome::UNMET;
}

// Nothing an input does may end the batch: whatever escapes is that
// input's failure.
Outcome BatchRun::Take(const Slot& slot)
{
    try {
        return Process(slot);
    } catch (const std::exception& e) {
        try {
            return Record(slot, std::string("internal error: ") + e.what(), "");
        } catch (const std::exception&) {
            return Outcome::FAILED;
        }
    }
}

// The rows of every input of the list that has one, whichever shard ran
// it, ordered by input path as the table reader's users list the solver
// results; a shard that ends before the others writes what there is so
// far, and a last run of the whole list (every input skipped) the lot.
void BatchRun::CollectRows() const
{
    std::map<std::string, std::string> rows;  // input path -> its rows
    for (size_t i = 0; i < inputs.size(); i++) {
        std::string text;
        if (ReadWhole(SlotOf(i).rows, text))
            rows[inputs[i].path] = text;
    }
    std::string all, error;
    for (const auto& r : rows)
        all += r.second;
    if (!OutputFile::Write(s.rcx_out, all, error)) {
        Log::perror("%s\n", ValidUtf8(error).c_str());
        return;
    }
    Log::output("Rule-table rows of %zu of %zu inputs: %s\n", rows.size(), inputs.size(),
                ValidUtf8(s.rcx_out).c_str());
}

int OpenLock(const std::string& path)
{
    return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

int BatchRun::Run()
{
    std::vector<Slot> slots, busy;
    for (size_t i = (size_t)s.shard_k; i < inputs.size(); i += (size_t)s.shard_n)
        slots.push_back(SlotOf(i));
    int done = 0, skipped = 0, failed = 0, unmet = 0;
    auto count = [&](Outcome o) {
        done += o == Outcome::DONE || o == Outcome::UNMET;
        unmet += o == Outcome::UNMET;
        skipped += o == Outcome::SKIPPED;
        failed += o == Outcome::FAILED;
    };
    // Each input is run under its lock, so batches sharing the folder share
    // the work: a locked input waits until the free ones are done.
    for (int pass = 0; pass < 2 && !stop_signal; pass++) {
        for (const Slot& slot : pass == 0 ? slots : busy) {
            if (stop_signal)
                break;
            const int fd = OpenLock(slot.lock);
            if (fd < 0) {
                count(Record(slot, "cannot open its lock file " + slot.lock + ": " + strerror(errno), ""));
                continue;
            }
            int locked;
            while ((locked = flock(fd, pass == 0 ? LOCK_EX | LOCK_NB : LOCK_EX)) != 0 && errno == EINTR &&
                   !stop_signal) {
            }
            if (locked != 0) {
                const bool held = errno == EWOULDBLOCK;
                close(fd);
                if (held && pass == 0)
                    busy.push_back(slot);
                else if (!stop_signal)
                    count(Record(slot, "cannot lock " + slot.lock + ": " + strerror(errno), ""));
                continue;
            }
            const Outcome o = Take(slot);
            close(fd);
            if (o == Outcome::STOPPED)
                break;
            count(o);
        }
    }
    Log::output("Batch: %d done, %d skipped, %d failed\n", done, skipped, failed);
    if (!s.rcx_out.empty() && !stop_signal)
        CollectRows();
    if (stop_signal) {
        Log::output("Batch stopped by signal %d (%s)\n", (int)stop_signal, strsignal(stop_signal));
        Log::close();
        signal(stop_signal, SIG_DFL);
        raise(stop_signal);
    }
    return failed ? 255 : unmet ? 75 : 0;
}

}  // namespace

int RunBatch(const RunSettings& s, int argc, char** argv)
{
    if (s.out_dir.empty()) {
        Log::perror("option --batch needs --out-dir <folder> for the results\n");
        return 255;
    }
    if (!s.deck_path.empty() || !s.json_path.empty() || !s.csv_path.empty() || !s.spef_path.empty() ||
        !s.spef_pins.empty() || !s.picture_path.empty() || !s.report_path.empty() || !s.pattern_out.empty()) {
        Log::perror("a batch takes its inputs from the list and writes one JSON per input into --out-dir:"
                    " -f, --convert, --json, --csv, --spef, --spef-pins, --picture, --report and --pattern-result"
                    " do not apply\n");
        return 255;
    }
    std::string error;
    if (!s.rcx_out.empty() && !OutputFile::Check(s.rcx_out, error)) {
        Log::perror("%s\n", ValidUtf8(error).c_str());
        return 255;
    }
    try {
        std::vector<BatchInput> inputs;
        if (!ReadBatchList(s.batch_list, inputs))
            return 255;
        MakeFolders(s.out_dir);
        struct stat st;
        if (stat(s.out_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            Log::perror("cannot make the result folder %s: %s\n", ValidUtf8(s.out_dir).c_str(),
                        strerror(errno ? errno : ENOTDIR));
            return 255;
        }
        std::vector<std::string> passed{argv[0]};
        for (int i = 1; i < argc; i++) {
            bool takes_value = false;
            if (BatchOnly(argv[i], takes_value))
                i += takes_value ? 1 : 0;
            else
                passed.push_back(argv[i]);
        }
        struct sigaction forward {};
        forward.sa_handler = ForwardStop;
        sigemptyset(&forward.sa_mask);
        for (int sig : STOP_SIGNALS)
            sigaction(sig, &forward, nullptr);
        return BatchRun(s, passed, inputs).Run();
    } catch (const std::exception& e) {
        Log::perror("the batch stopped: %s\n", e.what());
        return 255;
    }
}

int MergeResults(const std::string& dir)
{
    try {
        DIR* d = opendir(dir.c_str());
        if (!d) {
            fprintf(stderr, "korva: cannot read the result folder %s: %s\n", ValidUtf8(dir).c_str(),
                    strerror(errno));
            return 255;
        }
        // Every result, whatever its name; the batch's own files in the
        // folder do not end in ".json".
        std::vector<std::string> files;
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
                files.push_back(name);
        }
        closedir(d);
        std::sort(files.begin(), files.end());
        std::string out = "result,deck,status,master,conductor,capacitance_F,std_error_F\n";
        int bad = 0;
        for (const std::string& f : files) {
            std::string text, why;
            ResultDoc doc;
            if (!ReadWhole(dir + "/" + f, text))
                why = strerror(errno);
            else
                ReadResult(text, doc, why);
            if (!why.empty()) {
                fprintf(stderr, "korva: %s/%s is not a result file (%s), left out\n", ValidUtf8(dir).c_str(),
                        ValidUtf8(f).c_str(), why.c_str());
                bad++;
                continue;
            }
            const std::string head = Field(ValidUtf8(f)) + "," + Field(doc.deck) + ",";
            if (doc.failed) {
                out += head + "failed,,,,\n";
                continue;
            }
            for (const ResultMaster& m : doc.masters) {
                const std::string master = Field(m.master);
                if (!m.error.empty()) {
                    out += head + "failed," + master + ",,,\n";
                    continue;
                }
                const std::string status = m.converged ? "ok" : "unmet";
                for (const ResultEntry& e : m.entries)
                    out += head + status + "," + master + "," + Field(e.conductor) + "," +
                           (e.has_cap ? Csv(e.cap) : "") + "," + (e.has_err ? Csv(e.err) : "") + "\n";
            }
        }
        fwrite(out.data(), 1, out.size(), stdout);
        return bad ? 255 : 0;
    } catch (const std::exception& e) {
        fprintf(stderr, "korva: the merge stopped: %s\n", e.what());
        return 255;
    }
}
