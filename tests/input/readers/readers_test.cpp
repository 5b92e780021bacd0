// Readers of scenes and calibration patterns: real-format snippets with
// their comment, case and whitespace variants, and one test per refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <set>
#include <sstream>

#include "import.h"
#include "parser.h"
#include "pex25d_reader.h"
#include "rcx_reader.h"
#include "testutil.h"

namespace {

const char* const SCENE =
    "# exported scene\n"
    "PEX25D 1.2-rc1\n"
    "UNITS LENGTH nm GRID 5   # 5 nm grid\n"
    "ground_plane subs Z_OFFSETS -200 0\n"
    "METAL m1 Z_OFFSETS 500 800\n"
    "METAL\tm2   Z_OFFSETS 1200 1500\n"
    "VIA v1 CONNECTS m1 m2\n"
    "DIELECTRIC_BACKGROUND air PERMITTIVITY 1.0\n"
    "DIELECTRIC_SIMPLE fox WRAPS subs PERMITTIVITY 3.9 \\\n"
    "    BETWEEN subs m1\n"
    "DIELECTRIC_SIMPLE ild WRAPS fox PERMITTIVITY 4.1 BETWEEN m1 m2\n"
    "CONDUCTOR A \"net a\"\n"
    "CONDUCTOR A2 \"net a\"\n"
    "CONDUCTOR B netb\n"
    "META source_cell x\n"
    "BOX CONDUCTOR A LAYER m1 LL 0 0 UR 1000 500\n"
    "box conductor A2 layer v1 ll 200 100 ur 400 300\n"
    "POLYGON CONDUCTOR B LAYER m1 OUTER 2000 0 3000 0 3000 1000 2500 1000 2500 400 2000 400\n"
    "DOMAIN_MARGIN X 1000 Y 2000 Z 500\n";

struct Read {
    Scene scene;
    std::vector<std::string> errors;
};

Read Scene(const std::string& text, ImportOptions options = ImportOptions())
{
    Read r;
    std::istringstream in(text);
    ReadPex25d(in, options, r.scene, r.errors);
    return r;
}

const SceneConductor* Find(const ::Scene& s, const std::string& name)
{
    for (const SceneConductor& c : s.conductors)
        if (c.name == name)
            return &c;
    return nullptr;
}

// `text` with `from` replaced by `to` (appended when `from` is empty).
std::string Edited(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = from.empty() ? text.size() : text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The first error says `message` about line `line`.
void ExpectRefused(const Read& r, const std::string& message, int line)
{
    ASSERT_FALSE(r.errors.empty()) << message;
    EXPECT_NE(r.errors[0].find(message), std::string::npos) << r.errors[0];
    EXPECT_EQ(r.errors[0].rfind("Line " + std::to_string(line) + " : ", 0), 0u) << r.errors[0];
}

TEST(Pex25d, ReadsThePlanarSubset)
{
    Read r = Scene(SCENE);
    ASSERT_TRUE(r.errors.empty()) << r.errors[0];
    const ::Scene& s = r.scene;
    EXPECT_EQ(s.master, "net a");  // the first net unless --master says otherwise
    const SceneConductor* a = Find(s, "net a");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->boxes.size(), 2u);  // two shortnames of one net are one conductor
    const SceneConductor* b = Find(s, "netb");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->boxes.size(), 2u);  // the L polygon
    const SceneConductor* g = Find(s, "subs");
    ASSERT_TRUE(g);
    ASSERT_EQ(s.bands.size(), 3u);
    const struct {
        double got, want;
        const char* what;
    } values[] = {
        // The via spans from the top of m1 to the bottom of m2.
        {a->boxes[1].z0, 0.8, "via bottom"}, {a->boxes[1].z1, 1.2, "via top"},
        // The window: shapes' bounds plus the margin, the ground plane as its floor.
        {s.window.x0, -1.0, "window x0"}, {s.window.x1, 4.0, "window x1"}, {s.window.y1, 3.0, "window y1"},
        {s.window.z0, -0.2, "window z0"}, {s.window.z1, 1.7, "window z1: no m2 shapes, the via's top and margin"},
        {g->boxes[0].x0, s.window.x0, "plane x0"}, {g->boxes[0].z1, 0.0, "plane top"},
        // Bands: fox from the ground plane's bottom to m1's bottom, ild from
        // m1's bottom to m2's, the background above.
        {s.bands[0].z1, 0.5, "fox top"}, {s.bands[0].diel, 3.9, "fox"}, {s.bands[1].diel, 4.1, "ild"},
        {s.bands[1].z1, 1.2, "ild top"}, {s.bands[2].diel, 1.0, "air"}, {s.bands[2].z1, s.window.z1, "air top"},
    };
    for (const auto& v : values)
        EXPECT_DOUBLE_EQ(v.got, v.want) << v.what;
}

