#include "pex25d_reader.h"

#include "polygon.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace {

struct Record {
    std::vector<std::string> tokens;
    int line = 0;
};

// '#' starts a comment outside double quotes; a trailing '\' continues the
// record on the next line; a quoted run is one token.
std::vector<Record> SplitRecords(std::istream& in)
{
    std::vector<Record> records;
    std::string raw;
    Record pending;
    bool continued = false;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        if (!continued)
            pending = Record{{}, number};
        bool quoted = false, has = false;
        std::string current;
        std::string text;
        for (char c : raw) {
            if (c == '"')
                quoted = !quoted;
            else if (c == '#' && !quoted)
                break;
            text += c;
        }
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
            text.pop_back();
        continued = !text.empty() && text.back() == '\\';
        if (continued)
            text.pop_back();
        quoted = false;
        for (char c : text) {
            if (c == '"') {
                quoted = !quoted;
                has = true;
            } else if ((c == ' ' || c == '\t' || c == '\r') && !quoted) {
                if (has)
                    pending.tokens.push_back(current);
                current.clear();
                has = false;
            } else {
                current += c;
                has = true;
            }
        }
        if (has)
            pending.tokens.push_back(current);
        if (!continued && !pending.tokens.empty())
            records.push_back(pending);
    }
    if (continued && !pending.tokens.empty())
        records.push_back(pending);
    return records;
}

struct Profile {
    int64_t zlo = 0, zhi = 0;
    int line = 0;
};

struct Via {
    std::string name, below, above;
    int line = 0;
};

struct Simple {
    std::string name, wraps, below, above;
    double eps = 0;
    int line = 0;
};

// A film around what it wraps: its solid holds the wrapped solid grown by
// `beside` sideways and by `over` on top.
struct Conformal {
    std::string name, wraps;
    double eps = 0;
    int64_t over = 0, beside = 0, field = 0;
    int line = 0;
};

// Where the netlist meets a conductor; its region matters to resistance
// only, so only its name and conductor are kept.
struct Terminal {
    std::string name, conductor;
    int line = 0;
};

// Record heads that are clauses of another record: such a line is almost
// always a lost '\' continuation, which skipping would turn into another
// scene.
const char* const CLAUSE_WORDS[] = {
    "WRAPS", "PERMITTIVITY", "BETWEEN", "CONNECTS", "Z_OFFSETS", "LAYER", "LL", "UR", "OUTER", "HOLE",
    "X", "Y", "Z", "SHEET", "PER_CUT", "TC1", "TC2", "KIND", "TEMPERATURE", "THICKNESS_OVER_WRAPPED",
    "THICKNESS_BESIDE_WRAPPED", "THICKNESS_ON_FIELD"};

struct Shape {
    std::string conductor, layer;
    std::vector<Ring> rings;  // a box is a ring of four corners
    int line = 0;
};

class Pex25dReader {
public:
    Pex25dReader(const ImportOptions& o, Scene& s, std::vector<std::string>& e)
        : options(o), scene(s), errors(e) {}

    void Read(std::istream& in)
    {
        std::vector<Record> records = SplitRecords(in);
        if (records.empty() || !SameWord(records[0].tokens[0], "PEX25D")) {
            Error(records.empty() ? 1 : records[0].line, "the file does not start with a PEX25D record");
            return;
        }
        for (const Record& r : records)
            ReadRecord(r);
        if (!errors.empty())
            return;
        Resolve();
    }

private:
    const ImportOptions& options;
    Scene& scene;
    std::vector<std::string>& errors;

    bool have_units = false;
    double unit_um = 1.0;  // micrometres per length unit
    double grid = 0.0;     // in length units
    bool have_ground = false;
    std::string ground_name;
    Profile ground;
    std::map<std::string, Profile> metals;
    std::vector<Via> vias;
    std::vector<Simple> simples;
    std::vector<Conformal> films;
    bool have_background = false;
    double background = 0.0;
    std::vector<std::pair<std::string, std::string>> conductors;  // shortname, net
    std::map<std::string, int> conductor_line;
    std::vector<Shape> shapes;
    std::vector<Terminal> terminals;
    bool have_margin = false, have_box = false;
    int64_t margin[3] = {0, 0, 0};
    int64_t domain[6] = {0, 0, 0, 0, 0, 0};
    int domain_line = 0;

    void Error(int line, const std::string& message)
    {
        errors.push_back("Line " + std::to_string(line) + " : " + message);
    }

    void Warn(int line, const std::string& message)
    {
        scene.warnings.push_back("Line " + std::to_string(line) + " : " + message);
    }

    // Cursor over one record's tokens; the first failure is reported once.
    struct Cursor {
        Pex25dReader& reader;
        const Record& record;
        size_t at = 1;
        bool failed = false;

