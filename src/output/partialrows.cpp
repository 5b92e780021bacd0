#include "partialrows.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include <nlohmann/json.hpp>

#include "outputfile.h"

namespace {

using Json = nlohmann::json;

const char* const FORMAT = "korva rows of a stopped run";

// Doubles go through JSON as numbers to the last bit; NaN and infinities,
// which JSON lacks, as text.
Json Value(double v)
{
    return std::isfinite(v) ? Json(v) : Json(std::to_string(v));
}

double ValueOf(const Json& j)
{
    return j.is_number() ? j.get<double>() : std::strtod(j.get<std::string>().c_str(), nullptr);
}

Json LineOf(const MasterRow& r)
{
    Json cap = Json::array(), err = Json::array();
    for (double v : r.cap)
        cap.push_back(Value(v));
    for (double v : r.err)
        err.push_back(Value(v));
    Json line = {{"master", r.master}, {"conductors", r.conductors}, {"cap", cap}, {"err", err},
                 {"unreached", r.unreached}, {"walks", r.walks}, {"hops", r.hops},
                 {"prep_seconds", r.prep_seconds}, {"walk_seconds", r.walk_seconds},
                 {"walk_cpu_seconds", r.walk_cpu_seconds}, {"reached_error", Value(r.reached_error)},
                 {"converged", r.converged}};
    if (!r.floating_potentials.empty()) {
        Json& v = line["floating_potentials"];
        for (const MasterRow::Potential& p : r.floating_potentials)
            v.push_back({p.conductor, Value(p.potential), Value(p.error)});
    }
    return line;
}

MasterRow RowOf(const Json& j)
{
    MasterRow r;
    r.master = j.at("master").get<std::string>();
    r.conductors = j.at("conductors").get<std::vector<std::string>>();
    for (const Json& v : j.at("cap"))
        r.cap.push_back(ValueOf(v));
    for (const Json& v : j.at("err"))
        r.err.push_back(ValueOf(v));
    r.unreached = j.at("unreached").get<size_t>();
    r.walks = j.at("walks").get<long long>();
    r.hops = j.at("hops").get<long long>();
    r.prep_seconds = j.at("prep_seconds").get<double>();
    r.walk_seconds = j.at("walk_seconds").get<double>();
    r.walk_cpu_seconds = j.at("walk_cpu_seconds").get<double>();
    r.reached_error = ValueOf(j.at("reached_error"));
    r.converged = j.at("converged").get<bool>();
    if (j.contains("floating_potentials"))
        for (const Json& p : j["floating_potentials"])
            r.floating_potentials.push_back({p.at(0).get<std::string>(), ValueOf(p.at(1)), ValueOf(p.at(2))});
    if (r.cap.size() != r.err.size() || r.cap.size() != r.conductors.size() + 1 || r.conductors.empty())
        throw std::runtime_error("a row of " + r.master + " has entries of unequal counts");
    return r;
}

}  // namespace

std::string RowText(const MasterRow& row)
{
    Json j = LineOf(row);
    if (!row.error.empty())
        j["error"] = row.error;
    if (row.fatal)
        j["fatal"] = true;
    return j.dump();
}

bool RowFromText(const std::string& text, MasterRow& row)
{
    const Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return false;
    try {
        if (j.contains("error")) {  // no entries to check
            row = MasterRow();
            row.master = j.at("master").get<std::string>();
            row.error = j.at("error").get<std::string>();
            row.fatal = j.value("fatal", false);
            return true;
        }
        row = RowOf(j);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

namespace {

bool WriteAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

}  // namespace

void Compact(MasterRow& r)
{
    size_t out = 1;
    for (size_t i = 1; i < r.conductors.size(); i++) {
        if (r.cap[i] == 0.0 && r.err[i] == 0.0) {
            r.unreached++;
            continue;
        }
        if (out != i) {
            r.conductors[out] = std::move(r.conductors[i]);
            r.cap[out] = r.cap[i];
            r.err[out] = r.err[i];
        }
        out++;
    }
    if (r.conductors.empty() || r.cap.size() != r.conductors.size() + 1 || r.err.size() != r.cap.size())
        return;
    const double window = r.cap.back(), window_err = r.err.back();
    r.conductors.resize(out);
    r.conductors.shrink_to_fit();
    r.cap.resize(out);
    r.err.resize(out);
    r.cap.push_back(window);
    r.err.push_back(window_err);
    r.cap.shrink_to_fit();
    r.err.shrink_to_fit();
}

std::string PartialRows::PathFor(const RunRecord& run)
{
    if (run.resume_key.empty())
        return "";
    // Rows left beside any of the files come first: the stopped run may
    // have named them otherwise (a JSON file on a disk that filled).
    for (const std::string* path : {&run.json_path, &run.csv_path, &run.spef_path})
        if (!path->empty() && access((*path + ".partial").c_str(), F_OK) == 0)
            return *path + ".partial";
    for (const std::string* path : {&run.json_path, &run.csv_path, &run.spef_path})
        if (!path->empty() && OutputFile::Replaceable(*path))
            return *path + ".partial";
    return "";
}

bool PartialRows::Open(const std::string& path, const std::string& key, std::map<std::string, MasterRow>& done,
                       std::string& error)
{
    path_ = path;
    std::ifstream in(path);
    std::string line;
    bool fresh = !in || !std::getline(in, line);
    if (!fresh) {
        Json head = Json::parse(line, nullptr, false);
        if (head.is_discarded() || !head.is_object() || head.value("format", "") != FORMAT) {
            error = path + ": not a file of finished rows; remove it, or name other result files";
            return false;
        }
        if (head.value("key", "") != key) {
            error = path + ": rows of a run with other options or another deck; remove it to start anew";
            return false;
        }
        // A line cut short by the stop is the row that did not finish.
        while (std::getline(in, line)) {
            Json j = Json::parse(line, nullptr, false);
            if (j.is_discarded())
                break;
            try {
                MasterRow r = RowOf(j);
                done[r.master] = std::move(r);
            } catch (const std::exception&) {
                break;
            }
        }
    }
    in.close();
    // The file is written anew from what was read back: a cut line goes.
    const std::string temp = path + ".tmp";
    fd_ = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    std::string text = Json({{"format", FORMAT}, {"key", key}}).dump() + "\n";
    for (const auto& row : done)
        text += LineOf(row.second).dump() + "\n";
    if (fd_ < 0 || !WriteAll(fd_, text) || fsync(fd_) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write the file of finished rows " + path + ": " + strerror(errno);
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool PartialRows::Add(const MasterRow& row, std::string& error)
{
    if (fd_ < 0)
        return true;
    // Once written, a line outlives the process; a sync per row would cost
    // a run of small masters most of its time, for a crash of the machine.
    if (!WriteAll(fd_, LineOf(row).dump() + "\n")) {
        error = "cannot write the file of finished rows " + path_ + ": " + strerror(errno);
        return false;
    }
    return true;
}

void PartialRows::Remove()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!path_.empty())
        unlink(path_.c_str());
    path_.clear();
}

PartialRows::~PartialRows()
{
    if (fd_ >= 0)
        close(fd_);
}