TEST(Pex25d, RefusesWhatCannotBeRepresented)
{
    struct Case {
        std::string from, to;  // replacement in SCENE ("" from: appended)
        std::string message;
        int line;
    } cases[] = {
        {"", "DIELECTRIC_CONFORMAL c WRAPS m1 PERMITTIVITY 7 THICKNESS_OVER_WRAPPED 10 "
             "THICKNESS_BESIDE_WRAPPED 10 THICKNESS_ON_FIELD 400\n", "c: THICKNESS_ON_FIELD 0.4 reaches above", 20},
        {"", "DIELECTRIC_CONFORMAL c WRAPS m1 PERMITTIVITY 7 THICKNESS_OVER_WRAPPED 0 "
             "THICKNESS_BESIDE_WRAPPED 0 THICKNESS_ON_FIELD 0\n",
         "DIELECTRIC_CONFORMAL: c: the film has no thickness", 20},
        {"", "DIELECTRIC_CONFORMAL c WRAPS m1 PERMITTIVITY 7 THICKNESS_OVER_WRAPPED 10 "
             "THICKNESS_BESIDE_WRAPPED -5 THICKNESS_ON_FIELD 0\n", "c: a thickness is negative", 20},
        {"", "DIELECTRIC_CONFORMAL c WRAPS d PERMITTIVITY 7 THICKNESS_OVER_WRAPPED 10 THICKNESS_BESIDE_WRAPPED 10 "
             "THICKNESS_ON_FIELD 0\nDIELECTRIC_CONFORMAL d WRAPS c PERMITTIVITY 5 THICKNESS_OVER_WRAPPED 10 "
             "THICKNESS_BESIDE_WRAPPED 10 THICKNESS_ON_FIELD 0\n", "the WRAPS chain c -> d -> c comes back", 20},
        {"", "DIELECTRIC_SIDEWALL s WRAPS m1 PERMITTIVITY 7\n", "not a horizontal band", 20},
        {"", "POLYGON CONDUCTOR B LAYER m2 OUTER 0 0 1000 0 500 500\n", "neither horizontal nor vertical", 20},
        {"", "BOX CONDUCTOR B LAYER m1 LL 900 400 UR 1500 600\n", "overlaps a shape of net a", 20},
        {"UNITS LENGTH nm GRID 5   # 5 nm grid\n", "", "UNITS must come before", 3},
        {"GRID 5 ", "GRID 0 ", "GRID must be > 0", 3},
        {"UNITS LENGTH nm", "UNITS LENGTH mil", "not um, nm or m", 3},
        {"air PERMITTIVITY 1.0", "air PERMITTIVITY 0", "PERMITTIVITY must be > 0", 8},
        {"WRAPS fox PERMITTIVITY 4.1", "WRAPS fox PERMITTIVITY -4.1", "PERMITTIVITY must be > 0", 11},
        {"DIELECTRIC_BACKGROUND air PERMITTIVITY 1.0\n", "", "no DIELECTRIC_BACKGROUND", 1},
        {"m1 Z_OFFSETS 500 800", "m1 Z_OFFSETS 800 800", "zhigh must be above zlow", 5},
        {"m1 Z_OFFSETS 500 800", "m1 Z_OFFSETS 500", "expected zhigh", 5},
        {"m2   Z_OFFSETS 1200 1500", "m2 Z_OFFSETS 800 1500", "no height", 7},
        {"UR 1000 500", "UR 1002 500", "not a multiple of the grid", 16},
        {"", "LL 0 0 UR 5 5\n", "LL: a clause of another record, not a record: a continuation", 20},
        {"", "INCLUDE more.pex25d\n", "flatten", 20},
        {"layer v1", "layer subs", "not a METAL or VIA", 17},
    };
    for (const Case& c : cases)
        ExpectRefused(Scene(Edited(SCENE, c.from, c.to)), c.message, c.line);
}