        bool Done() const { return at >= record.tokens.size(); }
        const std::string& Head() const { return record.tokens[0]; }
        void Fail(const std::string& message)
        {
            if (!failed)
                reader.Error(record.line, Head() + ": " + message);
            failed = true;
        }
        std::string Take(const char* what)
        {
            if (failed)
                return "";
            if (Done()) {
                Fail(std::string("expected ") + what + ", but the record ends");
                return "";
            }
            return record.tokens[at++];
        }
        void Keyword(const char* keyword)
        {
            std::string t = Take(keyword);
            if (!failed && !SameWord(t, keyword))
                Fail(std::string("expected ") + keyword + ", found '" + t + "'");
        }
        bool PeekIs(const char* keyword) const { return !Done() && SameWord(record.tokens[at], keyword); }
        double Number(const char* what)
        {
            std::string t = Take(what);
            double v = 0;
            if (!failed && !ParseNumber(t, v))
                Fail(std::string(what) + ": '" + t + "' is not a number");
            return v;
        }
        int64_t Grid(const char* what)
        {
            if (!failed && !reader.have_units) {
                Fail("UNITS must come before any coordinate");
                return 0;
            }
            double v = Number(what);
            if (failed)
                return 0;
            double q = v / reader.grid;
            double r = std::nearbyint(q);
            if (std::fabs(q - r) > 1e-6 || std::fabs(r) > 9e15) {
                Fail(std::string(what) + ": " + record.tokens[at - 1] + " is not a multiple of the grid");
                return 0;
            }
            return (int64_t)r;
        }
        void End()
        {
            if (!failed && !Done())
                Fail("unexpected trailing '" + record.tokens[at] + "'");
        }
    };

