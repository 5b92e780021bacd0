#include "scene.h"

#include "outputfile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace {

const char* const DECK_KEYWORDS[] = {"vorn", "window", "medium", "conductor", "block",
                                     "basepoint", "name", "v1", "v2", "hvector",
                                     "tint", "diel", "task", "capacitance"};

bool IsKeyword(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    for (const char* k : DECK_KEYWORDS)
        if (lower == k)
            return true;
    return false;
}

bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == ':';
}

// Twelve significant digits: far finer than the walk's grid, and free of the
// binary noise that differences of coordinates carry (0.30000000000000004).
std::string Number(double v)
{
    char text[40];
    snprintf(text, sizeof text, "%.12g", v);
    return text;
}

// The deck has no signed literals: a minus is the unary operator.
std::string Vec(double x, double y, double z)
{
    return "(" + Number(x) + "," + Number(y) + "," + Number(z) + ")";
}

std::string Block(const std::string& name, const Cuboid& b)
{
    return "  <block> name " + name + " basepoint " + Vec(b.x0, b.y0, b.z0) + " v1 " +
           Vec(b.x1 - b.x0, 0, 0) + " v2 " + Vec(0, b.y1 - b.y0, 0) + " hvector " +
           Vec(0, 0, b.z1 - b.z0) + " [/block]\n";
}

}  // namespace

std::string DeckIdentifier(const std::string& name)
{
    std::string out;
    for (char c : name)
        out += IsNameChar(c) ? c : '_';
    if (out.empty() || (out[0] >= '0' && out[0] <= '9') || out[0] == ':')
        out = "n_" + out;
    if (IsKeyword(out))
        out += "_";
    return out;
}

void AssignDeckNames(Scene& scene)
{
    // Names that are already identifiers keep them; the others take what is left.
    std::set<std::string> taken;
    // The master is a conductor, not a name: when two share its name, the
    // first is the master, and a later namesake's new name must not take
    // its place.
    size_t master = scene.conductors.size();
    for (size_t i = 0; i < scene.conductors.size() && master == scene.conductors.size(); ++i)
        if (scene.conductors[i].name == scene.master)
            master = i;
    std::vector<bool> keeps(scene.conductors.size(), false);
    for (size_t i = 0; i < scene.conductors.size(); ++i) {
        const std::string& n = scene.conductors[i].name;
        keeps[i] = DeckIdentifier(n) == n && taken.insert(n).second;
    }
    for (size_t i = 0; i < scene.conductors.size(); ++i) {
        if (keeps[i])
            continue;
        SceneConductor& c = scene.conductors[i];
        std::string id = DeckIdentifier(c.name);
        std::string unique = id;
        for (int k = 2; taken.count(unique); ++k)
            unique = id + "_" + std::to_string(k);
        taken.insert(unique);
        scene.notes.push_back("conductor \"" + c.name + "\" is named " + unique + " in the deck");
        if (c.source.empty())
            c.source = c.name;
        c.name = unique;
    }
    if (master < scene.conductors.size())
        scene.master = scene.conductors[master].name;
}

