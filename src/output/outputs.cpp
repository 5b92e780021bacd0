#include "outputs.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <exception>
#include <algorithm>
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

std::string Format(const char* fmt, double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

}  // namespace

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

}  // namespace

FoldedRow Fold(const MasterRow& r, double floor)
{
    FoldedRow f;
    if (r.cap.empty())
        return f;
    const double limit = floor > 0 ? floor * std::fabs(r.cap[0]) : 0.0;
    double var = 0.0;
    for (size_t i = 0; i < r.cap.size(); i++) {
        const double c = r.cap[i], e = i < r.err.size() ? r.err[i] : 0.0;
        const bool unreached = c == 0.0 && e == 0.0;
        if (i == 0 || i >= r.conductors.size() || !(unreached || std::fabs(c) < limit)) {
            f.kept.push_back(i);
            continue;
        }
        f.other += c;
        var += e * e;
        f.folded++;
    }
    f.other += r.folded_cap;
    f.other_err = std::sqrt(var + r.folded_err * r.folded_err);
    f.folded += r.unreached;
    return f;
}

uint32_t SparseRows::Column(const std::string& name)
{
    return columns_.emplace(name, (uint32_t)columns_.size()).first->second;
}

void SparseRows::Add(const MasterRow& r, const FoldedRow& f)
{
    if (!Usable(r))
        return;
    const uint32_t own = Column(r.master);
    std::vector<Entry> entries;
    entries.reserve(f.kept.size());
    for (size_t i : f.kept)
        if (i < r.conductors.size())
            entries.push_back({Column(r.conductors[i]), r.cap[i], r.err[i]});
    // The first entry of a name counts, as a lookup by name finds it.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.column < b.column; });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const Entry& a, const Entry& b) { return a.column == b.column; }),
                  entries.end());
    entries.shrink_to_fit();
    row_of_.emplace(own, (uint32_t)rows_.size());
    masters_.push_back(r.master);
    master_column_.push_back(own);
    rows_.push_back(std::move(entries));
}

const SparseRows::Entry* SparseRows::Find(size_t row, uint32_t column) const
{
    const std::vector<Entry>& e = rows_[row];
    auto it = std::lower_bound(e.begin(), e.end(), column);
    return it != e.end() && it->column == column ? &*it : nullptr;
}

std::vector<ReciprocityPair> SparseRows::Reciprocity() const
{
    std::vector<ReciprocityPair> pairs;
    std::vector<std::pair<uint32_t, const Entry*>> later;
    for (size_t i = 0; i < rows_.size(); i++) {
        later.clear();
        for (const Entry& e : rows_[i]) {
            auto j = row_of_.find(e.column);
            if (j != row_of_.end() && j->second > i && master_column_[j->second] != master_column_[i])
                later.push_back({j->second, &e});
        }
        std::sort(later.begin(), later.end());
        for (const auto& l : later) {
            const Entry* back = Find(l.first, master_column_[i]);
            if (!back)
                continue;
            ReciprocityPair p{masters_[i], masters_[l.first], l.second->cap, back->cap, l.second->err, back->err, 0};
            p.sigmas = (p.c_ab - p.c_ba) / std::sqrt(p.se_ab * p.se_ab + p.se_ba * p.se_ba);
            pairs.push_back(p);
        }
    }
    return pairs;
}

namespace {

// Two estimates of one entry as one: inverse-variance weighted.
void Combine(double c1, double e1, double c2, double e2, double& cap, double& err)
{
    const double w1 = 1 / (e1 * e1), w2 = 1 / (e2 * e2);
    if (std::isfinite(w1) && std::isfinite(w2) && w1 + w2 > 0) {
        cap = (w1 * c1 + w2 * c2) / (w1 + w2);
        err = 1 / std::sqrt(w1 + w2);
    } else {  // an error of zero or none: no weights to go by
        cap = (c1 + c2) / 2;
        err = std::sqrt(e1 * e1 + e2 * e2) / 2;
    }
}

}  // namespace