// Films become boxes around every shape of the metal they wrap, the outer
// film (larger wrap depth) first, so that the deck's later-wins rule lets
// the film nearer its conductor hold, as the format does.
TEST(Pex25d, ConformalFilmsBecomeBoxesAroundTheShapesTheyWrap)
{
    const std::string films = "DIELECTRIC_CONFORMAL lint WRAPS m1 PERMITTIVITY 7.3 THICKNESS_OVER_WRAPPED 100 \\\n"
                              "    THICKNESS_BESIDE_WRAPPED 50 THICKNESS_ON_FIELD 0\n"
                              "DIELECTRIC_CONFORMAL cap WRAPS lint PERMITTIVITY 5 THICKNESS_OVER_WRAPPED 50 \\\n"
                              "    THICKNESS_BESIDE_WRAPPED 0 THICKNESS_ON_FIELD 0\n";
    Read r = Scene(Edited(SCENE, "WRAPS fox PERMITTIVITY 4.1", "WRAPS cap PERMITTIVITY 4.1") + films);
    ASSERT_TRUE(r.errors.empty()) << r.errors[0];
    const std::vector<SceneBody>& b = r.scene.bodies;
    ASSERT_EQ(b.size(), 6u);  // three m1 boxes (A and the two of B's L) per film
    for (size_t i = 0; i < b.size(); ++i)
        EXPECT_EQ(b[i].name, i < 3 ? "cap" : "lint") << i;
    // Around A (0..1 x 0..0.5 on m1, z 0.5..0.8): lint 50 nm beside and 100 nm
    // over; cap is measured from lint's surface, so the offsets add up.
    auto corners = [](const Cuboid& c) {
        std::vector<double> v{c.x0, c.y0, c.z0, c.x1, c.y1, c.z1};
        for (double& x : v)
            x = std::round(x * 1e9) / 1e9;
        return v;
    };
    EXPECT_EQ(corners(b[3].box), (std::vector<double>{-0.05, -0.05, 0.5, 1.05, 0.55, 0.9}));
    EXPECT_EQ(corners(b[0].box), (std::vector<double>{-0.05, -0.05, 0.5, 1.05, 0.55, 0.95}));
    // The margin is measured from the films, as the format says.
    EXPECT_DOUBLE_EQ(r.scene.window.x0, -1.05);
    ASSERT_FALSE(r.scene.notes.empty());
    EXPECT_EQ(r.scene.notes.back(), "the conformal films became 6 dielectric boxes around the shapes they wrap");
    // The deck written from the scene parses back into its boxes, with names
    // the deck grammar accepts, its bands, and the films as bodies in order.
    AssignDeckNames(r.scene);
    EXPECT_EQ(r.scene.master, "net_a");
    DeckLists lists;
    ASSERT_EQ(LoadDeckText(DeckText(r.scene, "scene"), lists), 0);
    ASSERT_EQ(lists.names.size(), r.scene.conductors.size());
    EXPECT_EQ(lists.names[0], "net_a");
    size_t boxes = 0;
    for (const SceneConductor& c : r.scene.conductors)
        boxes += c.boxes.size();
    ASSERT_EQ(lists.cuboids.size(), boxes);
    EXPECT_NEAR(lists.cuboids[1]->z0, 0.8, 1e-12);  // the via
    EXPECT_NEAR(lists.cuboids[1]->x1, 0.4, 1e-12);
    ASSERT_EQ(lists.bodies.size(), b.size());
    for (size_t i = 0; i < b.size(); ++i)
        EXPECT_EQ(lists.bodies[i]->diel, b[i].diel) << i;
    ASSERT_EQ(lists.bands.size(), r.scene.bands.size());
    EXPECT_DOUBLE_EQ(lists.bands[1]->diel, 4.1);
}

// Films on the field against the format's rule, point by point: the
// dielectric of smallest wrap depth whose solid holds the point.
TEST(Pex25d, FilmsOnTheFieldHoldWhereTheFormatSays)
{
    const std::string films = "DIELECTRIC_CONFORMAL lint WRAPS m1 PERMITTIVITY 7.3 THICKNESS_OVER_WRAPPED 100 "
                              "THICKNESS_BESIDE_WRAPPED 50 THICKNESS_ON_FIELD 100\n"
                              "DIELECTRIC_CONFORMAL cap WRAPS lint PERMITTIVITY 5 THICKNESS_OVER_WRAPPED 50 "
                              "THICKNESS_BESIDE_WRAPPED 50 THICKNESS_ON_FIELD 200\n"
                              "METAL m1b Z_OFFSETS 500 800\nDIELECTRIC_SIMPLE gap WRAPS m1 PERMITTIVITY 9 BETWEEN m1 m1b\n";
    Read r = Scene(Edited(SCENE, "WRAPS fox PERMITTIVITY 4.1", "WRAPS cap PERMITTIVITY 4.1") + films);
    ASSERT_TRUE(r.errors.empty()) << r.errors[0];
    const Cuboid a = Find(r.scene, "net a")->boxes[0];  // the m1 wire near which the points lie
    auto in = [](const Cuboid& b, double x, double y, double z, double grow, double over) {
        return x > b.x0 - grow && x < b.x1 + grow && y > b.y0 - grow && y < b.y1 + grow && z > b.z0 && z < b.z1 + over;
    };
    auto film = [&](double x, double y, double z, double grow, double over, double field) {  // its solid
        return in(a, x, y, z, grow, over) || (!in(a, x, y, 0.6, grow, 0) && z > 0.5 && z < 0.5 + field);
    };
    std::mt19937 random(7);
    std::uniform_real_distribution<double> ux(-0.4, 1.4), uy(-0.4, 0.7), uz(0.0, 1.3);
    int mismatched = 0;
    for (int i = 0; i < 20000; ++i) {
        const double x = ux(random), y = uy(random), z = uz(random);
        if (in(a, x, y, z, 0, 0) || in(Find(r.scene, "net a")->boxes[1], x, y, z, 0, 0))
            continue;
        const double want = z < 0.5 ? 3.9 : film(x, y, z, 0.05, 0.1, 0.1) ? 7.3 : film(x, y, z, 0.1, 0.15, 0.2) ? 5 : z < 1.2 ? 4.1 : 1;
        double got = -1;
        for (const SceneBand& b : r.scene.bands)
            got = z > b.z0 && z < b.z1 ? b.diel : got;
        for (const SceneBody& b : r.scene.bodies)
            got = in(b.box, x, y, z, 0, 0) ? b.diel : got;
        if (got != want && ++mismatched <= 3)
            ADD_FAILURE() << x << " " << y << " " << z << ": " << got << " instead of " << want;
    }
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(r.scene.notes[0], "DIELECTRIC_SIMPLE gap fills nothing: 'm1' and 'm1b' start at the same height");
}

