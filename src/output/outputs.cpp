#include "outputs.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <exception>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "log.h"
#include "outputfile.h"
#include "textsafe.h"

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

// A name (of a file, a conductor, a deck) as JSON text: any bytes at all.
Json Text(const std::string& name)
{
    return TextSafe::ValidUtf8(name);
}

Json Texts(const std::vector<std::string>& names)
{
    Json list = Json::array();
    for (const std::string& name : names)
        list.push_back(Text(name));
    return list;
}

// One CSV field: quoted, with its quotes doubled, when it holds a comma, a
// quote or a line break.
std::string CsvField(const std::string& name)
{
    const std::string text = TextSafe::ValidUtf8(name);
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// SPEF is ASCII: a byte outside its printable range is written in the form
// the rest of Korva's outputs use for stray bytes, \xNN, whose backslash
// is then escaped like any other.
void SpefByte(std::string& out, unsigned char c)
{
    static const char hex[] = "0123456789abcdef";
    out += "\\\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
}

// The text of a SPEF qstring, between its quotes: a quote or backslash
// escaped with a backslash.
std::string SpefQuoted(const std::string& name)
{
    std::string out;
    for (unsigned char c : TextSafe::ValidUtf8(name)) {
        if (c < 0x20 || c >= 0x7f)
            SpefByte(out, c);
        else if (c == '"' || c == '\\')
            out += '\\', out += (char)c;
        else
            out += (char)c;
    }
    return out;
}

// A SPEF identifier: letters, digits and '_' as they are, every other
// printable character escaped with a backslash (':' would otherwise end
// the net's name at the pin delimiter).
std::string SpefIdentifier(const std::string& name)
{
    std::string out;
    for (unsigned char c : TextSafe::ValidUtf8(name)) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')
            out += (char)c;
        else if (c > 0x20 && c < 0x7f)
            out += '\\', out += (char)c;
        else
            SpefByte(out, c);
    }
    return out;
}

// A net, port or instance name of the netlist: as an identifier, but '/'
// and the brackets stay, since the header declares them the hierarchy
// divider and the bus delimiters (deck names never hold them).
std::string SpefNetlistName(const std::string& name)
{
    const std::string escaped = SpefIdentifier(name);
    std::string out;
    for (size_t i = 0; i < escaped.size(); i++) {
        if (escaped[i] == '\\' && i + 1 < escaped.size()) {
            const char c = escaped[++i];
            if (c != '/' && c != '[' && c != ']')
                out += '\\';
            out += c;
        } else {
            out += escaped[i];
        }
    }
    return out;
}

bool Save(const std::string& path, const std::string& text)
{
    std::string error;
    if (OutputFile::Write(path, text, error))
        return true;
    Log::perror("%s\n", error.c_str());
    return false;
}