void SparseRows::SymmetricEntries(const std::function<void(size_t, size_t, double, double)>& emit) const
{
    for (size_t i = 0; i < rows_.size(); i++) {
        for (const Entry& e : rows_[i]) {
            auto at = row_of_.find(e.column);
            if (at == row_of_.end())
                continue;
            const size_t j = at->second;
            const Entry* back = j == i ? nullptr : Find(j, master_column_[i]);
            double cap = e.cap, err = e.err;
            if (j == i) {
                emit(i, i, cap, err);
            } else if (j > i) {
                if (back)
                    Combine(e.cap, e.err, back->cap, back->err, cap, err);
                emit(i, j, cap, err);
            } else if (!back) {  // seen from i alone: row j did not emit it
                emit(j, i, cap, err);
            }
        }
    }
}

void SparseRows::SymmetricRow(size_t i, std::vector<double>& cap, std::vector<double>& err) const
{
    const size_t k = rows_.size();
    cap.assign(k, 0.0);
    err.assign(k, 0.0);
    for (size_t j = 0; j < k; j++) {
        const Entry* a = Find(i, master_column_[j]);
        const Entry* b = Find(j, master_column_[i]);
        if (i == j) {
            cap[j] = a ? a->cap : NAN;
            err[j] = a ? a->err : NAN;
        } else if (a && b) {
            Combine(a->cap, a->err, b->cap, b->err, cap[j], err[j]);
        } else if (a || b) {
            cap[j] = (a ? a : b)->cap;
            err[j] = (a ? a : b)->err;
        }
    }
}

namespace {

const char* const OTHER_NAME = "(other)";

// Nested JSON at the depth it takes in the document, as one dump of the
// whole document would indent it.
std::string Nested(const Json& j, int depth)
{
    std::string text = j.dump(2), pad(depth, ' '), out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        out += c;
        if (c == '\n')
            out += pad;
    }
    return out;
}

Json JsonHeader(const RunRecord& s)
{
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
    if (s.coupling_floor > 0)
        o["coupling_floor"] = s.coupling_floor;
    if (s.master_shard_n > 1)
        o["master_shard"] = std::to_string(s.master_shard_k) + "/" + std::to_string(s.master_shard_n);
    doc["seed"] = s.seed;
    doc["reproducible"] = s.seeded;
    doc["units"] = "farads";
    doc["matrix_convention"] = CONVENTION;
    if (!s.floating.empty()) {
        Json& f = doc["floating"];
        f["conductors"] = Texts(s.floating);
        f["note"] = "charge-neutral conductors at the potential their surroundings give them, eliminated "
                    "from every row; each master's floating_potentials give their potentials with the master at 1 V";
    }
    return doc;
}