TEST(Pex25d, FloatingAsGroundMakesOneConductorEach)
{
    std::string text = std::string(SCENE) + "CONDUCTOR F FLOATING\nCONDUCTOR G FLOATING\n"
                                            "BOX CONDUCTOR F LAYER m2 LL 0 0 UR 500 500\n"
                                            "BOX CONDUCTOR G LAYER m2 LL 0 1000 UR 500 1500\n";
    for (bool grounded : {true, false}) {
        ImportOptions options;
        options.floating_as_ground = grounded;
        options.master = "net_a";  // the name the run reports may be given as well
        Read r = Scene(text, options);
        ASSERT_TRUE(r.errors.empty()) << r.errors[0];
        ASSERT_TRUE(Find(r.scene, "F") && Find(r.scene, "G"));
        EXPECT_EQ(Find(r.scene, "F")->floating, !grounded);
        EXPECT_EQ(r.scene.master, "net a");
        EXPECT_EQ(!r.scene.notes.empty() && r.scene.notes[0].find("floating conductor F is treated as a grounded "
                                                                  "conductor") != std::string::npos, grounded);
    }
}

// What scenes hold that a deck cannot say, or that a capacitance run does
// not use, is read with a note or a warning.
TEST(Pex25d, ScenesAsTheExporterWritesThem)
{
    const std::string DOMAIN = "DOMAIN_MARGIN X 1000 Y 2000 Z 500\n";
    struct Case {
        std::string from, to;  // replacement in SCENE ("" from: appended)
        double margin;         // --domain-margin, or -1
        std::string note, warning;
        double made;           // the margin made on every side, or 0
    } cases[] = {
        // Without a DOMAIN record: ten times the via's top (1.2 um) above the plane.
        {DOMAIN, "", -1, "no DOMAIN_MARGIN or DOMAIN_BOX: the window is the conductors' bounds and 12 um", "", 12},
        {DOMAIN, "", 0.5, "and 0.5 um more on every side, as --domain-margin", "", 0.5},
        {"", "", 3, "--domain-margin replaces the scene's DOMAIN_MARGIN on line 19", "", 3},
        {"", "METAL m1b Z_OFFSETS 500 800\nDIELECTRIC_SIMPLE gap WRAPS m1 PERMITTIVITY 9 BETWEEN m1 m1b\n", -1,
         "DIELECTRIC_SIMPLE gap fills nothing", "", 0},
        {"META source_cell x", "SOMETHING else", -1, "", "Line 15 : SOMETHING: skipped", 0},
        // A box of B far off its L polygon; A's via stands on A's wire.
        {"", "BOX CONDUCTOR B LAYER m2 LL 0 2000 UR 500 2500\n", -1, "netb: 2 separate bodies, extracted as one", "", 0},
    };
    auto has = [](const std::vector<std::string>& lines, const std::string& what) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(what) != l.npos; });
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to + c.note + c.warning);
        ImportOptions options;
        options.domain_margin = c.margin;
        Read r = Scene(Edited(SCENE, c.from, c.to), options);
        ASSERT_TRUE(r.errors.empty()) << r.errors[0];
        EXPECT_TRUE(c.note.empty() ? !has(r.scene.notes, "window") : has(r.scene.notes, c.note));
        EXPECT_EQ(has(r.scene.notes, "separate bodies"), c.note.find("separate") != std::string::npos);
        EXPECT_TRUE(c.warning.empty() ? r.scene.warnings.empty() : has(r.scene.warnings, c.warning));
        const Cuboid& w = r.scene.window;  // shapes span x 0..3, y 0..1, z to 1.2; the plane is the floor
        for (double side : {-w.x0, w.x1 - 3, w.y1 - 1, w.z1 - 1.2})
            EXPECT_NEAR(side, c.made ? c.made : side, 1e-12);
        EXPECT_DOUBLE_EQ(w.z0, -0.2);
    }
    // Terminals name the pins of their conductor's net as a netlist does.
    Read r = Scene(std::string(SCENE) + "TERMINAL pin:IN CONDUCTOR A2 LAYER v1 KIND PIN LL 0 0 UR 5 5\n"
                                        "TERMINAL device:M1:G CONDUCTOR A LAYER m1 KIND DEVICE_TERMINAL LL 0 0 UR 5 5\n"
                                        "TERMINAL out CONDUCTOR B LAYER m1 LL 2000 0 UR 2005 5\n");
    ASSERT_TRUE(r.errors.empty()) << r.errors[0];
    EXPECT_EQ(Find(r.scene, "net a")->pins, (std::vector<std::string>{"IN", "M1:G"}));
    EXPECT_EQ(Find(r.scene, "netb")->pins, (std::vector<std::string>{"out"}));
}

