#include "rcx_reader.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

// Whitespace tokens of one line; '#' and a leading '$' start comments.
std::vector<std::string> Tokens(const std::string& raw)
{
    std::string line = raw.substr(0, raw.find('#'));
    std::istringstream s(line);
    std::vector<std::string> tokens;
    std::string t;
    while (s >> t)
        tokens.push_back(t);
    if (!tokens.empty() && tokens[0][0] == '$')
        tokens.clear();
    return tokens;
}

std::string At(int line, const std::string& message)
{
    return "Line " + std::to_string(line) + " : " + message;
}

// Reads "KEY a b KEY c ..." layouts: `layout` lists the tokens after the
// record keyword, "#" for a number (stored in order), a word for a keyword,
// "*" for any text.
bool Match(const std::vector<std::string>& t, const std::vector<const char*>& layout,
           std::vector<double>& numbers, std::vector<std::string>& words, std::string& problem)
{
    numbers.clear();
    words.clear();
    for (size_t i = 0; i < layout.size(); ++i) {
        const std::string what = layout[i];
        if (i + 1 >= t.size()) {
            problem = "the record ends where " + std::string(what == "#" ? "a number" : what == "*" ? "a name" : what) +
                      " was expected";
            return false;
        }
        const std::string& tok = t[i + 1];
        if (what == "#") {
            double v;
            if (!ParseNumber(tok, v)) {
                problem = "'" + tok + "' is not a number";
                return false;
            }
            numbers.push_back(v);
        } else if (what == "*") {
            words.push_back(tok);
        } else if (!SameWord(tok, layout[i])) {
            problem = "expected " + what + ", found '" + tok + "'";
            return false;
        }
    }
    if (t.size() > layout.size() + 1) {
        problem = "unexpected trailing '" + t[layout.size() + 1] + "'";
        return false;
    }
    return true;
}

}  // namespace

void ReadRcxWires(std::istream& in, RcxPattern& p, std::vector<std::string>& errors)
{
    std::string raw;
    int line = 0;
    std::vector<double> n;
    std::vector<std::string> w;
    std::string problem;
    while (std::getline(in, raw)) {
        ++line;
        std::vector<std::string> t = Tokens(raw);
        if (t.empty())
            continue;
        const std::string& head = t[0];
        auto fail = [&](const std::string& m) { errors.push_back(At(line, head + ": " + m)); };
        if (SameWord(head, "PATTERN")) {
            if (t.size() >= 2)
                p.name = t[1];
        } else if (SameWord(head, "GROUND_PLANE")) {
            if (!Match(t, {"*", "*", "HEIGHT", "#", "#", "THICKNESS", "#"}, n, w, problem)) {
                fail(problem);
                continue;
            }
            if (n[1] < n[0]) {
                fail("the top of the plane lies below its bottom");
                continue;
            }
            p.planes.push_back({w[1], n[0], n[1], line});
        } else if (SameWord(head, "DIELECTRIC")) {
            if (!Match(t, {"*", "HEIGHT", "#", "#", "EPSILON", "#"}, n, w, problem)) {
                fail(problem);
                continue;
            }
            if (!(n[1] > n[0]))
                fail("HEIGHT must rise: the band has no thickness");
            else if (!(n[2] > 0))
                fail("EPSILON must be > 0");
            else {
                p.bands.push_back({n[0], n[1], n[2]});
                p.band_lines.push_back(line);
            }
        } else if (SameWord(head, "WIRE")) {
            if (!Match(t, {"*", "*", "LL", "#", "#", "LR", "#", "#", "UR", "#", "#", "UL", "#", "#", "LENGTH", "#",
                           "VOLTAGE", "#"},
                       n, w, problem)) {
                fail(problem);
                continue;
            }
            // corners (x, z): LL n0 n1, LR n2 n3, UR n4 n5, UL n6 n7
            if (n[0] != n[6] || n[2] != n[4] || n[1] != n[3] || n[5] != n[7]) {
                fail("the cross-section is not a rectangle (a trapezoid cannot be split into boxes)");
                continue;
            }
            if (!(n[2] > n[0]) || !(n[5] > n[1])) {
                fail("the cross-section has no width or no thickness");
                continue;
            }
            if (!(n[8] > 0)) {
                fail("LENGTH must be > 0");
                continue;
            }
            p.wires.push_back({w[1], n[0], n[2], n[1], n[5], n[8], n[9], line});
        } else if (SameWord(head, "WINDOW_BBOX")) {
            if (!Match(t, {"LL", "#", "#", "UR", "#", "#", "LENGTH", "#"}, n, w, problem)) {
                fail(problem);
                continue;
            }
            std::copy(n.begin(), n.end(), p.window);
            p.have_window = true;
            p.window_line = line;
        } else if (SameWord(head, "SIM_WIN_EXT")) {
            if (!Match(t, {"LL", "#", "#", "UR", "#", "#", "LENGTH", "#", "#"}, n, w, problem)) {
                fail(problem);
                continue;
            }
            // LL and UR are added to the window's corners; LENGTH to its y ends.
            double order[6] = {n[0], n[1], n[2], n[3], n[4], n[5]};
            std::copy(order, order + 6, p.ext);
        } else {
            fail("unknown record");
        }
    }
}