    void ReadRecord(const Record& r)
    {
        Cursor c{*this, r};
        const std::string& head = r.tokens[0];
        if (SameWord(head, "PEX25D")) {
            std::string version = c.Take("a version");
            c.End();
            if (!c.failed && version.compare(0, 2, "1.") != 0)
                c.Fail("version " + version + " is not 1.x, the version this reader knows");
        } else if (SameWord(head, "UNITS")) {
            ReadUnits(c);
        } else if (SameWord(head, "META") || SameWord(head, "RESISTANCE")) {
            // Names and resistances: nothing a capacitance run uses.
        } else if (SameWord(head, "TERMINAL")) {
            ReadTerminal(r);
        } else if (SameWord(head, "GROUND_PLANE")) {
            std::string name = c.Take("a name");
            Profile p = ReadZ(c);
            if (!c.failed && have_ground)
                c.Fail("a second GROUND_PLANE; a scene has one");
            if (!c.failed) {
                have_ground = true;
                ground_name = name;
                ground = p;
            }
        } else if (SameWord(head, "METAL")) {
            std::string name = c.Take("a name");
            Profile p = ReadZ(c);
            if (!c.failed && (metals.count(name) || name == ground_name))
                c.Fail("'" + name + "' is declared twice");
            if (!c.failed)
                metals[name] = p;
        } else if (SameWord(head, "VIA")) {
            Via v;
            v.name = c.Take("a name");
            c.Keyword("CONNECTS");
            v.below = c.Take("the layer below");
            v.above = c.Take("the layer above");
            v.line = r.line;
            c.End();
            if (!c.failed)
                vias.push_back(v);
        } else if (SameWord(head, "DIELECTRIC_BACKGROUND")) {
            c.Take("a name");
            c.Keyword("PERMITTIVITY");
            double eps = c.Number("PERMITTIVITY");
            c.End();
            if (!c.failed && have_background)
                c.Fail("a second DIELECTRIC_BACKGROUND; a scene has one");
            if (!c.failed && !(eps > 0))
                c.Fail("PERMITTIVITY must be > 0");
            if (!c.failed) {
                have_background = true;
                background = eps;
            }
        } else if (SameWord(head, "DIELECTRIC_SIMPLE")) {
            Simple s;
            s.name = c.Take("a name");
            c.Keyword("WRAPS");
            s.wraps = c.Take("the wrapped profile");
            c.Keyword("PERMITTIVITY");
            s.eps = c.Number("PERMITTIVITY");
            c.Keyword("BETWEEN");
            s.below = c.Take("the profile below");
            s.above = c.Take("the profile above");
            s.line = r.line;
            c.End();
            if (!c.failed && !(s.eps > 0))
                c.Fail("PERMITTIVITY must be > 0");
            if (!c.failed)
                simples.push_back(s);
        } else if (SameWord(head, "DIELECTRIC_CONFORMAL")) {
            ReadConformal(c);
        } else if (head.size() > 11 && SameWord(head.substr(0, 11), "DIELECTRIC_")) {
            c.Fail("this dielectric kind is not a horizontal band and cannot be represented");
        } else if (SameWord(head, "CONDUCTOR")) {
            std::string name = c.Take("a shortname");
            std::string net = c.Take("a net name");
            c.End();
            if (!c.failed && conductor_line.count(name))
                c.Fail("conductor '" + name + "' is declared twice");
            if (!c.failed) {
                conductors.push_back({name, net});
                conductor_line[name] = r.line;
            }
        } else if (SameWord(head, "BOX")) {
            Shape s;
            c.Keyword("CONDUCTOR");
            s.conductor = c.Take("a conductor shortname");
            c.Keyword("LAYER");
            s.layer = c.Take("a layer name");
            c.Keyword("LL");
            int64_t x0 = c.Grid("LL x"), y0 = c.Grid("LL y");
            c.Keyword("UR");
            int64_t x1 = c.Grid("UR x"), y1 = c.Grid("UR y");
            c.End();
            if (!c.failed && !(x0 < x1 && y0 < y1))
                c.Fail("UR must lie above and to the right of LL");
            s.rings.push_back({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
            s.line = r.line;
            if (!c.failed)
                shapes.push_back(s);
        } else if (SameWord(head, "POLYGON")) {
            ReadPolygon(c);
        } else if (SameWord(head, "DOMAIN_MARGIN")) {
            const char* axes[3] = {"X", "Y", "Z"};
            for (int a = 0; a < 3; ++a) {
                c.Keyword(axes[a]);
                margin[a] = c.Grid(axes[a]);
                if (!c.failed && margin[a] < 0)
                    c.Fail(std::string("margin ") + axes[a] + " must not be negative");
            }
            c.End();
            have_margin = !c.failed;
            domain_line = r.line;
        } else if (SameWord(head, "DOMAIN_BOX")) {
            c.Keyword("LL");
            for (int a = 0; a < 3; ++a)
                domain[a] = c.Grid("LL coordinate");
            c.Keyword("UR");
            for (int a = 0; a < 3; ++a)
                domain[3 + a] = c.Grid("UR coordinate");
            c.End();
            if (!c.failed && !(domain[0] < domain[3] && domain[1] < domain[4] && domain[2] < domain[5]))
                c.Fail("UR must lie above LL on every axis");
            have_box = !c.failed;
            domain_line = r.line;
        } else if (SameWord(head, "INCLUDE")) {
            c.Fail("included files are not read; flatten the scene into one file first");
        } else if (std::any_of(std::begin(CLAUSE_WORDS), std::end(CLAUSE_WORDS),
                               [&head](const char* w) { return SameWord(head, w); })) {
            c.Fail("a clause of another record, not a record: a continuation '\\' was probably dropped");
        } else {
            // The format lets a reader skip the records it does not know.
            Warn(r.line, head + ": skipped, not a record this reader knows");
        }
    }

    // Only the pins' names reach the results, so a terminal this reader
    // cannot follow costs a warning, not the run.
    void ReadTerminal(const Record& r)
    {
        const std::vector<std::string>& t = r.tokens;
        if (t.size() < 4 || !SameWord(t[2], "CONDUCTOR")) {
            Warn(r.line, "TERMINAL: skipped, it does not start with a name and CONDUCTOR");
            return;
        }
        terminals.push_back({t[1], t[3], r.line});
    }

    void ReadConformal(Cursor& c)
    {
        Conformal f;
        f.name = c.Take("a name");
        c.Keyword("WRAPS");
        f.wraps = c.Take("the wrapped profile");
        c.Keyword("PERMITTIVITY");
        f.eps = c.Number("PERMITTIVITY");
        c.Keyword("THICKNESS_OVER_WRAPPED");
        f.over = c.Grid("THICKNESS_OVER_WRAPPED");
        c.Keyword("THICKNESS_BESIDE_WRAPPED");
        f.beside = c.Grid("THICKNESS_BESIDE_WRAPPED");
        c.Keyword("THICKNESS_ON_FIELD");
        f.field = c.Grid("THICKNESS_ON_FIELD");
        f.line = c.record.line;
        c.End();
        if (!c.failed && !(f.eps > 0))
            c.Fail(f.name + ": PERMITTIVITY must be > 0");
        if (!c.failed && (f.over < 0 || f.beside < 0 || f.field < 0))
            c.Fail(f.name + ": a thickness is negative");
        if (!c.failed && f.over == 0 && f.beside == 0 && f.field == 0)
            c.Fail(f.name + ": the film has no thickness (THICKNESS_OVER_WRAPPED, THICKNESS_BESIDE_WRAPPED "
                            "and THICKNESS_ON_FIELD are all 0)");
        if (!c.failed)
            films.push_back(f);
    }

    void ReadUnits(Cursor& c)
    {
        c.Keyword("LENGTH");
        std::string unit = c.Take("um, nm or m");
        if (!c.failed) {
            if (SameWord(unit, "um"))
                unit_um = 1.0;
            else if (SameWord(unit, "nm"))
                unit_um = 1e-3;
            else if (SameWord(unit, "m"))
                unit_um = 1e6;
            else
                c.Fail("'" + unit + "' is not um, nm or m");
        }
        c.Keyword("GRID");
        double g = c.Number("GRID");
        c.End();
        if (!c.failed && !(g > 0))
            c.Fail("GRID must be > 0");
        if (!c.failed && have_units)
            c.Fail("a second UNITS record");
        if (!c.failed) {
            grid = g;
            have_units = true;
        }
    }

    Profile ReadZ(Cursor& c)
    {
        Profile p;
        c.Keyword("Z_OFFSETS");
        p.zlo = c.Grid("zlow");
        p.zhi = c.Grid("zhigh");
        p.line = c.record.line;
        c.End();
        if (!c.failed && !(p.zlo < p.zhi))
            c.Fail("zhigh must be above zlow");
        return p;
    }

    void ReadPolygon(Cursor& c)
    {
        Shape s;
        s.line = c.record.line;
        c.Keyword("CONDUCTOR");
        s.conductor = c.Take("a conductor shortname");
        c.Keyword("LAYER");
        s.layer = c.Take("a layer name");
        c.Keyword("OUTER");
        while (!c.failed) {
            Ring ring;
            while (!c.failed && !c.Done() && !c.PeekIs("HOLE")) {
                int64_t x = c.Grid("x");
                int64_t y = c.Grid("y");
                ring.push_back({x, y});
            }
            if (c.failed)
                return;
            if (ring.size() < 3) {
                c.Fail("a ring needs at least three vertices");
                return;
            }
            if (!IsManhattan(ring)) {
                c.Fail("the polygon has an edge that is neither horizontal nor vertical; only "
                       "Manhattan polygons can be split into boxes");
                return;
            }
            s.rings.push_back(ring);
            if (c.Done())
                break;
            c.Keyword("HOLE");
        }
        shapes.push_back(s);
    }

    double Um(int64_t g) const { return (double)g * grid * unit_um; }

    // A length in micrometres as a message prints it.
    std::string Length(int64_t g) const
    {
        std::ostringstream out;
        out << Um(g);
        return out.str();
    }

    void Resolve()
    {
        if (!have_units)
            Error(1, "no UNITS record: the length unit and grid must be given");
        if (!have_ground)
            Error(1, "no GROUND_PLANE record");
        if (!have_background)
            Error(1, "no DIELECTRIC_BACKGROUND record: the permittivity must be given");
        if (!errors.empty())
            return;

        std::map<std::string, Profile> profiles = metals;
        profiles[ground_name] = ground;
        std::map<std::string, Profile> layers = metals;  // what shapes may sit on
        std::vector<Via> pending = vias;
        while (!pending.empty()) {
            std::vector<Via> left;
            for (const Via& v : pending) {
                auto b = profiles.find(v.below), a = profiles.find(v.above);
                if (b == profiles.end() || a == profiles.end()) {
                    left.push_back(v);
                    continue;
                }
                Profile p{b->second.zhi, a->second.zlo, v.line};
                if (!(p.zlo < p.zhi))
                    Error(v.line, "VIA " + v.name + ": '" + v.above + "' does not start above the top of '" +
                                      v.below + "', so the via has no height");
                if (profiles.count(v.name))
                    Error(v.line, "'" + v.name + "' is declared twice");
                profiles[v.name] = p;
                layers[v.name] = p;
            }
            if (left.size() == pending.size()) {
                for (const Via& v : left)
                    Error(v.line, "VIA " + v.name + " CONNECTS a layer that is not declared");
                break;
            }
            pending.swap(left);
        }
        if (!errors.empty())
            return;

        BuildConductors(layers);
        if (!errors.empty())
            return;
        BuildWindow();
        BuildBands(profiles);
        if (!errors.empty())
            return;
        CheckOverlaps();
    }

    // Conductor boxes with the line of the shape each came from.
    std::vector<std::pair<size_t, Cuboid>> boxes;  // conductor index, box
    std::vector<int> box_line;
    std::vector<std::string> box_layer;

    void BuildConductors(const std::map<std::string, Profile>& layers)
    {
        std::map<std::string, size_t> index;  // key -> scene conductor
        std::map<std::string, size_t> by_short;
        for (const auto& sn : conductors) {
            std::string key = "net " + sn.second;
            std::string name = sn.second;
            const bool floats = sn.second == "FLOATING";
            if (floats) {
                key = "floating " + sn.first;
                name = sn.first;
                if (options.floating_as_ground)
                    scene.notes.push_back("floating conductor " + sn.first + " is treated as a grounded conductor");
            }
            if (!index.count(key)) {
                index[key] = scene.conductors.size();
                scene.conductors.push_back(SceneConductor{name, {}});
                scene.conductors.back().floating = floats && !options.floating_as_ground;
            }
            by_short[sn.first] = index[key];
        }
        for (const Shape& s : shapes) {
            auto c = by_short.find(s.conductor);
            if (c == by_short.end()) {
                if (!conductor_line.count(s.conductor))
                    Error(s.line, "conductor '" + s.conductor + "' is not declared");
                continue;
            }
            auto layer = layers.find(s.layer);
            if (layer == layers.end()) {
                Error(s.line, "LAYER '" + s.layer + "' is not a METAL or VIA");
                continue;
            }
            for (const GridRect& r : DecomposeManhattan(s.rings)) {
                boxes.push_back({c->second, Cuboid(0, Um(r.x0), Um(r.y0), Um(layer->second.zlo), Um(r.x1),
                                                   Um(r.y1), Um(layer->second.zhi))});
                box_line.push_back(s.line);
                box_layer.push_back(s.layer);
            }
        }
        for (const auto& b : boxes)
            scene.conductors[b.first].boxes.push_back(b.second);
        // The exporter names pins "pin:NAME" and device terminals
        // "device:INSTANCE:TERMINAL"; a netlist knows them as NAME and
        // INSTANCE:TERMINAL.
        for (const Terminal& t : terminals) {
            auto c = by_short.find(t.conductor);
            if (c == by_short.end()) {
                Warn(t.line, "TERMINAL " + t.name + ": skipped, conductor '" + t.conductor + "' is not declared");
                continue;
            }
            std::string pin = t.name;
            for (const char* prefix : {"pin:", "device:"})
                if (pin.size() > strlen(prefix) && pin.compare(0, strlen(prefix), prefix) == 0) {
                    pin.erase(0, strlen(prefix));
                    break;
                }
            std::vector<std::string>& pins = scene.conductors[c->second].pins;
            if (std::find(pins.begin(), pins.end(), pin) == pins.end())
                pins.push_back(pin);
        }
        NoteSeparateBodies();
        // Declared conductors without shapes have nothing to extract.
        std::vector<SceneConductor> kept;
        std::vector<size_t> renumber(scene.conductors.size());
        for (size_t i = 0; i < scene.conductors.size(); ++i) {
            renumber[i] = kept.size();
            if (!scene.conductors[i].boxes.empty())
                kept.push_back(scene.conductors[i]);
        }
        for (auto& b : boxes)
            b.first = renumber[b.first];
        scene.conductors = kept;
        if (scene.conductors.empty()) {
            Error(1, "the scene has no conductor shapes");
            return;
        }
        scene.master = scene.conductors[0].name;
        if (!options.master.empty()) {
            const SceneConductor* found = nullptr;
            for (const SceneConductor& c : scene.conductors)
                if (c.name == options.master || (!found && DeckIdentifier(c.name) == options.master))
                    found = &c;
            if (!found && options.master != ground_name)
                Error(1, "--master " + options.master + ": no conductor of the scene has this net");
            else
                scene.master = found->name;
        }
    }

    // Shapes of one net are one conductor at one potential, even where the
    // scene draws them apart (the net joins them outside the window).
    void NoteSeparateBodies()
    {
        std::vector<size_t> parent(boxes.size());
        for (size_t i = 0; i < parent.size(); ++i)
            parent[i] = i;
        auto root = [&parent](size_t i) {
            while (parent[i] != i)
                i = parent[i] = parent[parent[i]];
            return i;
        };
        std::vector<size_t> order(boxes.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(),
                  [this](size_t a, size_t b) { return boxes[a].second.x0 < boxes[b].second.x0; });
        for (size_t i = 0; i < order.size(); ++i) {
            const Cuboid& p = boxes[order[i]].second;
            for (size_t j = i + 1; j < order.size() && boxes[order[j]].second.x0 <= p.x1; ++j) {
                const Cuboid& q = boxes[order[j]].second;
                if (boxes[order[i]].first != boxes[order[j]].first)
                    continue;
                // Shapes that meet face to face are one body; an edge or a
                // corner in common is not a connection.
                const double dx = std::min(p.x1, q.x1) - std::max(p.x0, q.x0);
                const double dy = std::min(p.y1, q.y1) - std::max(p.y0, q.y0);
                const double dz = std::min(p.z1, q.z1) - std::max(p.z0, q.z0);
                if (dx >= 0 && dy >= 0 && dz >= 0 && (dx > 0) + (dy > 0) + (dz > 0) >= 2)
                    parent[root(order[i])] = root(order[j]);
            }
        }
        std::vector<std::set<size_t>> bodies(scene.conductors.size());
        for (size_t i = 0; i < boxes.size(); ++i)
            bodies[boxes[i].first].insert(root(i));
        for (size_t c = 0; c < bodies.size(); ++c)
            if (bodies[c].size() > 1)
                scene.notes.push_back(scene.conductors[c].name + ": " + std::to_string(bodies[c].size()) +
                                      " separate bodies, extracted as one conductor at one potential");
    }

    void BuildWindow()
    {
        Cuboid bounds = boxes[0].second;
        for (const auto& b : boxes) {
            bounds.x0 = std::min(bounds.x0, b.second.x0);
            bounds.y0 = std::min(bounds.y0, b.second.y0);
            bounds.z0 = std::min(bounds.z0, b.second.z0);
            bounds.x1 = std::max(bounds.x1, b.second.x1);
            bounds.y1 = std::max(bounds.y1, b.second.y1);
            bounds.z1 = std::max(bounds.z1, b.second.z1);
        }
        // As the format says, a film that stays around its shapes (no field)
        // is part of the geometry the margin is measured from.
        for (const Conformal& f : films) {
            if (f.field > 0)
                continue;
            int64_t beside = 0, over = 0;
            std::string at = f.name;
            std::set<std::string> seen;
            const Conformal* link = &f;
            while (link && seen.insert(link->name).second) {
                beside += link->beside;
                over += link->over;
                at = link->wraps;
                link = nullptr;
                for (const Conformal& g : films)
                    if (g.name == at)
                        link = &g;
            }
            if (link)
                continue;  // a cycle, refused later
            for (size_t i = 0; i < boxes.size(); ++i) {
                if (box_layer[i] != at)
                    continue;
                const Cuboid& b = boxes[i].second;
                bounds.x0 = std::min(bounds.x0, b.x0 - Um(beside));
                bounds.y0 = std::min(bounds.y0, b.y0 - Um(beside));
                bounds.x1 = std::max(bounds.x1, b.x1 + Um(beside));
                bounds.y1 = std::max(bounds.y1, b.y1 + Um(beside));
                bounds.z1 = std::max(bounds.z1, b.z1 + Um(over));
            }
        }
        Cuboid& w = scene.window;
        const bool given = options.domain_margin >= 0;
        if (have_box && !given) {
            w = Cuboid(0, Um(domain[0]), Um(domain[1]), Um(domain[2]), Um(domain[3]), Um(domain[4]),
                       Um(domain[5]));
        } else {
            double m[3] = {Um(margin[0]), Um(margin[1]), Um(margin[2])};
            if (given || !have_margin) {
                // The boundary is held at 0 V like the ground plane. A wire's
                // field reaches sideways about as far as it stands above the
                // plane, so ten such heights leave little of it to the
                // boundary; walks out there take large steps and cost little.
                const double height = bounds.z1 - Um(ground.zhi);
                const double made = given ? options.domain_margin : 10 * (height > 0 ? height : 1.0);
                m[0] = m[1] = m[2] = made;
                std::ostringstream text;
                text << made;
                if (given && (have_box || have_margin))
                    scene.notes.push_back("--domain-margin replaces the scene's " +
                                          std::string(have_box ? "DOMAIN_BOX" : "DOMAIN_MARGIN") + " on line " +
                                          std::to_string(domain_line) + ": the window is the conductors' bounds and " +
                                          text.str() + " um more on every side");
                else
                    scene.notes.push_back("the scene has no DOMAIN_MARGIN or DOMAIN_BOX: the window is the "
                                          "conductors' bounds and " + text.str() + " um more on every side, " +
                                          (given ? "as --domain-margin says"
                                                 : "ten times the height of the highest conductor above the "
                                                   "ground plane (--domain-margin sets it)"));
            }
            w = Cuboid(0, bounds.x0 - m[0], bounds.y0 - m[1], Um(ground.zhi), bounds.x1 + m[0], bounds.y1 + m[1],
                       bounds.z1 + m[2]);
        }
        // The ground plane is the floor: a conductor under the whole window.
        w.z0 = std::min(w.z0, Um(ground.zlo));
        scene.conductors.push_back(SceneConductor{
            ground_name, {Cuboid(0, w.x0, w.y0, Um(ground.zlo), w.x1, w.y1, Um(ground.zhi))}});
        boxes.push_back({scene.conductors.size() - 1, scene.conductors.back().boxes[0]});
        box_line.push_back(ground.line);
        box_layer.push_back(ground_name);
        if (!options.master.empty() && options.master == ground_name)
            scene.master = ground_name;
    }

    struct Claim {
        int64_t z0, z1;
        int depth;
        double eps;
        int line;
    };

    // A dielectric's WRAPS chain down to a profile: its depth (1 when it
    // wraps a profile), the profile, and the films' thicknesses along the
    // way, each film measured from the surface of the one it wraps.
    struct Chain {
        int depth = 1;
        std::string root;
        int64_t over = 0, beside = 0;
        bool through_band = false;  // a band lies between it and its root
        std::vector<std::string> path;
        enum { OK, UNKNOWN, CYCLE } end = OK;
    };

    Chain Follow(const std::string& name, const std::map<std::string, Profile>& profiles,
                 const std::map<std::string, const Simple*>& simple_of,
                 const std::map<std::string, const Conformal*>& film_of) const
    {
        Chain c;
        std::string at = name;
        std::set<std::string> seen;
        for (;;) {
            c.path.push_back(at);
            if (!seen.insert(at).second) {
                c.end = Chain::CYCLE;
                return c;
            }
            std::string next;
            auto f = film_of.find(at);
            auto b = simple_of.find(at);
            if (f != film_of.end()) {
                c.over += f->second->over;
                c.beside += f->second->beside;
                next = f->second->wraps;
            } else if (b != simple_of.end()) {
                c.through_band = c.through_band || at != name;
                next = b->second->wraps;
            } else {
                c.end = Chain::UNKNOWN;
                return c;
            }
            if (profiles.count(next)) {
                c.root = next;
                c.path.push_back(next);
                return c;
            }
            at = next;
            ++c.depth;
        }
    }

    static std::string Joined(const std::vector<std::string>& path)
    {
        std::string text;
        for (const std::string& n : path)
            text += (text.empty() ? "" : " -> ") + n;
        return text;
    }

    // Each point of the window's height takes the band of smallest wrap depth
    // that claims it, the background where none does; a film around shapes
    // becomes boxes that hold over every band of larger depth.
    void BuildBands(const std::map<std::string, Profile>& profiles)
    {
        std::map<std::string, const Simple*> by_name;
        std::map<std::string, const Conformal*> film_of;
        for (const Simple& s : simples) {
            if (by_name.count(s.name) || profiles.count(s.name))
                Error(s.line, "'" + s.name + "' is declared twice");
            by_name[s.name] = &s;
        }
        for (const Conformal& f : films) {
            if (by_name.count(f.name) || film_of.count(f.name) || profiles.count(f.name))
                Error(f.line, "'" + f.name + "' is declared twice");
            film_of[f.name] = &f;
        }
        std::vector<Claim> claims;
        for (const Simple& s : simples) {
            const Chain chain = Follow(s.name, profiles, by_name, film_of);
            int depth = chain.end == Chain::OK ? chain.depth : -1;
            if (depth < 0)
                Error(s.line, "DIELECTRIC_SIMPLE " + s.name + " WRAPS '" + s.wraps +
                                  "', which is neither a declared profile nor a chain of bands ending in one");
            auto below = profiles.find(s.below), above = profiles.find(s.above);
            int64_t z0 = 0, z1 = 0;
            for (const std::string* n : {&s.below, &s.above}) {
                if (profiles.count(*n))
                    continue;
                auto d = by_name.find(*n);
                if (d == by_name.end() && !film_of.count(*n)) {
                    Error(s.line, "DIELECTRIC_SIMPLE " + s.name + " BETWEEN names '" + *n + "', which is not declared");
                    depth = -1;
                }
            }
            if (depth < 0)
                continue;
            if (below == profiles.end() || above == profiles.end()) {
                Error(s.line, "DIELECTRIC_SIMPLE " + s.name + " BETWEEN another band: only metals, vias and the ground "
                              "plane are read as band limits");
                continue;
            }
            z0 = below->second.zlo;
            z1 = above->second.zlo;
            if (z0 == z1) {
                // Stacks with two profiles at one height (a metal drawn on
                // two layers) write such a band; it fills nothing.
                scene.notes.push_back("DIELECTRIC_SIMPLE " + s.name + " fills nothing: '" + s.below + "' and '" +
                                      s.above + "' start at the same height");
                continue;
            }
            if (!(z0 < z1)) {
                Error(s.line, "DIELECTRIC_SIMPLE " + s.name + " has no height: '" + s.above +
                                  "' does not start above the bottom of '" + s.below + "'");
                continue;
            }
            claims.push_back({z0, z1, depth, s.eps, s.line});
        }
        struct Film {
            const Conformal* f;
            Chain chain;
        };
        std::vector<Film> around;
        for (const Conformal& f : films) {
            Chain chain = Follow(f.name, profiles, by_name, film_of);
            const std::string head = "DIELECTRIC_CONFORMAL " + f.name;
            if (chain.end == Chain::CYCLE)
                Error(f.line, head + ": the WRAPS chain " + Joined(chain.path) +
                                  " comes back to itself and never reaches a metal, via or ground plane");
            else if (chain.end == Chain::UNKNOWN)
                Error(f.line, head + " WRAPS '" + f.wraps + "', which is neither a declared profile nor a chain " +
                                  "of dielectrics ending in one");
            else if (chain.through_band)
                Error(f.line, head + ": the WRAPS chain " + Joined(chain.path) +
                                  " passes through a DIELECTRIC_SIMPLE band; only films around films are read");
            else if (chain.root == ground_name)
                // Around the ground plane, which spans the window, a film is
                // a band from the plane's bottom to its top and the film, and
                // there is no field beside it.
                claims.push_back({ground.zlo, ground.zhi + chain.over, chain.depth, f.eps, f.line});
            else {
                const Profile& root = profiles.at(chain.root);
                // On the field the film is a layer from the bottom of the
                // wrapped layer up. Over the footprints its boxes around the
                // shapes fill the same heights, so across the window the
                // whole of it is one band of the film's depth, as long as it
                // stays below the film's top over the shapes.
                if (f.field > root.zhi - root.zlo + chain.over)
                    Error(f.line, head + ": THICKNESS_ON_FIELD " + Length(f.field) +
                                      " reaches above the film's top over the shapes of " + chain.root + " (" +
                                      Length(root.zhi - root.zlo + chain.over) +
                                      " above their bottom), which is not read");
                else if (f.field > 0) {
                    claims.push_back({root.zlo, root.zlo + f.field, chain.depth, f.eps, f.line});
                    scene.notes.push_back("the conformal film " + f.name + " covers the field from z " +
                                          Length(root.zlo) + " to " + Length(root.zlo + f.field) +
                                          " um, a band outside its boxes");
                }
                if (chain.over > 0 || chain.beside > 0)
                    around.push_back({&f, chain});
            }
        }
        if (!errors.empty())
            return;
        const double wz0 = scene.window.z0, wz1 = scene.window.z1;
        std::vector<double> cuts{wz0, wz1};
        for (const Claim& c : claims)
            for (int64_t z : {c.z0, c.z1})
                if (Um(z) > wz0 && Um(z) < wz1)
                    cuts.push_back(Um(z));
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        std::vector<SceneBand> bands;
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            const double mid = 0.5 * (cuts[i] + cuts[i + 1]);
            const Claim* best = nullptr;
            for (const Claim& c : claims) {
                if (!(Um(c.z0) < mid && mid < Um(c.z1)))
                    continue;
                if (best && best->depth == c.depth && best->eps != c.eps) {
                    Error(c.line, "this band and the one on line " + std::to_string(best->line) +
                                      " claim the same height at the same wrap depth");
                    return;
                }
                if (!best || c.depth < best->depth)
                    best = &c;
            }
            bands.push_back({cuts[i], cuts[i + 1], best ? best->eps : background});
        }
        MergeBands(bands);
        scene.bands = bands;
        BuildFilms(around, claims);
    }

    // The format lets the smaller wrap depth hold, as AddFilmBodies does
    // among the films; each film also leaves out the heights where a band of
    // smaller depth holds.
    template <typename Film>
    void BuildFilms(const std::vector<Film>& around, const std::vector<Claim>& claims)
    {
        const Cuboid& w = scene.window;
        std::vector<FilmPiece> pieces;
        for (const Film& film : around) {
            const double grow = Um(film.chain.beside), over = Um(film.chain.over);
            for (size_t i = 0; i < boxes.size(); ++i) {
                if (box_layer[i] != film.chain.root)
                    continue;
                const Cuboid& b = boxes[i].second;
                Cuboid g(0, std::max(w.x0, b.x0 - grow), std::max(w.y0, b.y0 - grow), std::max(w.z0, b.z0),
                         std::min(w.x1, b.x1 + grow), std::min(w.y1, b.y1 + grow), std::min(w.z1, b.z1 + over));
                if (!(g.x0 < g.x1 && g.y0 < g.y1 && g.z0 < g.z1))
                    continue;
                // The heights where a band of smaller depth holds, cut out.
                std::vector<std::pair<double, double>> heights{{g.z0, g.z1}};
                for (const Claim& c : claims) {
                    if (c.depth >= film.chain.depth)
                        continue;
                    std::vector<std::pair<double, double>> left;
                    for (const auto& p : heights) {
                        if (p.first < Um(c.z0))
                            left.push_back({p.first, std::min(p.second, Um(c.z0))});
                        if (p.second > Um(c.z1))
                            left.push_back({std::max(p.first, Um(c.z1)), p.second});
                    }
                    heights.swap(left);
                }
                for (const auto& p : heights) {
                    Cuboid piece = g;
                    piece.z0 = p.first;
                    piece.z1 = p.second;
                    pieces.push_back({{piece, film.f->eps, film.f->name}, film.chain.depth, film.f->line, box_line[i]});
                }
            }
        }
        FilmPiece spanning;
        size_t made = 0;
        if (!AddFilmBodies(scene, pieces, spanning, made)) {
            Error(spanning.line, "DIELECTRIC_CONFORMAL " + spanning.body.name + " around the shape on line " +
                                     std::to_string(spanning.wraps_line) +
                                     " covers the whole window in x and y, so it would be a band "
                                     "between the bands; narrow the window or the film");
            return;
        }
        if (!films.empty())
            scene.notes.push_back("the conformal films became " + std::to_string(made) +
                                  " dielectric boxes around the shapes they wrap");
    }

    void CheckOverlaps()
    {
        std::vector<size_t> order(boxes.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(),
                  [this](size_t a, size_t b) { return boxes[a].second.x0 < boxes[b].second.x0; });
        std::set<std::pair<size_t, size_t>> reported;
        for (size_t i = 0; i < order.size(); ++i) {
            const auto& a = boxes[order[i]];
            for (size_t j = i + 1; j < order.size(); ++j) {
                const auto& b = boxes[order[j]];
                if (b.second.x0 >= a.second.x1)
                    break;
                if (a.first == b.first)
                    continue;
                const Cuboid &p = a.second, &q = b.second;
                if (q.y0 >= p.y1 || p.y0 >= q.y1 || q.z0 >= p.z1 || p.z0 >= q.z1)
                    continue;
                std::pair<size_t, size_t> pair(std::min(a.first, b.first), std::max(a.first, b.first));
                if (!reported.insert(pair).second)
                    continue;
                int la = box_line[order[i]], lb = box_line[order[j]];
                Error(std::max(la, lb), "this shape of " + scene.conductors[b.first].name + " overlaps a shape of " +
                                            scene.conductors[a.first].name + " (line " +
                                            std::to_string(std::min(la, lb)) +
                                            "): two conductors cannot share space");
            }
        }
    }
};

}  // namespace

void ReadPex25d(std::istream& in, const ImportOptions& options, Scene& scene,
                std::vector<std::string>& errors)
{
    Pex25dReader reader(options, scene, errors);
    reader.Read(in);
}

bool LooksLikePex25d(const std::string& head)
{
    std::istringstream in(head);
    std::vector<Record> records = SplitRecords(in);
    return !records.empty() && SameWord(records[0].tokens[0], "PEX25D");
}