// Whatever goes wrong while a file is made (a library that throws, memory)
// ends in a message naming the file, and the run goes on to the others.
template <class Make>
bool Guarded(const std::string& path, Make make)
{
    try {
        return make();
    } catch (const std::exception& e) {
        Log::perror("cannot write the output file %s: %s\n", path.c_str(), e.what());
    }
    return false;
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

namespace {

std::string JsonText(const RunRecord& s)
{
    const std::vector<MasterRow>& rows = s.rows;
    Json doc;
    doc["korva_version"] = s.version;
    doc["deck"] = Text(s.deck);
    Json& o = doc["options"];
    o["mode"] = std::string(1, s.end_mode);
    o["target_walks"] = s.target_walks;
    o["target_relative_error"] = s.target_error;
    o["threads"] = s.threads;
    o["master"] = Texts(s.masters);
    o["all_masters"] = s.all_masters;
    o["exclude"] = Texts(s.exclude);
    o["ground"] = Texts(s.ground);
    o["seed"] = s.seeded ? Json(s.seed) : Json(nullptr);
    o["time_limit"] = s.time_limit > 0 ? Json(s.time_limit) : Json(nullptr);
    o["max_walks"] = s.max_walks > 0 ? Json(s.max_walks) : Json(nullptr);
    o["json"] = Text(s.json_path);
    o["csv"] = Text(s.csv_path);
    o["spef"] = Text(s.spef_path);
    doc["seed"] = s.seed;
    doc["reproducible"] = s.seeded;
    doc["units"] = "farads";
    doc["matrix_convention"] = CONVENTION;
    if (!s.floating.empty()) {
        Json& f = doc["floating"];
        f["conductors"] = Texts(s.floating);
        f["note"] = "charge-neutral conductors at the potential their surroundings give them, eliminated "
                    "from every row; their potentials are not estimated";
    }
    Json& masters = doc["masters"];
    masters = Json::array();
    for (const MasterRow& r : rows) {
        Json m;
        m["master"] = Text(r.master);
        if (!r.error.empty()) {
            m["error"] = Text(r.error.substr(0, r.error.find_last_not_of('\n') + 1));
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
            entries.push_back({{"conductor", Text(SlotName(r, i))},
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
            rec.push_back({{"i", Text(p.a)}, {"j", Text(p.b)}, {"C_ij", p.c_ab}, {"C_ji", p.c_ba},
                           {"std_error_ij", p.se_ab}, {"std_error_ji", p.se_ba},
                           {"difference_in_combined_std_errors", Number(p.sigmas)}});
        SymmetricMatrix sym = Symmetrize(rows);
        Json& sm = doc["symmetric_matrix"];
        sm["conductors"] = Texts(sym.names);
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
    return doc.dump(2) + "\n";
}

}  // namespace

bool WriteJson(const std::string& path, const RunRecord& run)
{
    return Guarded(path, [&] { return Save(path, JsonText(run)); });
}

bool WriteCsv(const std::string& path, const RunRecord& run)
{
    return Guarded(path, [&] {
        std::string text;
        if (!run.floating.empty()) {
            text = "# floating, charge-neutral and eliminated from every row:";
            for (const std::string& name : run.floating)
                text += " " + CsvField(name);
            text += "\n";
        }
        text += "master,conductor,capacitance_F,std_error_F\n";
        for (const MasterRow& r : run.rows) {
            if (!Usable(r))
                continue;
            for (size_t i = 0; i < r.cap.size(); i++)
                text += CsvField(r.master) + "," + CsvField(SlotName(r, i)) + "," +
                        Format("%.17g", r.cap[i]) + "," + Format("%.17g", r.err[i]) + "\n";
        }
        return Save(path, text);
    });
}

namespace {

// A pin as a node of the SPEF: an instance's pin "INSTANCE:PIN" split at
// its last ':', the delimiter; anything else a port.
struct SpefPin {
    std::string node;
    bool port;
};

SpefPin PinNode(const std::string& pin)
{
    const size_t colon = pin.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == pin.size())
        return {SpefNetlistName(pin), true};
    return {SpefNetlistName(pin.substr(0, colon)) + ":" + SpefNetlistName(pin.substr(colon + 1)), false};
}

std::vector<SpefPin> PinsOf(const RunRecord& s, const std::string& conductor)
{
    std::vector<SpefPin> pins;
    auto known = s.netlist.find(conductor);
    if (known == s.netlist.end() || known->second.pins.empty())
        return {PinNode(known == s.netlist.end() ? conductor : known->second.net)};
    for (const std::string& pin : known->second.pins)
        pins.push_back(PinNode(pin));
    return pins;
}

// Each extracted net is one node, *N:1, that holds all its capacitance and
// reaches each of its pins through 0 ohm: Korva extracts no resistance, and
// a timing tool annotates a net from the nodes its pins reach.
std::string SpefText(const RunRecord& s)
{
    const std::vector<std::string>& names = s.conductors;
    const double FF = 1e15;
    std::map<std::string, int> index;
    std::string text = "*SPEF \"IEEE 1481-1998\"\n";
    std::string design = s.deck.substr(s.deck.find_last_of('/') + 1);
    text += "*DESIGN \"" + SpefQuoted(design) + "\"\n";
    char date[64];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%a %b %d %H:%M:%S %Y", localtime(&now));
    text += std::string("*DATE \"") + date + "\"\n";
    text += "*VENDOR \"Korva\"\n*PROGRAM \"Korva\"\n";
    text += std::string("*VERSION \"") + s.version + "\"\n";
    text += "*DESIGN_FLOW \"NETLIST_TYPE_VERILOG\"\n*DIVIDER /\n*DELIMITER :\n"
            "*BUS_DELIMITER [ ]\n*T_UNIT 1 NS\n*C_UNIT 1 FF\n*R_UNIT 1 OHM\n*L_UNIT 1 HENRY\n\n";
    if (!s.floating.empty()) {
        text += "// Floating, charge-neutral and eliminated from every net:";
        for (const std::string& name : s.floating)
            text += " " + SpefIdentifier(name);
        text += "\n\n";
    }
    text += "*NAME_MAP\n";
    std::string ports;
    std::set<std::string> listed;
    for (size_t i = 0; i < names.size(); i++) {
        index[names[i]] = (int)i + 1;
        auto known = s.netlist.find(names[i]);
        text += "*" + std::to_string(i + 1) + " " +
                (known == s.netlist.end() ? SpefIdentifier(names[i]) : SpefNetlistName(known->second.net)) + "\n";
        for (const SpefPin& pin : PinsOf(s, names[i]))
            if (pin.port && listed.insert(pin.node).second)
                ports += pin.node + " B\n";
    }
    if (!ports.empty())
        text += "\n*PORTS\n" + ports;
    const std::set<std::string> ground(s.ground.begin(), s.ground.end());
    for (const MasterRow& r : s.rows) {
        if (!Usable(r))
            continue;
        const std::string net = "*" + std::to_string(index[r.master]), node = net + ":1";
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
            caps += std::to_string(++line) + " " + node + " *" + std::to_string(index[r.conductors[i]]) + ":1 " +
                    Format("%.12g", v) + "\n";
            total += v;
        }
        caps += std::to_string(++line) + " " + node + " " + Format("%.12g", to_ground) + "\n";
        total += to_ground;
        std::string conn, res;
        line = 0;
        for (const SpefPin& pin : PinsOf(s, r.master)) {
            conn += (pin.port ? "*P " : "*I ") + pin.node + " B\n";
            res += std::to_string(++line) + " " + node + " " + pin.node + " 0\n";
        }
        text += "\n*D_NET " + net + " " + Format("%.12g", total) + "\n*CONN\n" + conn + "*CAP\n" + caps +
                "*RES\n" + res + "*END\n";
    }
    return text;
}

}  // namespace

bool WriteSpef(const std::string& path, const RunRecord& run)
{
    return Guarded(path, [&] { return Save(path, SpefText(run)); });
}