Json JsonMaster(const RunRecord& s, const MasterRow& r, const FoldedRow& f)
{
    Json m;
    m["master"] = Text(r.master);
    if (!r.error.empty()) {
        m["error"] = Text(r.error.substr(0, r.error.find_last_not_of('\n') + 1));
        m["converged"] = false;
        return m;
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
    auto entry = [&entries](const std::string& name, double c, double e) {
        entries.push_back({{"conductor", Text(name)}, {"capacitance_F", Number(c)}, {"std_error_F", Number(e)}});
    };
    for (size_t i : f.kept) {
        if (i >= r.conductors.size() && f.folded > 0) {
            entry(OTHER_NAME, f.other, f.other_err);
            entries.back()["conductors"] = f.folded;
        }
        entry(SlotName(r, i), r.cap[i], r.err[i]);
    }
    if (!r.floating_potentials.empty()) {
        Json& v = m["floating_potentials"];
        v = Json::array();
        for (const MasterRow::Potential& p : r.floating_potentials)
            v.push_back({{"conductor", Text(p.conductor)}, {"potential", Number(p.potential)},
                         {"error", Number(p.error)}});
    }
    return m;
}

std::string SpefHeader(const RunRecord& s, std::map<std::string, int>& index)
{
    const std::vector<std::string>& names = s.conductors;
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
    return text;
}

// Each extracted net is one node, *N:1, that holds all its capacitance and
// reaches each of its pins through 0 ohm: Korva extracts no resistance, and
// a timing tool annotates a net from the nodes its pins reach. Folded
// couplings join the ground entry.
std::string SpefNet(const RunRecord& s, const std::map<std::string, int>& index, const MasterRow& r,
                    const FoldedRow& f)
{
    const double FF = 1e15;
    auto number = [&index](const std::string& name) {
        auto it = index.find(name);
        return it == index.end() ? 0 : it->second;
    };
    const std::set<std::string> ground(s.ground.begin(), s.ground.end());
    const std::string net = "*" + std::to_string(number(r.master)), node = net + ":1";
    std::string caps;
    double total = 0.0, to_ground = -f.other * FF;
    int line = 0;
    // Slot 0 is the master itself; the last slot is the window.
    for (size_t i : f.kept) {
        if (i == 0)
            continue;
        const double v = -r.cap[i] * FF;
        if (i >= r.conductors.size() || ground.count(r.conductors[i])) {
            to_ground += v;
            continue;
        }
        caps += std::to_string(++line) + " " + node + " *" + std::to_string(number(r.conductors[i])) + ":1 " +
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
    return "\n*D_NET " + net + " " + Format("%.12g", total) + "\n*CONN\n" + conn + "*CAP\n" + caps + "*RES\n" +
           res + "*END\n";
}

bool Open(OutputFile::Stream& f, const std::string& path)
{
    std::string error;
    if (path.empty() || f.Open(path, error))
        return true;
    Log::perror("%s\n", error.c_str());
    return false;
}

}  // namespace

void ResultStreams::Abort()
{
    json_.Abort();
    csv_.Abort();
    spef_.Abort();
}

bool ResultStreams::Check(OutputFile::Stream& f)
{
    if (!f.Error().empty() && !failed_) {
        Log::perror("%s\n", f.Error().c_str());
        failed_ = true;
    }
    return !failed_;
}

bool ResultStreams::Begin()
{
    const RunRecord& s = run_;
    try {
        if (!Open(json_, s.json_path) || !Open(csv_, s.csv_path) || !Open(spef_, s.spef_path)) {
            failed_ = true;
            Abort();
            return false;
        }
        if (json_.IsOpen()) {
            std::string head = JsonHeader(s).dump(2);
            head.erase(head.size() - 2);  // the closing "\n}"
            json_.Append(head + ",\n  \"masters\": [");
        }
        if (csv_.IsOpen()) {
            std::string text;
            if (!s.floating.empty()) {
                text = "# floating, charge-neutral and eliminated from every row:";
                for (const std::string& name : s.floating)
                    text += " " + CsvField(name);
                text += "\n";
            }
            csv_.Append(text + "master,conductor,capacitance_F,std_error_F\n");
        }
        if (spef_.IsOpen())
            spef_.Append(SpefHeader(s, spef_index_));
    } catch (const std::exception& e) {
        Log::perror("cannot write the output files: %s\n", e.what());
        failed_ = true;
    }
    return Check(json_) && Check(csv_) && Check(spef_);
}

bool ResultStreams::Add(const MasterRow& r)
{
    if (failed_)
        return false;
    try {
        const FoldedRow f = Fold(r, run_.coupling_floor);
        if (json_.IsOpen())
            json_.Append(std::string(json_rows_++ ? "," : "") + "\n    " + Nested(JsonMaster(run_, r, f), 4));
        if (Usable(r)) {
            if (csv_.IsOpen()) {
                std::string text;
                const std::string master = CsvField(r.master) + ",";
                for (size_t i : f.kept) {
                    if (i >= r.conductors.size() && f.folded > 0)
                        text += master + OTHER_NAME + "," + Format("%.17g", f.other) + "," +
                                Format("%.17g", f.other_err) + "\n";
                    text += master + CsvField(SlotName(r, i)) + "," + Format("%.17g", r.cap[i]) + "," +
                            Format("%.17g", r.err[i]) + "\n";
                }
                csv_.Append(text);
            }
            if (spef_.IsOpen())
                spef_.Append(SpefNet(run_, spef_index_, r, f));
            if (json_.IsOpen())
                sparse_.Add(r, f);
        }
    } catch (const std::exception& e) {
        Log::perror("cannot write the output files: %s\n", e.what());
        failed_ = true;
    }
    return Check(json_) && Check(csv_) && Check(spef_);
}

bool ResultStreams::Finish()
{
    if (failed_) {
        Abort();
        return false;
    }
    try {
        if (json_.IsOpen()) {
            json_.Append(json_rows_ ? "\n  ]" : "]");
            if (sparse_.Size() >= 2) {
                json_.Append(",\n  \"reciprocity\": [");
                size_t n = 0;
                for (const ReciprocityPair& p : sparse_.Reciprocity()) {
                    Json j = {{"i", Text(p.a)}, {"j", Text(p.b)}, {"C_ij", p.c_ab}, {"C_ji", p.c_ba},
                              {"std_error_ij", p.se_ab}, {"std_error_ji", p.se_ba},
                              {"difference_in_combined_std_errors", Number(p.sigmas)}};
                    json_.Append(std::string(n++ ? "," : "") + "\n    " + Nested(j, 4));
                }
                json_.Append(n ? "\n  ]" : "]");
                json_.Append(",\n  \"symmetric_matrix\": {\n    \"conductors\": " +
                             Nested(Texts(sparse_.Masters()), 4));
                std::vector<double> cap, err;
                if (sparse_.Size() > DENSE_MATRIX_MASTERS) {
                    // Rows of the master indices i <= j, capacitance and error.
                    json_.Append(",\n    \"entries\": [");
                    size_t n = 0;
                    sparse_.SymmetricEntries([this, &n](size_t i, size_t j, double c, double e) {
                        json_.Append(std::string(n++ ? ",\n      " : "\n      ") +
                                     Json::array({i, j, Number(c), Number(e)}).dump());
                    });
                    json_.Append(n ? "\n    ]" : "]");
                }
                for (int which = 0; which < 2 && Check(json_) && sparse_.Size() <= DENSE_MATRIX_MASTERS; which++) {
                    json_.Append(which ? ",\n    \"std_error_F\": [" : ",\n    \"capacitance_F\": [");
                    for (size_t i = 0; i < sparse_.Size() && Check(json_); i++) {
                        sparse_.SymmetricRow(i, cap, err);
                        Json row = Json::array();
                        for (double v : which ? err : cap)
                            row.push_back(Number(v));
                        json_.Append(std::string(i ? "," : "") + "\n      " + Nested(row, 6));
                    }
                    json_.Append("\n    ]");
                }
                json_.Append("\n  }");
            }
            json_.Append("\n}\n");
        }
    } catch (const std::exception& e) {
        Log::perror("cannot write the output file %s: %s\n", run_.json_path.c_str(), e.what());
        failed_ = true;
    }
    // Each file that could be written in full takes its name; the others
    // are told, each once.
    bool ok = true;
    for (OutputFile::Stream* f : {&json_, &csv_, &spef_}) {
        std::string error;
        if (!f->IsOpen())
            continue;
        if (!f->Error().empty()) {
            if (!failed_)
                Log::perror("%s\n", f->Error().c_str());
            ok = false;
        } else if (!f->Commit(error)) {
            Log::perror("%s\n", error.c_str());
            ok = false;
        }
    }
    failed_ = !ok;
    Abort();
    return ok;
}
