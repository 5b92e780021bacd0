#include "outputs.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "log.h"

const char* const KORVA_VERSION = "2012.08";

namespace {

using Json = nlohmann::ordered_json;

const char* const WINDOW_NAME = "(window)";

const char* const CONVENTION =
    "Maxwell capacitance matrix: row i is extracted with conductor i as the master; C[i][i] > 0 "
    "is the self capacitance of conductor i, C[i][j] <= 0 (j != i) the coupling capacitance "
    "between conductors i and j, and the entry of (window) is the capacitance to the boundary "
    "of the simulation window, collected from the walks that leave it; the entries of a row "
    "add up to about zero";

// Name of result slot i of a row: a conductor, or the window after them.
const std::string& SlotName(const MasterRow& r, size_t i)
{
    static const std::string window = WINDOW_NAME;
    return i < r.conductors.size() ? r.conductors[i] : window;
}

// Value and error of conductor `name` in row r; false when absent.
bool Entry(const MasterRow& r, const std::string& name, double& c, double& e)
{
    for (size_t i = 0; i < r.conductors.size(); i++) {
        if (r.conductors[i] == name) {
            c = r.cap[i];
            e = r.err[i];
            return true;
        }
    }
    return false;
}

bool Usable(const MasterRow& r)
{
    return r.error.empty() && !r.cap.empty();
}

// JSON has no NaN or infinity: such values are written as null.
Json Number(double v)
{
    return std::isfinite(v) ? Json(v) : Json(nullptr);
}

// Written beside and renamed into place: a run that dies while writing
// leaves no partial file that looks complete. Whatever is not a plain file
// (a terminal, a pipe, /dev/stdout) is written to as it is.
bool Save(const std::string& path, const std::string& text)
{
    struct stat st;
    const bool plain = stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
    const std::string temp = plain ? path + ".part" + std::to_string(getpid()) : path;
    std::ofstream out(temp, std::ios::binary);
    out << text;
    out.close();
    if (!out || (plain && rename(temp.c_str(), path.c_str()) != 0)) {
        if (plain)
            remove(temp.c_str());
        Log::perror("cannot write the output file %s\n", path.c_str());
        return false;
    }
    return true;
}

std::string Format(const char* fmt, double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

}  // namespace

std::vector<ReciprocityPair> Reciprocity(const std::vector<MasterRow>& rows)
{
    std::vector<ReciprocityPair> pairs;
    for (size_t i = 0; i < rows.size(); i++) {
        for (size_t j = i + 1; j < rows.size(); j++) {
            const MasterRow &a = rows[i], &b = rows[j];
            ReciprocityPair p{a.master, b.master, 0, 0, 0, 0, 0};
            if (!Usable(a) || !Usable(b) || a.master == b.master ||
                !Entry(a, b.master, p.c_ab, p.se_ab) || !Entry(b, a.master, p.c_ba, p.se_ba))
                continue;
            p.sigmas = (p.c_ab - p.c_ba) / std::sqrt(p.se_ab * p.se_ab + p.se_ba * p.se_ba);
            pairs.push_back(p);
        }
    }
    return pairs;
}

SymmetricMatrix Symmetrize(const std::vector<MasterRow>& rows)
{
    SymmetricMatrix m;
    std::vector<const MasterRow*> used;
    for (const MasterRow& r : rows) {
        if (Usable(r)) {
            used.push_back(&r);
            m.names.push_back(r.master);
        }
    }
    const size_t k = used.size();
    m.cap.assign(k, std::vector<double>(k, NAN));
    m.err.assign(k, std::vector<double>(k, NAN));
    for (size_t i = 0; i < k; i++) {
        for (size_t j = 0; j < k; j++) {
            // A name missing from a row leaves its entries unknown (NaN).
            double c1 = NAN, e1 = NAN, c2 = NAN, e2 = NAN;
            Entry(*used[i], m.names[j], c1, e1);
            Entry(*used[j], m.names[i], c2, e2);
            const double w1 = 1 / (e1 * e1), w2 = 1 / (e2 * e2);
            if (i == j) {
                m.cap[i][j] = c1;
                m.err[i][j] = e1;
            } else if (std::isfinite(w1) && std::isfinite(w2) && w1 + w2 > 0) {
                m.cap[i][j] = (w1 * c1 + w2 * c2) / (w1 + w2);
                m.err[i][j] = 1 / std::sqrt(w1 + w2);
            } else {  // an error of zero or none: no weights to go by
                m.cap[i][j] = (c1 + c2) / 2;
                m.err[i][j] = std::sqrt(e1 * e1 + e2 * e2) / 2;
            }
        }
    }
    return m;
}

bool WriteJson(const std::string& path, const RunSettings& s, uint64_t seed,
               const std::vector<MasterRow>& rows)
{
    Json doc;
    doc["korva_version"] = KORVA_VERSION;
    doc["deck"] = s.deck_path;
    Json& o = doc["options"];
    o["mode"] = std::string(1, s.end_mode);
    o["target_walks"] = s.target_walks;
    o["target_relative_error"] = s.target_error;
    o["threads"] = s.threads;
    o["master"] = s.masters;
    o["all_masters"] = s.all_masters;
    o["exclude"] = s.exclude;
    o["ground"] = s.ground;
    o["seed"] = s.seeded ? Json(s.seed) : Json(nullptr);
    o["time_limit"] = s.time_limit > 0 ? Json(s.time_limit) : Json(nullptr);
    o["max_walks"] = s.max_walks > 0 ? Json(s.max_walks) : Json(nullptr);
    o["json"] = s.json_path;
    o["csv"] = s.csv_path;
    o["spef"] = s.spef_path;
    doc["seed"] = seed;
    doc["reproducible"] = s.seeded;
    doc["units"] = "farads";
    doc["matrix_convention"] = CONVENTION;
    Json& masters = doc["masters"];
    masters = Json::array();
    for (const MasterRow& r : rows) {
        Json m;
        m["master"] = r.master;
        if (!r.error.empty()) {
            m["error"] = r.error.substr(0, r.error.find_last_not_of('\n') + 1);
            m["converged"] = false;
            masters.push_back(m);
            continue;
        }
        m["walks"] = r.walks;
        m["hops"] = r.hops;
        m["seconds"] = r.walk_seconds;
        m["target_walks"] = s.end_mode == 't' ? Json(s.target_walks) : Json(nullptr);
        m["target_relative_error"] = s.end_mode == 'p' ? Json(s.target_error) : Json(nullptr);
        m["reached_relative_error"] = Number(r.reached_error);
        m["converged"] = r.converged;
        Json& entries = m["entries"];
        entries = Json::array();
        for (size_t i = 0; i < r.cap.size(); i++)
            entries.push_back({{"conductor", SlotName(r, i)},
                               {"capacitance_F", Number(r.cap[i])},
                               {"std_error_F", Number(r.err[i])}});
        masters.push_back(m);
    }
    size_t usable = 0;
    for (const MasterRow& r : rows)
        usable += Usable(r) ? 1 : 0;
    if (usable >= 2) {
        Json& rec = doc["reciprocity"];
        rec = Json::array();
        for (const ReciprocityPair& p : Reciprocity(rows))
            rec.push_back({{"i", p.a}, {"j", p.b}, {"C_ij", p.c_ab}, {"C_ji", p.c_ba},
                           {"std_error_ij", p.se_ab}, {"std_error_ji", p.se_ba},
                           {"difference_in_combined_std_errors", Number(p.sigmas)}});
        SymmetricMatrix sym = Symmetrize(rows);
        Json& sm = doc["symmetric_matrix"];
        sm["conductors"] = sym.names;
        Json c = Json::array(), e = Json::array();
        for (size_t i = 0; i < sym.names.size(); i++) {
            Json rc = Json::array(), re = Json::array();
            for (size_t j = 0; j < sym.names.size(); j++) {
                rc.push_back(Number(sym.cap[i][j]));
                re.push_back(Number(sym.err[i][j]));
            }
            c.push_back(rc);
            e.push_back(re);
        }
        sm["capacitance_F"] = c;
        sm["std_error_F"] = e;
    }
    return Save(path, doc.dump(2) + "\n");
}

bool WriteCsv(const std::string& path, const std::vector<MasterRow>& rows)
{
    std::string text = "master,conductor,capacitance_F,std_error_F\n";
    for (const MasterRow& r : rows) {
        if (!Usable(r))
            continue;
        for (size_t i = 0; i < r.cap.size(); i++)
            text += r.master + "," + SlotName(r, i) + "," + Format("%.17g", r.cap[i]) + "," +
                    Format("%.17g", r.err[i]) + "\n";
    }
    return Save(path, text);
}

bool WriteSpef(const std::string& path, const RunSettings& s, const std::vector<std::string>& names,
               const std::vector<MasterRow>& rows)
{
    const double FF = 1e15;
    std::map<std::string, int> index;
    std::string text = "*SPEF \"IEEE 1481-1998\"\n";
    std::string design = s.deck_path.substr(s.deck_path.find_last_of('/') + 1);
    text += "*DESIGN \"" + design + "\"\n";
    char date[64];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%a %b %d %H:%M:%S %Y", localtime(&now));
    text += std::string("*DATE \"") + date + "\"\n";
    text += "*VENDOR \"Korva\"\n*PROGRAM \"Korva\"\n";
    text += std::string("*VERSION \"") + KORVA_VERSION + "\"\n";
    text += "*DESIGN_FLOW \"NETLIST_TYPE_VERILOG\"\n*DIVIDER /\n*DELIMITER :\n"
            "*BUS_DELIMITER [ ]\n*T_UNIT 1 NS\n*C_UNIT 1 FF\n*R_UNIT 1 OHM\n*L_UNIT 1 HENRY\n\n";
    text += "*NAME_MAP\n";
    for (size_t i = 0; i < names.size(); i++) {
        index[names[i]] = (int)i + 1;
        text += "*" + std::to_string(i + 1) + " " + names[i] + "\n";
    }
    const std::set<std::string> ground(s.ground.begin(), s.ground.end());
    for (const MasterRow& r : rows) {
        if (!Usable(r))
            continue;
        const std::string net = "*" + std::to_string(index[r.master]);
        std::string caps;
        double total = 0.0, to_ground = 0.0;
        int line = 0;
        // Slot 0 is the master itself; the last slot is the window.
        for (size_t i = 1; i < r.cap.size(); i++) {
            const double v = -r.cap[i] * FF;
            if (i >= r.conductors.size() || ground.count(r.conductors[i])) {
                to_ground += v;
                continue;
            }
            caps += std::to_string(++line) + " " + net + " *" +
                    std::to_string(index[r.conductors[i]]) + " " + Format("%.12g", v) + "\n";
            total += v;
        }
        caps += std::to_string(++line) + " " + net + " " + Format("%.12g", to_ground) + "\n";
        total += to_ground;
        text += "\n*D_NET " + net + " " + Format("%.12g", total) + "\n*CAP\n" + caps + "*END\n";
    }
    return Save(path, text);
}
