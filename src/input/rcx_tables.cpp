#include "rcx_tables.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>

namespace {

// A number as the table files spell a float: the shortest text that reads
// back as the value, with ".0" on whole numbers.
std::string Shortest(double v)
{
    char buf[40];
    for (int digits = 1; digits <= 17; digits++) {
        snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (strtod(buf, nullptr) == v)
            break;
    }
    std::string s = buf;
    if (s.find_first_of(".en") == std::string::npos)
        s += ".0";
    return s;
}

// Metal and index of a wire's name M<metal>_w<index>; false for any other.
bool WireOf(const std::string& wire, int& metal, int& index)
{
    static const std::regex form("M([0-9]+)_w([0-9]+)");
    std::smatch m;
    if (!std::regex_match(wire, m, form))
        return false;
    metal = std::atoi(m[1].str().c_str());
    index = std::atoi(m[2].str().c_str());
    return true;
}

}  // namespace

bool ParseRcxPatternName(const std::string& path, RcxPatternName& name, std::string& why)
{
    std::vector<std::string> parts;
    for (size_t b = 0; b <= path.size();) {
        size_t e = path.find('/', b);
        if (e == std::string::npos)
            e = path.size();
        if (e > b)
            parts.push_back(path.substr(b, e - b));
        b = e + 1;
    }
    static const std::regex family("[A-Za-z]*[0-9]");
    static const std::regex metals("M([0-9]+)(?:o(M([0-9]+))(?:uM([0-9]+))?|(d?)uM([0-9]+))");
    static const std::string num = "([0-9.]+(?:e[-+]?[0-9]+)?)";
    static const std::regex widths("W" + num + "_W" + num);
    static const std::regex spaces("S" + num + "_S" + num + "_L([0-9]+)");
    why = "'" + path + "' does not end in FAMILYn/METALS/Ww_Ww/Ss_Ss_Llen, the folder of a generated pattern";
    size_t last = parts.size();
    if (last > 0 && !std::regex_match(parts[last - 1], spaces))
        last--;  // the file's own name
    if (last < 4)
        return false;
    std::smatch m, w, s;
    if (!std::regex_match(parts[last - 4], family) || !std::regex_match(parts[last - 3], m, metals) ||
        !std::regex_match(parts[last - 2], w, widths) || !std::regex_match(parts[last - 1], s, spaces))
        return false;
    name = RcxPatternName();
    name.tail = parts[last - 4] + "/" + parts[last - 3] + "/" + parts[last - 2] + "/" + parts[last - 1];
    auto number = [](const std::ssub_match& t) { return std::atoi(t.str().c_str()); };
    name.metal = number(m[1]);
    if (m[2].matched) {
        name.under = number(m[3]);
        name.over = m[4].matched ? number(m[4]) : 0;
    } else {
        name.diag = m[5].length() > 0;
        name.over = number(m[6]);
    }
    name.width = std::strtod(w[1].str().c_str(), nullptr);
    name.width2 = std::strtod(w[2].str().c_str(), nullptr);
    name.space = std::strtod(s[1].str().c_str(), nullptr);
    name.space2 = std::strtod(s[2].str().c_str(), nullptr);
    name.len = number(s[3]);
    why.clear();
    return true;
}

std::string RcxRowWireProblem(const RcxPatternName& name, const std::string& wire)
{
    int metal, index;
    if (WireOf(wire, metal, index) && metal == name.metal && index > 0)
        return "";
    return "the master " + wire + " is not a wire M" + std::to_string(name.metal) +
           "_w<n> (n from 1) of the pattern's own metal, the only wires a table row describes";
}

bool RcxTableRow(const RcxPatternName& name, const CapRow& row, const std::vector<std::string>& wires,
                 double scale, std::string& text, std::string& why)
{
    why = RcxRowWireProblem(name, row.names[0]);
    if (!why.empty())
        return false;
    std::map<std::string, double> value;
    for (size_t i = 0; i < row.names.size(); ++i)
        value[row.names[i]] = row.value[i] * scale * 1e15;  // fF
    int metal, index, own = 0;
    WireOf(row.names[0], metal, own);
    double cc = 0, cc2 = 0, diag_cc = 0;
    bool have_diag = false;
    for (const std::string& wire : wires) {
        if (wire == row.names[0] || !value.count(wire) || !WireOf(wire, metal, index))
            continue;
        const int apart = std::abs(index - own);
        if (metal == name.metal && apart == 1)
            cc -= value[wire];
        else if (metal == name.metal && apart == 2)
            cc2 -= value[wire];
        else if (name.diag && metal == name.over && !have_diag) {
            diag_cc = -value[wire];
            have_diag = true;
        }
    }
    if (name.diag && !have_diag) {
        why = "the pattern has no wire of metal " + std::to_string(name.over) + ", its diagonal neighbour";
        return false;
    }
    const double total = value[row.names[0]];
    std::string diag;
    if (name.diag) {
        char buf[160];
        snprintf(buf, sizeof buf, " DiagDist %s DiagWidth %s DiagCC %9.6f", Shortest(name.space2).c_str(),
                 Shortest(name.width2).c_str(), diag_cc);
        diag = buf;
    }
    char buf[512];
    snprintf(buf, sizeof buf,
             "Metal %d Over %d %s %d  Dist %.4f Width %.4f  LEN %d  CC %9.6f  FR %9.6f  TC %9.6f  CC2 %9.6f  ",
             name.metal, name.under, name.diag ? "DiagUnder" : "Under", name.over, name.space, name.width, name.len,
             cc, total - cc, total, cc2);
    text = buf + diag + " " + name.tail + "/wire_" + std::to_string(own) + " \n";
    return true;
}