TEST(DeckNames, InvalidAndRepeatedNamesBecomeDistinctIdentifiers)
{
    EXPECT_EQ(DeckIdentifier("VDD!"), "VDD_");
    EXPECT_EQ(DeckIdentifier("3net"), "n_3net");
    EXPECT_EQ(DeckIdentifier("Block"), "Block_");
    EXPECT_EQ(DeckIdentifier("a:b_2"), "a:b_2");
}

// An imported scene: a valid name keeps itself even against an earlier
// conductor whose name becomes it, the first of two equal names keeps it,
// two shortnames of one net are one conductor, and --master names the net
// exactly before it names it by identifier, then follows the renaming.
TEST(DeckNames, TheSceneDecidesWhichConductorKeepsItsName)
{
    TempDir dir;
    std::string scene = "PEX25D 1.0\nUNITS LENGTH um GRID 0.005\nGROUND_PLANE subs Z_OFFSETS -0.2 0.0\n"
                        "METAL m1 Z_OFFSETS 0.5 0.8\nDIELECTRIC_BACKGROUND air PERMITTIVITY 3.9\n"
                        "CONDUCTOR f FLOATING\nCONDUCTOR a \"net-a\"\nCONDUCTOR b net_a\n"
                        "CONDUCTOR c \"net-a\"\nCONDUCTOR g f\nDOMAIN_MARGIN X 1.0 Y 1.0 Z 1.0\n";
    const std::string shortnames = "fabcg";  // each one's box at its own y
    for (size_t y = 0; y < shortnames.size(); y++)
        scene += "BOX CONDUCTOR " + shortnames.substr(y, 1) + " LAYER m1 LL 0 " + std::to_string(y) + " UR 1 " +
                 std::to_string(y) + ".4\n";
    const std::string path = dir.Write("names.pex25d", scene);
    const struct {
        std::string option, master;
    } rows[] = {{"net_a", "net_a"}, {"net-a", "net_a_2"}, {"", "f"}};  // "": the first conductor
    for (const auto& row : rows) {
        ImportSettings settings;
        settings.options.floating_as_ground = true;
        settings.options.master = row.option;
        ImportedInput in;
        ASSERT_EQ(ImportInput(path, settings, in), 0) << row.option;
        DeckLists lists;
        ASSERT_EQ(LoadDeckText(in.deck_text, lists), 0) << in.deck_text;
        EXPECT_EQ(lists.names[0], row.master) << row.option;
        std::multiset<std::string> at_y;  // "name@y" of every wire
        for (const Cuboid* c : lists.cuboids)
            if (c->z0 > 0)
                at_y.insert(lists.names[c->id] + "@" + std::to_string((int)c->y0));
        EXPECT_EQ(at_y, (std::multiset<std::string>{"f@0", "net_a_2@1", "net_a@2", "net_a_2@3", "f_2@4"}))
            << row.option;
    }
}