void ReadRcxProcess(std::istream& in, std::vector<SceneBand>& bands, std::vector<std::string>& errors)
{
    std::string raw;
    int line = 0, block_line = 0;
    enum { NONE, CONDUCTOR, DIELECTRIC } block = NONE;
    double eps = 0, thickness = 0, height = 0;
    bool have_eps = false, have_thickness = false, have_height = false;
    double top = 0;
    auto finish = [&]() {
        if (block != DIELECTRIC)
            return;
        if (!have_eps || !(eps > 0))
            errors.push_back(At(block_line, "DIELECTRIC: epsilon is missing or not > 0"));
        else if (!have_thickness || !(thickness > 0))
            errors.push_back(At(block_line, "DIELECTRIC: thickness is missing or not > 0"));
        else {
            double z0 = have_height ? height : top;
            bands.push_back({z0, z0 + thickness, eps});
            top = z0 + thickness;
        }
    };
    while (std::getline(in, raw)) {
        ++line;
        std::vector<std::string> t = Tokens(raw);
        if (t.empty())
            continue;
        if (block == NONE) {
            if (SameWord(t[0], "CONDUCTOR") || SameWord(t[0], "DIELECTRIC")) {
                block = SameWord(t[0], "CONDUCTOR") ? CONDUCTOR : DIELECTRIC;
                block_line = line;
                have_eps = have_thickness = have_height = false;
                if (t.back() != "{")
                    errors.push_back(At(line, t[0] + ": expected '{' at the end of the line"));
            }
            // PROCESS wrappers, variation tables: nothing of the stack itself.
            continue;
        }
        if (t[0] == "}") {
            finish();
            block = NONE;
            continue;
        }
        if (block != DIELECTRIC)
            continue;  // the wires file carries the conductors' geometry
        const std::string& key = t[0];
        double v = 0;
        bool number = t.size() >= 2 && ParseNumber(t[1], v);
        static const char* const SHAPED[] = {"conformal", "trench", "bottom_thickness", "top_thickness",
                                             "left_thickness", "right_thickness", "slope", "bottom_ext"};
        bool shaped = false;
        for (const char* k : SHAPED)
            shaped = shaped || SameWord(key, k);
        if (shaped) {
            if (!number || v != 0)
                errors.push_back(At(line, "DIELECTRIC: " + key +
                                              " makes a conformal, trench or sidewall dielectric around the wires; "
                                              "the process file does not say where its thicknesses lie in a "
                                              "pattern, so only horizontal bands are read"));
            continue;
        }
        if (SameWord(key, "epsilon") || SameWord(key, "thickness") || SameWord(key, "height")) {
            if (!number) {
                errors.push_back(At(line, "DIELECTRIC: " + key + " needs a number"));
                continue;
            }
            if (SameWord(key, "epsilon"))
                eps = v, have_eps = true;
            else if (SameWord(key, "thickness"))
                thickness = v, have_thickness = true;
            else
                height = v, have_height = true;
        }
    }
    if (block != NONE)
        errors.push_back(At(block_line, "block without its closing '}'"));
}

