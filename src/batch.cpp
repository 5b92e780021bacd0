static const char KORVA_SOURCE[] = "src/batch";

#include "batch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "datapaths.h"
#include "import.h"
#include "log.h"
#include "outputs.h"
#include "scene.h"

namespace {

using Json = nlohmann::ordered_json;

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string Stem(const std::string& path)
{
    std::string base = path.substr(path.find_last_of('/') + 1);
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0)
        base.resize(dot);
    return base.empty() ? "input" : base;
}

// The batch's own options, which no child sees.
bool BatchOnly(const std::string& arg, bool& takes_value)
{
    for (const char* name : {"--batch", "--out-dir", "--shard"}) {
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

// Runs one input in a child process: its report goes to `log`, its JSON to
// `part`. Returns the wait status, or -1 when no child could be started.
int RunChild(const std::vector<std::string>& args, const std::string& log)
{
    std::vector<char*> cargs;
    for (const std::string& a : args)
        cargs.push_back(const_cast<char*>(a.c_str()));
    cargs.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execv("/proc/self/exe", cargs.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

std::string Failure(const std::string& input, int status, const std::string& log)
{
    std::string why;
    if (status < 0)
        why = "the child process could not be started";
    else if (WIFSIGNALED(status))
        why = std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
              strsignal(WTERMSIG(status)) + ")";
    else
        why = "exit status " + std::to_string(WEXITSTATUS(status));
    Json doc;
    doc["korva_version"] = KORVA_VERSION;
    doc["deck"] = input;
    doc["failed"] = true;
    doc["error"] = why;
    doc["log_tail"] = LogTail(log);
    doc["masters"] = Json::array();
    return doc.dump(2) + "\n";
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

}  // namespace

bool ReadBatchList(const std::string& list_path, std::vector<std::string>& inputs)
{
    std::string text;
    if (!ReadWhole(list_path, text)) {
        Log::perror("cannot read the batch list %s\n", list_path.c_str());
        return false;
    }
    const size_t slash = list_path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : list_path.substr(0, slash + 1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        inputs.push_back(line[0] == '/' ? line : folder + line);
    }
    return true;
}

std::vector<std::string> ResultNames(const std::vector<std::string>& inputs)
{
    std::map<std::string, int> uses;
    for (const std::string& in : inputs)
        uses[Stem(in)]++;
    std::vector<std::string> names;
    for (size_t i = 0; i < inputs.size(); i++) {
        const std::string stem = Stem(inputs[i]);
        // Inputs of one name from different folders keep their list position.
        names.push_back(uses[stem] > 1 ? stem + "." + std::to_string(i + 1) + ".json" : stem + ".json");
    }
    return names;
}

bool ResultMeetsTarget(const std::string& text, const RunSettings& s)
{
    const Json doc = Json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || doc.value("failed", false))
        return false;
    const Json& o = doc.value("options", Json::object());
    const Json& masters = doc.value("masters", Json::array());
    if (!masters.is_array() || masters.empty() || o.value("mode", "") != std::string(1, s.end_mode))
        return false;
    if (o.value("master", std::vector<std::string>()) != s.masters ||
        o.value("all_masters", false) != s.all_masters ||
        o.value("exclude", std::vector<std::string>()) != s.exclude)
        return false;
    if (s.end_mode == 't' ? o.value("target_walks", 0LL) < (long long)s.target_walks
                          : o.value("target_relative_error", INFINITY) > s.target_error)
        return false;
    for (const Json& m : masters)
        if (m.contains("error") || !m.value("converged", false))
            return false;
    return true;
}

int RunBatch(const RunSettings& s, int argc, char** argv)
{
    if (s.out_dir.empty()) {
        Log::perror("option --batch needs --out-dir <folder> for the results\n");
        return 255;
    }
    if (!s.deck_path.empty() || !s.json_path.empty() || !s.csv_path.empty() || !s.spef_path.empty() ||
        !s.picture_path.empty() || !s.report_path.empty() || !s.pattern_out.empty()) {
        Log::perror("a batch takes its inputs from the list and writes one JSON per input into --out-dir:"
                    " -f, --convert, --json, --csv, --spef, --picture, --report and --pattern-result"
                    " do not apply\n");
        return 255;
    }
    std::vector<std::string> inputs;
    if (!ReadBatchList(s.batch_list, inputs))
        return 255;
    MakeFolders(s.out_dir);
    struct stat st;
    if (stat(s.out_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Log::perror("cannot make the result folder %s\n", s.out_dir.c_str());
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
    const std::vector<std::string> names = ResultNames(inputs);
    int done = 0, skipped = 0, failed = 0, unmet = 0;
    for (size_t i = (size_t)s.shard_k; i < inputs.size(); i += (size_t)s.shard_n) {
        const std::string result = s.out_dir + "/" + names[i];
        const std::string part = s.out_dir + "/." + names[i] + ".part";
        const std::string log = s.out_dir + "/" + names[i].substr(0, names[i].size() - 5) + ".log";
        std::string text;
        if (ReadWhole(result, text) && ResultMeetsTarget(text, s)) {
            Log::output("[%zu/%zu] %s: skipped, %s meets the target\n", i + 1, inputs.size(),
                        inputs[i].c_str(), result.c_str());
            skipped++;
            continue;
        }
        std::vector<std::string> args = passed;
        args.insert(args.end(), {"-f", inputs[i], "--json", part});
        unlink(part.c_str());
        const int status = RunChild(args, log);
        const bool exited = status >= 0 && WIFEXITED(status);
        const int code = exited ? WEXITSTATUS(status) : -1;
        std::string error;
        if ((code == 0 || code == 75) && access(part.c_str(), F_OK) == 0) {
            if (rename(part.c_str(), result.c_str()) != 0) {
                Log::perror("cannot write %s: %s\n", result.c_str(), strerror(errno));
                failed++;
                continue;
            }
            Log::output("[%zu/%zu] %s: %s\n", i + 1, inputs.size(), inputs[i].c_str(),
                        code == 0 ? "done" : "done, target not met");
            done++;
            unmet += code == 75;
            continue;
        }
        unlink(part.c_str());
        failed++;
        if (!WriteFileAtomic(result, Failure(inputs[i], status, log), error))
            Log::perror("%s\n", error.c_str());
        Log::output("[%zu/%zu] %s: FAILED, see %s\n", i + 1, inputs.size(), inputs[i].c_str(),
                    log.c_str());
    }
    Log::output("Batch: %d done, %d skipped, %d failed\n", done, skipped, failed);
    return failed ? 255 : unmet ? 75 : 0;
}

int MergeResults(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d) {
        fprintf(stderr, "korva: cannot read the result folder %s\n", dir.c_str());
        return 255;
    }
    std::vector<std::string> files;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name[0] != '.' && name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
            files.push_back(name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    std::string out = "result,deck,status,master,conductor,capacitance_F,std_error_F\n";
    int bad = 0;
    for (const std::string& f : files) {
        std::string text;
        Json doc = ReadWhole(dir + "/" + f, text) ? Json::parse(text, nullptr, false) : Json();
        if (!doc.is_object() || !doc.contains("masters")) {
            fprintf(stderr, "korva: %s/%s is not a result file\n", dir.c_str(), f.c_str());
            bad++;
            continue;
        }
        const std::string head = Field(f) + "," + Field(doc.value("deck", "")) + ",";
        if (doc.value("failed", false)) {
            out += head + "failed,,,,\n";
            continue;
        }
        for (const Json& m : doc["masters"]) {
            const std::string master = Field(m.value("master", ""));
            if (m.contains("error")) {
                out += head + "failed," + master + ",,,\n";
                continue;
            }
            const std::string status = m.value("converged", false) ? "ok" : "unmet";
            for (const Json& e : m["entries"]) {
                auto num = [&e](const char* key) {
                    return e[key].is_number() ? Csv(e[key].get<double>()) : std::string();
                };
                out += head + status + "," + master + "," + Field(e.value("conductor", "")) + "," +
                       num("capacitance_F") + "," + num("std_error_F") + "\n";
            }
        }
    }
    fwrite(out.data(), 1, out.size(), stdout);
    return bad ? 255 : 0;
}