const char* const WIRES =
    "PATTERN Over/M1oM0/W0.2_W0.2/S0.2_S0.2\n"
    "\n"
    "GROUND_PLANE 0 M0_w0  HEIGHT -0.1 0.0  THICKNESS 0.1\n"
    "dielectric oxide HEIGHT  0.000  0.900   EPSILON  3.900\n"
    "DIELECTRIC top HEIGHT  0.900  2.000   EPSILON  3.900  # same permittivity: one band\n"
    "WIRE 1 M1_w1  LL -0.500  0.400  LR -0.300  0.400  UR -0.300  0.700  UL -0.500  0.700   LENGTH 10.000   VOLTAGE 0\n"
    "WIRE 2 M1_w2  LL -0.100  0.400  LR  0.100  0.400  UR  0.100  0.700  UL -0.100  0.700   LENGTH 10.000   VOLTAGE 1\n"
    "\tWIRE 3 M1_w3  LL  0.300  0.400  LR  0.500  0.400  UR  0.500  0.700  UL  0.300  0.700   LENGTH 10.000   VOLTAGE 0\n"
    "WINDOW_BBOX  LL -0.700  0.000 UR  0.700  1.500 LENGTH 10.000\n"
    "SIM_WIN_EXT  LL -1.400  0.000 UR  1.400  0.000 LENGTH  0.000  0.000\n";

Read Pattern(const std::string& text, const std::string& process = "", ImportOptions options = ImportOptions())
{
    Read r;
    RcxPattern p;
    std::istringstream in(text);
    ReadRcxWires(in, p, r.errors);
    RcxProcess stack;
    if (!process.empty()) {
        std::istringstream pin(process);
        ReadRcxProcess(pin, stack, r.errors);
    }
    if (r.errors.empty())
        BuildPatternScene(p, process.empty() ? nullptr : &stack, options, r.scene, r.errors);
    return r;
}

TEST(RcxPattern, ReadsWiresPlanesWindowAndBands)
{
    Read r = Pattern(WIRES);
    ASSERT_TRUE(r.errors.empty()) << r.errors[0];
    const ::Scene& s = r.scene;
    EXPECT_EQ(s.master, "M1_w2");
    const SceneConductor* w2 = Find(s, "M1_w2");
    ASSERT_TRUE(w2);
    ASSERT_EQ(s.bands.size(), 1u);  // equal permittivities merge, the window bounds them
    const double got[] = {s.window.x0, s.window.x1, s.window.y1, s.window.z0, w2->boxes[0].x0,
                          w2->boxes[0].z1, w2->boxes[0].y1, s.bands[0].z0, s.bands[0].z1};
    const double want[] = {-2.1, 2.1, 10.0, -0.1, -0.1, 0.7, 10.0, -0.1, 1.5};
    for (int i = 0; i < 9; i++)
        EXPECT_DOUBLE_EQ(got[i], want[i]) << "value " << i;
}

// WIRES with its stack taken from a process file: bands of 3.9 around
// `films`, and one conductor level.
std::string FilmProcess(const std::string& films)
{
    return "CONDUCTOR M1 {\n distance 0.4\n thickness 0.3\n}\nDIELECTRIC low {\n epsilon 3.9\n thickness 0.4\n}\n" +
           films + "DIELECTRIC top {\n epsilon 3.9\n thickness 2\n}\n";
}

std::string Film(const std::string& name, const std::string& body)
{
    return "DIELECTRIC " + name + " {\n epsilon 7\n met 1\n" + body + "}\n";
}

std::string WiresWithoutBands()
{
    return Edited(Edited(WIRES, "dielectric oxide HEIGHT  0.000  0.900   EPSILON  3.900\n", ""),
                  "DIELECTRIC top HEIGHT  0.900  2.000   EPSILON  3.900  # same permittivity: one band\n", "");
}

TEST(RcxPattern, ProcessFileGivesTheStack)
{
    const char* process = "# stack\nPROCESS {\nCONDUCTOR m1 {\n  distance 0.4\n  thickness 0.3\n}\n"
                          "DIELECTRIC {\n  name low\n  epsilon 3.9\n  thickness 0.55\n}\n"
                          "DIELECTRIC upper {\n  EPSILON 2.5\n  thickness 2\n}\n}\n";
    Read r = Pattern(WiresWithoutBands(), process);
    ASSERT_TRUE(r.errors.empty()) << r.errors[0];
    ASSERT_EQ(r.scene.bands.size(), 2u);
    EXPECT_DOUBLE_EQ(r.scene.bands[0].z1, 0.55);
    EXPECT_DOUBLE_EQ(r.scene.bands[1].diel, 2.5);
}