void BuildPatternScene(const RcxPattern& p, const std::vector<SceneBand>* process_bands,
                       const ImportOptions& options, Scene& scene, std::vector<std::string>& errors)
{
    if (!p.have_window)
        errors.push_back(At(1, "no WINDOW_BBOX record: the pattern gives no window"));
    if (p.wires.empty())
        errors.push_back(At(1, "no WIRE record"));
    if (!errors.empty())
        return;
    Cuboid& w = scene.window;
    w = Cuboid(0, p.window[0] + p.ext[0], p.ext[4], p.window[1] + p.ext[1], p.window[2] + p.ext[2],
               p.window[4] + p.ext[5], p.window[3] + p.ext[3]);
    if (!(w.x0 < w.x1 && w.y0 < w.y1 && w.z0 < w.z1)) {
        errors.push_back(At(p.window_line, "WINDOW_BBOX: the window, with its extension, is empty"));
        return;
    }
    for (const RcxPlane& g : p.planes) {
        double z0 = g.z0, z1 = g.z1;
        if (z1 == z0) {
            z0 = z1 - 0.1;
            char note[160];
            snprintf(note, sizeof note, "ground plane %s has no thickness: modelled 0.1 um thick below z = %g",
                     g.name.c_str(), z1);
            scene.notes.push_back(note);
        }
        w.z0 = std::min(w.z0, z0);
        w.z1 = std::max(w.z1, z1);
    }
    for (const RcxWire& r : p.wires) {
        w.z1 = std::max(w.z1, r.z1);
        w.y1 = std::max(w.y1, r.length);
    }
    for (const RcxPlane& g : p.planes) {
        double z0 = g.z0 == g.z1 ? g.z1 - 0.1 : g.z0;
        scene.conductors.push_back({g.name, {Cuboid(0, w.x0, w.y0, z0, w.x1, w.y1, g.z1)}});
    }
    int masters = 0;
    for (const RcxWire& r : p.wires) {
        scene.conductors.push_back({r.name, {Cuboid(0, r.x0, 0, r.z0, r.x1, r.length, r.z1)}});
        if (options.master.empty() && r.voltage == 1) {
            scene.master = r.name;
            ++masters;
        }
    }
    if (!options.master.empty()) {
        for (const RcxWire& r : p.wires)
            if (r.name == options.master)
                scene.master = r.name;
        if (scene.master.empty())
            errors.push_back(At(1, "--master " + options.master + ": the pattern has no wire of this name"));
    } else if (masters != 1) {
        errors.push_back(At(1, masters == 0 ? "no wire is at VOLTAGE 1; choose the master with --master"
                                            : "several wires are at VOLTAGE 1; choose the master with --master"));
    }

    std::vector<SceneBand> bands = p.bands;
    if (!bands.empty() && process_bands)
        scene.notes.push_back("the wires file's DIELECTRIC records give the stack; the process file's is not used");
    if (bands.empty() && process_bands) {
        bands = *process_bands;
        scene.notes.push_back("the dielectric stack comes from the process file");
    }
    if (bands.empty()) {
        errors.push_back(At(1, "no DIELECTRIC record and no process file: the permittivities are not given"));
        return;
    }
    std::vector<size_t> order(bands.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return bands[a].z0 < bands[b].z0; });
    std::vector<SceneBand> sorted;
    for (size_t k = 0; k < order.size(); ++k) {
        const SceneBand& b = bands[order[k]];
        int line = bands.size() == p.band_lines.size() && !p.bands.empty() ? p.band_lines[order[k]] : 1;
        if (!sorted.empty() && b.z0 < sorted.back().z1) {
            if (b.diel != sorted.back().diel) {
                errors.push_back(At(line, "DIELECTRIC: overlaps the band below with another permittivity"));
                return;
            }
            sorted.back().z1 = std::max(sorted.back().z1, b.z1);
            continue;
        }
        if (!sorted.empty() && b.z0 > sorted.back().z1) {
            errors.push_back(At(line, "DIELECTRIC: a gap below this band has no permittivity"));
            return;
        }
        sorted.push_back(b);
    }
    if (sorted.front().z0 > w.z0 || sorted.back().z1 < w.z1)
        scene.notes.push_back("the lowest and highest dielectric bands are extended to the window");
    sorted.front().z0 = std::min(sorted.front().z0, w.z0);
    sorted.back().z1 = std::max(sorted.back().z1, w.z1);
    // Bands wholly outside the window would make faces the run never uses.
    std::vector<SceneBand> inside;
    for (SceneBand b : sorted) {
        b.z0 = std::max(b.z0, w.z0);
        b.z1 = std::min(b.z1, w.z1);
        if (b.z0 < b.z1)
            inside.push_back(b);
    }
    MergeBands(inside);
    scene.bands = inside;
}

namespace {

// Tokens of the first line that has any.
std::vector<std::string> FirstTokens(const std::string& head)
{
    std::istringstream in(head);
    std::string raw;
    while (std::getline(in, raw)) {
        std::vector<std::string> t = Tokens(raw);
        if (!t.empty())
            return t;
    }
    return {};
}

}  // namespace

bool LooksLikeRcxWires(const std::string& head)
{
    std::vector<std::string> t = FirstTokens(head);
    if (t.empty())
        return false;
    for (const char* k : {"PATTERN", "GROUND_PLANE", "WIRE", "WINDOW_BBOX", "SIM_WIN_EXT"})
        if (SameWord(t[0], k))
            return true;
    return SameWord(t[0], "DIELECTRIC") && t.size() > 2 && SameWord(t[2], "HEIGHT");
}

bool LooksLikeRcxProcess(const std::string& head)
{
    std::vector<std::string> t = FirstTokens(head);
    return !t.empty() && (SameWord(t[0], "CONDUCTOR") || SameWord(t[0], "DIELECTRIC") || SameWord(t[0], "PROCESS")) &&
           t.back() == "{";
}