std::string DeckText(const Scene& scene, const std::string& origin)
{
    std::ostringstream s;
    s << "// Converted from " << origin << " (lengths in um).\n";
    for (const std::string& note : scene.notes)
        s << "// " << note << "\n";
    for (const std::string& warning : scene.warnings)
        s << "// Warning: " << warning << "\n";
    const Cuboid& w = scene.window;
    s << "<vorn>\n<window> v1 " << Vec(w.x0, w.y0, w.z0) << " v2 " << Vec(w.x1, w.y1, w.z1)
      << " [/window]\n";
    for (size_t i = 0; i < scene.bands.size(); ++i) {
        const SceneBand& b = scene.bands[i];
        const std::string name = "band" + std::to_string(i + 1);
        s << "<medium> name " << name << "\n"
          << Block(name + "_b", Cuboid(0, w.x0, w.y0, b.z0, w.x1, w.y1, b.z1)) << "  diel "
          << Number(b.diel) << "\n[/medium]\n";
    }
    // After the bands and in their own order, which the deck keeps: a later
    // medium statement holds where bodies overlap. Neighbours of one record
    // and permittivity share a statement.
    for (size_t i = 0, k = 1; i < scene.bodies.size(); ++k) {
        const SceneBody& first = scene.bodies[i];
        std::string name = "body" + std::to_string(k);
        if (!first.name.empty())
            name += "_" + DeckIdentifier(first.name);
        s << "<medium> name " << name << "\n";
        size_t j = i;
        for (; j < scene.bodies.size() && scene.bodies[j].name == first.name && scene.bodies[j].diel == first.diel;
             ++j)
            s << Block(name + "_b" + std::to_string(j - i), scene.bodies[j].box);
        s << "  diel " << Number(first.diel) << "\n[/medium]\n";
        i = j;
    }
    for (const SceneConductor& c : scene.conductors) {
        s << "<conductor> name " << c.name << "\n";
        for (size_t i = 0; i < c.boxes.size(); ++i)
            s << Block(c.name + "_b" + std::to_string(i), c.boxes[i]);
        s << "[/conductor]\n";
    }
    s << "<task> <capacitance> " << scene.master << " [/capacitance] [/task]\n[/vorn]\n";
    return s.str();
}

bool WriteFileAtomic(const std::string& path, const std::string& text, std::string& error)
{
    return OutputFile::Write(path, text, error);
}

bool AddFilmBodies(Scene& scene, std::vector<FilmPiece> pieces, FilmPiece& spanning, size_t& made)
{
    const Cuboid& w = scene.window;
    std::vector<SceneBody> bodies;
    for (FilmPiece& p : pieces) {
        Cuboid& b = p.body.box;
        b = Cuboid(0, std::max(w.x0, b.x0), std::max(w.y0, b.y0), std::max(w.z0, b.z0), std::min(w.x1, b.x1),
                   std::min(w.y1, b.y1), std::min(w.z1, b.z1));
        if (b.x0 <= w.x0 && b.x1 >= w.x1 && b.y0 <= w.y0 && b.y1 >= w.y1 && b.z0 < b.z1) {
            spanning = p;
            return false;
        }
    }
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const FilmPiece& a, const FilmPiece& b) { return a.depth > b.depth; });
    made = 0;
    for (const FilmPiece& p : pieces) {
        const Cuboid& b = p.body.box;
        if (b.x0 < b.x1 && b.y0 < b.y1 && b.z0 < b.z1) {
            scene.bodies.push_back(p.body);
            ++made;
        }
    }
    return true;
}

void MergeBands(std::vector<SceneBand>& bands)
{
    std::sort(bands.begin(), bands.end(),
              [](const SceneBand& a, const SceneBand& b) { return a.z0 < b.z0; });
    std::vector<SceneBand> merged;
    for (const SceneBand& b : bands) {
        if (!merged.empty() && merged.back().z1 == b.z0 && merged.back().diel == b.diel)
            merged.back().z1 = b.z1;
        else
            merged.push_back(b);
    }
    bands = merged;
}

bool ParseNumber(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    size_t i = 0;
    if (text[i] == '+' || text[i] == '-')
        ++i;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        size_t exp_digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++exp_digits;
        if (exp_digits == 0)
            return false;
    }
    if (i != text.size())
        return false;
    double v = strtod(text.c_str(), nullptr);
    if (!std::isfinite(v))
        return false;
    value = v;
    return true;
}

bool SameWord(const std::string& text, const char* keyword)
{
    size_t n = strlen(keyword);
    if (text.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char a = text[i], b = keyword[i];
        if (a >= 'a' && a <= 'z')
            a = (char)(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z')
            b = (char)(b - 'a' + 'A');
        if (a != b)
            return false;
    }
    return true;
}