TEST(RcxPattern, Refusals)
{
    struct Case {
        std::string from, to, process, message;
        int line;
    } cases[] = {
        {"UL -0.100  0.700", "UL -0.050  0.700", "", "not a rectangle", 7},
        {"UR  0.100  0.700  UL -0.100  0.700", "UR  0.100  0.400  UL -0.100  0.400", "", "no thickness", 7},
        {"LENGTH 10.000   VOLTAGE 1", "LENGTH 0   VOLTAGE 1", "", "LENGTH must be > 0", 7},
        {"VOLTAGE 1", "VOLTAGE 0", "", "no wire is at VOLTAGE 1", 1},
        {"VOLTAGE 0\nWIRE 2", "VOLTAGE 1\nWIRE 2", "", "several wires", 1},
        {"EPSILON  3.900\n", "EPSILON  0\n", "", "EPSILON must be > 0", 4},
        {"HEIGHT  0.000  0.900", "HEIGHT  0.000  0.000", "", "no thickness", 4},
        {"HEIGHT  0.900  2.000   EPSILON  3.900", "HEIGHT  1.000  2.000   EPSILON  3.900", "", "gap", 5},
        {"HEIGHT  0.900  2.000   EPSILON  3.900", "HEIGHT  0.800  2.000   EPSILON  4.200", "", "overlaps", 5},
        {"WINDOW_BBOX  LL -0.700  0.000 UR  0.700  1.500 LENGTH 10.000\n", "", "", "no WINDOW_BBOX", 1},
        {"WINDOW_BBOX  LL -0.700", "WINDOW_BBOX  LL x", "", "'x' is not a number", 9},
        {"PATTERN", "PATERN", "", "unknown record", 1},
        {"", "", "DIELECTRIC d {\n thickness 1\n}\n", "epsilon is missing", 1},
        {"", "", "DIELECTRIC d {\n epsilon 4\n thickness -1\n}\n", "thickness is missing or not > 0", 1},
    };
    for (const Case& c : cases)
        ExpectRefused(Pattern(Edited(WIRES, c.from, c.to), c.process), c.message, c.line);
}

// The master M1_w2 spans x -0.1..0.1, z 0.4..0.7; films start on the field
// at its bottom, each after the thicknesses of those inside it.
TEST(RcxPattern, ProcessFilmsBecomeBodiesAroundTheWiresOfTheirLevel)
{
    using Box = std::array<double, 3>;  // half-width about the master's centre, z0, z1
    struct Case {
        const char* what;
        std::string films;
        std::vector<Box> want;  // around the master, in the order the deck holds them
        double area;            // the film's cross-section beside and over the master, um^2
    } cases[] = {
        {"trench", Film("t", " trench\n thickness 0.3\n height -0.2\n bottom_ext 0.05\n"), {{0.15, 0.5, 0.7}},
         0.3 * 0.2},
        // The outer film starts on the field above the inner one and goes first, so the inner holds.
        {"two conformal",
         Film("in", " conformal\n thickness 0.05\n height 0.4\n bottom_ext 0.03\n slope 1e9\n") +
             Film("out", " conformal\n thickness 0.02\n height 0.5\n bottom_ext 0.06\n slope 1e9\n"),
         {{0.16, 0.47, 0.95}, {0.13, 0.45, 0.8}}, 0.32 * 0.48 + 0.26 * 0.35},
        // Without a slope the sides lean from bottom_ext to the wire's edge:
        // steps of the trapezoid keep its area.
        {"sloped conformal", Film("s", " conformal\n thickness 0.05\n height 0.45\n bottom_ext 0.04\n"),
         {{0.135, 0.45, 0.55}, {0.125, 0.55, 0.65}, {0.115, 0.65, 0.75}, {0.105, 0.75, 0.85}},
         0.5 * (0.28 + 0.2) * 0.4},
    };
    for (const Case& c : cases) {
        Read r = Pattern(WiresWithoutBands(), FilmProcess(c.films));
        ASSERT_TRUE(r.errors.empty()) << c.what << ": " << r.errors[0];
        std::vector<Cuboid> around;  // the master's, centred on x = 0
        for (const SceneBody& b : r.scene.bodies) {
            EXPECT_TRUE(b.diel == 7 && b.box.y0 == r.scene.window.y0 && b.box.y1 == r.scene.window.y1) << c.what;
            if (std::fabs(b.box.x0 + b.box.x1) < 1e-9)
                around.push_back(b.box);
        }
        EXPECT_EQ(r.scene.bodies.size(), 3 * c.want.size()) << c.what;  // as many around each wire
        ASSERT_EQ(around.size(), c.want.size()) << c.what;
        double area = 0;
        for (size_t i = 0; i < around.size(); ++i) {
            const Box got{around[i].x1, around[i].z0, around[i].z1};
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(got[k], c.want[i][k], 1e-9) << c.what << " box " << i << " value " << k;
            area += 2 * got[0] * (got[2] - got[1]);
        }
        EXPECT_NEAR(area, c.area, 1e-9) << c.what;
        // On the field each film is the band of its thickness in the stack.
        for (const SceneBand& b : r.scene.bands)
            EXPECT_TRUE(!(b.z0 < 0.42 && 0.42 < b.z1) || b.diel == 7) << c.what;
    }
}

