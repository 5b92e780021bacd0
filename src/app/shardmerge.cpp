#include "shardmerge.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "log.h"
#include "outputs.h"

namespace {

using Json = nlohmann::json;

double Value(const Json& j)
{
    return j.is_number() ? j.get<double>() : NAN;
}

MasterRow RowOf(const Json& m)
{
    MasterRow r;
    r.master = m.at("master").get<std::string>();
    if (m.contains("error")) {
        r.error = m["error"].get<std::string>() + "\n";
        return r;
    }
    r.walks = m.at("walks").get<long long>();
    r.hops = m.at("hops").get<long long>();
    r.walk_seconds = m.at("seconds").get<double>();
    r.reached_error = Value(m.at("reached_relative_error"));
    r.converged = m.at("converged").get<bool>();
    double window = NAN, window_err = NAN;
    for (const Json& e : m.at("entries")) {
        const std::string name = e.at("conductor").get<std::string>();
        const double c = Value(e.at("capacitance_F")), se = Value(e.at("std_error_F"));
        if (name == "(window)") {
            window = c, window_err = se;
        } else if (name == "(other)") {
            r.folded_cap = c, r.folded_err = se;
            r.unreached = e.value("conductors", (size_t)0);
        } else {
            r.conductors.push_back(name);
            r.cap.push_back(c);
            r.err.push_back(se);
        }
    }
    r.cap.push_back(window);
    r.err.push_back(window_err);
    if (m.contains("floating_potentials"))
        for (const Json& p : m["floating_potentials"])
            r.floating_potentials.push_back(
                {p.at("conductor").get<std::string>(), Value(p.at("potential")), Value(p.at("error"))});
    return r;
}

// The part "K/N" of a result, false when it has none.
bool PartOf(const Json& doc, int& k, int& n)
{
    const Json& o = doc.at("options");
    return o.contains("master_shard") && sscanf(o["master_shard"].get<std::string>().c_str(), "%d/%d", &k, &n) == 2 &&
           n > 1 && k >= 0 && k < n;
}

}  // namespace

int MergeShards(const std::vector<std::string>& paths)
{
    std::vector<Json> parts;
    int n = 0;
    try {
        for (const std::string& path : paths) {
            std::ifstream in(path);
            if (!in) {
                Log::perror("cannot read %s: %s\n", path.c_str(), strerror(errno));
                return 255;
            }
            std::stringstream text;
            text << in.rdbuf();
            Json doc = Json::parse(text.str(), nullptr, false);
            int k = 0, of = 0;
            if (doc.is_discarded() || !doc.is_object() || !doc.contains("masters") || !PartOf(doc, k, of)) {
                Log::perror("%s: not the JSON result of a --master-shard part\n", path.c_str());
                return 255;
            }
            if (n == 0)
                n = of, parts.resize(n);
            if (of != n || !parts[k].is_null()) {
                Log::perror("%s: part %d/%d, where the parts are of %d and each is given once\n", path.c_str(), k,
                            of, n);
                return 255;
            }
            parts[k] = std::move(doc);
        }
        for (int k = 0; k < n; k++) {
            if (parts[k].is_null()) {
                Log::perror("part %d/%d of the run is missing\n", k, n);
                return 255;
            }
            // Parts of one run: the same deck and the same options but their part.
            Json a = parts[k], b = parts[0];
            for (Json* d : {&a, &b})
                for (const char* key : {"master_shard", "threads", "json", "csv", "spef"})
                    (*d)["options"].erase(key);
            if (a["deck"] != b["deck"] || a["options"] != b["options"] || a["seed"] != b["seed"]) {
                Log::perror("part %d/%d is not of the same run as part 0/%d (another deck, seed or options)\n", k, n,
                            n);
                return 255;
            }
        }
        const Json& head = parts[0];
        const Json& o = head["options"];
        RunRecord run;
        run.version = head["korva_version"].get<std::string>();
        run.deck = head["deck"].get<std::string>();
        run.end_mode = o["mode"].get<std::string>()[0];
        run.target_walks = o["target_walks"].get<long long>();
        run.target_error = o["target_relative_error"].get<double>();
        run.threads = o["threads"].get<int>();
        run.seeded = head["reproducible"].get<bool>();
        run.seed = head["seed"].get<uint64_t>();
        run.masters = o["master"].get<std::vector<std::string>>();
        run.all_masters = o["all_masters"].get<bool>();
        run.exclude = o["exclude"].get<std::vector<std::string>>();
        run.ground = o["ground"].get<std::vector<std::string>>();
        run.time_limit = o["time_limit"].is_number() ? o["time_limit"].get<double>() : 0.0;
        run.max_walks = o["max_walks"].is_number() ? o["max_walks"].get<long long>() : 0;
        run.coupling_floor = o.value("coupling_floor", 0.0);
        if (head.contains("floating"))
            run.floating = head["floating"]["conductors"].get<std::vector<std::string>>();
        run.json_path = "/dev/stdout";
        // Master i of the whole run was master i / N of part i % N.
        size_t total = 0;
        for (const Json& p : parts)
            total += p["masters"].size();
        ResultStreams files(run);
        if (!files.Begin())
            return 255;
        for (size_t i = 0; i < total; i++) {
            const Json& masters = parts[i % n]["masters"];
            if (i / n >= masters.size()) {
                Log::perror("part %zu/%d holds %zu masters, too few for the %zu of the run\n", i % n, n,
                            masters.size(), total);
                return 255;
            }
            if (!files.Add(RowOf(masters[i / n])))
                return 255;
        }
        return files.Finish() ? 0 : 255;
    } catch (const std::exception& e) {
        Log::perror("cannot merge the parts: %s\n", e.what());
    }
    return 255;
}
