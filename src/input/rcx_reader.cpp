#include "rcx_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
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

void ReadRcxProcess(std::istream& in, RcxProcess& process, std::vector<std::string>& errors)
{
    std::string raw;
    int line = 0, block_line = 0, conductors = 0;
    enum { NONE, CONDUCTOR, DIELECTRIC } block = NONE;
    std::string name;
    double eps = 0, thickness = 0, height = 0, met = 0, bottom_ext = 0, slope = 0;
    bool have_eps = false, have_thickness = false, have_height = false, conformal = false, trench = false;
    double top = 0;
    auto finish = [&]() {
        if (block != DIELECTRIC)
            return;
        const bool film = conformal || trench;
        const std::string head = "DIELECTRIC" + (name.empty() ? std::string() : " " + name) + ": ";
        auto refuse = [&](const std::string& m) { errors.push_back(At(block_line, head + m)); };
        if (!have_eps || !(eps > 0))
            return refuse("epsilon is missing or not > 0");
        if (!have_thickness || !(thickness > 0 || (film && thickness == 0)))
            return refuse(film ? "thickness is missing or negative" : "thickness is missing or not > 0");
        if (film) {
            // Each of these leaves the film's outline undefined or turned inside out.
            if (conformal && trench)
                return refuse("both conformal and trench: a dielectric is one or the other");
            if (met < 1 || met != (int)met)
                return refuse(std::string(conformal ? "conformal" : "trench") +
                              " but no level: 'met N' names the CONDUCTOR block (from 1) whose wires it wraps");
            if (bottom_ext < 0)
                return refuse("bottom_ext is negative");
            if (slope < 0)
                return refuse("slope is negative: sides that lean outward are not read");
            if (conformal && height < thickness)
                return refuse("height (the film's top over the wire, from where it starts on the field) is "
                              "below its thickness on the field");
            if (trench && !(height < 0))
                return refuse("a trench's height is its depth below the wire's top and must be < 0");
            process.films.push_back({name, trench, (int)met, eps, thickness, height, bottom_ext, slope, block_line});
        }
        // A film's height is its own, not where it lies in the stack.
        double z0 = have_height && !film ? height : top;
        if (thickness > 0)
            process.bands.push_back({z0, z0 + thickness, eps});
        top = z0 + thickness;
    };
    while (std::getline(in, raw)) {
        ++line;
        std::vector<std::string> t = Tokens(raw);
        if (t.empty())
            continue;
        if (block == NONE) {
            if (SameWord(t[0], "CONDUCTOR") || SameWord(t[0], "DIELECTRIC")) {
                block = SameWord(t[0], "CONDUCTOR") ? CONDUCTOR : DIELECTRIC;
                conductors += block == CONDUCTOR;
                block_line = line;
                name = t.size() > 2 ? t[1] : "";
                have_eps = have_thickness = have_height = conformal = trench = false;
                met = bottom_ext = slope = 0;
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
        // As in the format, the word alone makes the kind, whatever follows it.
        if (SameWord(key, "conformal") || SameWord(key, "trench")) {
            (SameWord(key, "trench") ? trench : conformal) = true;
            continue;
        }
        if (SameWord(key, "name") && t.size() >= 2 && name.empty()) {
            name = t[1];
            continue;
        }
        if (SameWord(key, "non_conformal_metal")) {
            conformal = trench = false;
            continue;
        }
        double v = 0;
        bool number = t.size() >= 2 && ParseNumber(t[1], v);
        static const char* const UNPLACED[] = {"bottom_thickness", "top_thickness", "left_thickness",
                                               "right_thickness"};
        bool unplaced = false;
        for (const char* k : UNPLACED)
            unplaced = unplaced || SameWord(key, k);
        if (unplaced) {
            if (!number || v != 0)
                errors.push_back(At(line, "DIELECTRIC: " + key +
                                              " is kept by the format but has no place in its outline of a "
                                              "film (thickness, height, bottom_ext and slope give it), so "
                                              "only 0 is read"));
            continue;
        }
        static const char* const NUMBERS[] = {"epsilon", "thickness", "height", "met", "bottom_ext", "slope"};
        bool known = false;
        for (const char* k : NUMBERS)
            known = known || SameWord(key, k);
        if (!known)
            continue;
        if (!number) {
            errors.push_back(At(line, "DIELECTRIC: " + key + " needs a number"));
            continue;
        }
        if (SameWord(key, "epsilon"))
            eps = v, have_eps = true;
        else if (SameWord(key, "thickness"))
            thickness = v, have_thickness = true;
        else if (SameWord(key, "height"))
            height = v, have_height = true;
        else if (SameWord(key, "met"))
            met = v;
        else if (SameWord(key, "bottom_ext"))
            bottom_ext = v;
        else
            slope = v;
    }
    if (block != NONE)
        errors.push_back(At(block_line, "block without its closing '}'"));
    // The format keeps three films a level and draws them either all
    // conformal or all trench.
    std::map<int, std::vector<const RcxFilm*>> by_level;
    for (const RcxFilm& f : process.films) {
        std::vector<const RcxFilm*>& level = by_level[f.level];
        const std::string head = "DIELECTRIC" + (f.name.empty() ? std::string() : " " + f.name) + ": ";
        if (f.level > conductors)
            errors.push_back(At(f.line, head + "met " + std::to_string(f.level) + " names no level: the file has " +
                                            std::to_string(conductors) + " CONDUCTOR blocks"));
        else if (level.size() == 3)
            errors.push_back(At(f.line, head + "a fourth film of level " + std::to_string(f.level) +
                                            ": the format keeps three a level"));
        else if (!level.empty() && level[0]->trench != f.trench)
            errors.push_back(At(f.line, head + "level " + std::to_string(f.level) + " has both conformal and " +
                                            "trench films (line " + std::to_string(level[0]->line) +
                                            "); the format draws one kind a level"));
        level.push_back(&f);
    }
}

namespace {

// The level a pattern's conductor stands for, from its name M<level>_w<n>;
// -1 when the name does not say.
int LevelOf(const std::string& name)
{
    size_t i = 1;
    if (name.size() < 4 || (name[0] != 'M' && name[0] != 'm'))
        return -1;
    int level = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9' && level < 100000)
        level = level * 10 + (name[i++] - '0');
    if (i == 1 || name.compare(i, 2, "_w") != 0 || i + 2 >= name.size())
        return -1;
    for (size_t k = i + 2; k < name.size(); ++k)
        if (name[k] < '0' || name[k] > '9')
            return -1;
    return level;
}

// Lays [z0, z1] of permittivity `eps` over the bands.
void OverlayBand(std::vector<SceneBand>& bands, double z0, double z1, double eps)
{
    z0 = std::max(z0, bands.front().z0);
    z1 = std::min(z1, bands.back().z1);
    if (!(z0 < z1))
        return;
    std::vector<SceneBand> out{{z0, z1, eps}};
    for (const SceneBand& b : bands) {
        if (b.z0 < z0)
            out.push_back({b.z0, std::min(b.z1, z0), b.diel});
        if (b.z1 > z1)
            out.push_back({std::max(b.z0, z1), b.z1, b.diel});
    }
    MergeBands(out);
    bands = out;
}

// Sloped sides become this many steps of boxes, each as wide as the film at
// its middle height, so each step keeps the film's cross-section area.
const int SIDE_STEPS = 4;

std::string Film(const RcxFilm& f)
{
    return (f.trench ? "the trench dielectric " : "the conformal dielectric ") +
           (f.name.empty() ? std::string() : f.name + " ") + "(process file line " + std::to_string(f.line) + ")";
}

void BuildFilms(const RcxPattern& p, const std::vector<RcxFilm>& films, Scene& scene,
                std::vector<std::string>& errors)
{
    std::map<int, std::vector<const RcxFilm*>> by_level;
    for (const RcxFilm& f : films)
        by_level[f.level].push_back(&f);
    std::vector<FilmPiece> pieces;
    bool stepped = false;
    for (const RcxWire& r : p.wires) {
        const int level = LevelOf(r.name);
        if (level < 0) {
            errors.push_back(At(r.line, "WIRE " + r.name + ": the process file's films wrap the wires of a level, "
                                        "and this name does not give one (M<level>_w<n>)"));
            continue;
        }
        double base = r.z0;  // where the next film starts on the field
        int depth = 0;
        for (const RcxFilm* f : by_level[level]) {
            ++depth;
            if (f->trench) {
                const double e = f->bottom_ext;
                pieces.push_back({{Cuboid(0, r.x0 - e, -e, r.z1 + f->height, r.x1 + e, r.length + e, r.z1), f->eps,
                                   f->name},
                                  depth, f->line, r.line});
                continue;
            }
            const double lo = base + f->thickness, hi = base + f->height;
            base += f->thickness;
            const double e0 = f->bottom_ext;
            const double e1 = e0 - (f->slope > 0 ? (f->height - f->thickness) / f->slope : f->bottom_ext);
            if (r.x1 - r.x0 + 2 * e1 < 0) {
                errors.push_back(At(r.line, "WIRE " + r.name + ": the sides of " + Film(*f) +
                                                " lean in so far that they cross below its top"));
                return;
            }
            // Sides that lean by less than the walks' grid resolves stand upright.
            const int steps = std::fabs(e0 - e1) < GRID_RESOLVED ? 1 : SIDE_STEPS;
            stepped = stepped || steps > 1;
            for (int k = 0; k < steps; ++k) {
                const double e = e0 + (e1 - e0) * (k + 0.5) / steps;
                pieces.push_back({{Cuboid(0, r.x0 - e, -e, lo + (hi - lo) * k / steps, r.x1 + e, r.length + e,
                                          lo + (hi - lo) * (k + 1) / steps),
                                   f->eps, f->name},
                                  depth, f->line, r.line});
            }
        }
    }
    // Around a ground plane, which spans the window, a conformal film is a
    // band from where it starts on the field to its height; the nearer film
    // is laid last and holds.
    for (const RcxPlane& g : p.planes) {
        const int level = LevelOf(g.name);
        if (level <= 0)
            continue;
        const std::vector<const RcxFilm*>& around = by_level[level];
        double base = g.z0;
        std::vector<std::pair<double, const RcxFilm*>> starts;
        for (const RcxFilm* f : around) {
            starts.push_back({base, f});
            base += f->thickness;
        }
        for (size_t i = starts.size(); i-- > 0;)
            if (!starts[i].second->trench)
                OverlayBand(scene.bands, starts[i].first, starts[i].first + starts[i].second->height,
                            starts[i].second->eps);
        if (!around.empty() && !around[0]->trench)
            scene.notes.push_back("ground plane " + g.name + " is a conductor of level " + std::to_string(level) +
                                  ": its conformal dielectrics are bands over it");
    }
    if (!errors.empty())
        return;
    FilmPiece spanning;
    size_t made = 0;
    if (!AddFilmBodies(scene, pieces, spanning, made)) {
        const RcxFilm* f = nullptr;
        for (const RcxFilm& g : films)
            if (g.line == spanning.line)
                f = &g;
        errors.push_back(At(spanning.wraps_line, Film(*f) + " around this wire covers the whole window in x and y, "
                                                            "so it would be a band between the bands"));
        return;
    }
    scene.notes.push_back("the process file's conformal and trench dielectrics became " + std::to_string(made) +
                          " dielectric boxes around the wires of their level" +
                          (stepped ? "; sloped sides are drawn as " + std::to_string(SIDE_STEPS) +
                                         " steps of boxes each"
                                   : std::string()));
}

}  // namespace

void BuildPatternScene(const RcxPattern& p, const RcxProcess* process, const ImportOptions& options, Scene& scene,
                       std::vector<std::string>& errors)
{
    const std::vector<SceneBand>* process_bands = process ? &process->bands : nullptr;
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
    if (process && !process->films.empty())
        BuildFilms(p, process->films, scene, errors);
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