TEST(RcxPattern, ProcessFilmRefusals)
{
    const std::string ok = " conformal\n thickness 0.05\n height 0.4\n";
    struct Case {
        std::string films, wires_from, wires_to, message;
        int line;
    } cases[] = {
        {Film("c", ok + " bottom_ext -0.01\n"), "", "", "bottom_ext is negative", 9},
        {Edited(Film("c", ok), " met 1\n", ""), "", "", "no level", 9},
        {Edited(Film("c", ok), "met 1", "met 2"), "", "", "names no level", 9},
        {Film("c", ok + " trench\n"), "", "", "both conformal and trench", 9},
        {Film("t", " trench\n thickness 0.1\n height 0\n"), "", "", "must be < 0", 9},
        {Film("c", " conformal\n thickness 0.05\n height 0.01\n"), "", "", "below its thickness", 9},
        {Film("c", ok + " top_thickness 0.1\n"), "", "", "no place in its outline", 15},
        {Film("a", ok) + Film("b", ok) + Film("c", ok) + Film("d", ok), "", "", "a fourth film", 30},
        {Film("a", ok) + Film("b", " trench\n thickness 0.1\n height -0.1\n"), "", "", "both conformal and trench", 16},
        {Film("c", ok + " slope 0.1\n"), "", "", "cross below its top", 4},
        {Film("c", ok), "M1_w1", "w1", "does not give one", 4},
    };
    for (const Case& c : cases)
        ExpectRefused(Pattern(Edited(WiresWithoutBands(), c.wires_from, c.wires_to), FilmProcess(c.films)),
                      c.message, c.line);
}

TEST(Detect, ByContentNotByName)
{
    EXPECT_EQ(DetectInput("# c\n\npex25d 1.0\n"), InputKind::PEX25D);
    EXPECT_EQ(DetectInput(WIRES), InputKind::RCX_WIRES);
    EXPECT_EQ(DetectInput("CONDUCTOR m1 {\n distance 1\n}\n"), InputKind::RCX_PROCESS);
    EXPECT_EQ(DetectInput("// deck\n<vorn>\n[/vorn]\n"), InputKind::DECK);
}

// Folding a row of a cut pattern: the master's own ends are at its
// potential, so their (negative) couplings lower its total; another wire's
// segments add up; everything is per micrometre of the middle.
TEST(PerLength, CutAndFold)
{
    Read r = Pattern(WIRES);
    ASSERT_TRUE(r.errors.empty());
    PerLengthPlan plan;
    std::string error;
    ASSERT_TRUE(CutForPerLength(r.scene, {1, 2, 3}, plan, error)) << error;
    EXPECT_DOUBLE_EQ(plan.middle, 5.0);
    const SceneConductor* mid = Find(r.scene, "M1_w2");
    const SceneConductor* end = Find(r.scene, "M1_w2_end1");
    ASSERT_TRUE(mid && end);
    EXPECT_DOUBLE_EQ(mid->boxes[0].y0, 2.5);
    EXPECT_LT(end->boxes[0].y1, 2.5);  // the slit the walks start in
    EXPECT_DOUBLE_EQ(Find(r.scene, "M1_w1_end1")->boxes[0].y1, 2.5);
    CapRow raw{{"M1_w2", "M0_w0", "M1_w1", "M1_w1_end1", "M1_w1_end2", "M1_w2_end1", "M1_w2_end2", "M1_w3",
                "M1_w3_end1", "M1_w3_end2"},
               {10, -2, -3, -0.5, -0.5, -1, -1, -3, -0.25, -0.25},
               {0.3, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1}};
    CapRow row = FoldPerLength(raw, plan);
    ASSERT_EQ(row.names.size(), 4u);
    EXPECT_EQ(row.names[0], "M1_w2");
    EXPECT_DOUBLE_EQ(row.value[0], 8.0 / 5);
    EXPECT_DOUBLE_EQ(row.value[2], -4.0 / 5);  // M1_w1
    EXPECT_DOUBLE_EQ(row.value[3], -3.5 / 5);
    EXPECT_NEAR(row.error[0], std::sqrt(0.09 + 0.02) / 5, 1e-15);
    std::string text = PatternResultText("p", row, {"M1_w1", "M1_w2", "M1_w3"}, true);
    EXPECT_NE(text.find("UNIT F/um\n"), std::string::npos);
    EXPECT_NE(text.find("COUPLING M1_w1 8.000000e-01"), std::string::npos);
    EXPECT_EQ(text.find("COUPLING M0_w0"), std::string::npos);  // a plane is ground, in the fringe
    EXPECT_NE(text.find("FRINGE 1.000000e-01"), std::string::npos);
}

}  // namespace
