// The deck picture is checked the way a user sees it: the SVG must parse
// as XML, render with a real renderer, and carry the right colours where
// the geometry says they belong.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "drawings.h"
#include "picture.h"
#include "testutil.h"

namespace {

struct Image {
    int width = 0, height = 0;
    std::string rgb;
    // Colour at canvas point (x, y) as "#rrggbb".
    std::string At(double x, double y) const
    {
        int i = (int)std::floor(x), j = (int)std::floor(y);
        if (i < 0 || j < 0 || i >= width || j >= height)
            return "outside";
        const unsigned char* p = (const unsigned char*)&rgb[3 * ((size_t)j * width + i)];
        char buf[8];
        snprintf(buf, sizeof buf, "#%02x%02x%02x", p[0], p[1], p[2]);
        return buf;
    }
};

double Luminance(const std::string& hex)
{
    unsigned r, g, b;
    sscanf(hex.c_str(), "#%02x%02x%02x", &r, &g, &b);
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
}

// Validates `svg` with xmllint and renders it with rsvg-convert at one
// pixel per unit; the PNG is read back as binary PPM.
Image Render(const TempDir& dir, const std::string& svg_path)
{
    Image img;
    RunResult lint = RunIn(dir.path(), "xmllint --noout '" + svg_path + "'");
    EXPECT_EQ(lint.status, 0) << lint.err;
    RunResult png = RunIn(dir.path(), "rsvg-convert '" + svg_path + "' -o out.png && "
                                      "convert out.png ppm:-");
    EXPECT_EQ(png.status, 0) << png.err;
    const std::string& ppm = png.out;
    int maxval = 0, used = 0;
    if (sscanf(ppm.c_str(), "P6 %d %d %d%n", &img.width, &img.height, &maxval, &used) != 3 ||
        maxval != 255) {
        ADD_FAILURE() << "not a binary PPM: " << png.err;
        return img;
    }
    img.rgb = ppm.substr((size_t)used + 1);
    EXPECT_EQ(img.rgb.size(), 3u * img.width * img.height);
    return img;
}

TEST(DeckPicture, CommandDrawsTheThreeLayerDeckWithoutWalking)
{
    TempDir dir;
    // The example with a film around the lower wires: a body, x -3.05..3.05,
    // y -0.4..-0.1, z 0.4..0.9.
    std::string text = ReadFile(std::string(KORVA_SOURCE_DIR) + "/examples/bus_crossing.kd");
    ASSERT_NE(text.find("<conductor>"), std::string::npos);
    text.insert(text.find("<conductor>"), "<medium> name film <block> name f basepoint (-3.05,-0.4,0.4) v1 (6.1,0,0) "
                                          "v2 (0,0.3,0) hvector (0,0,0.5) [/block] diel 7.3 [/medium]\n");
    const std::string deck = dir.Write("film.kd", text);
    RunResult run = RunIn(dir.path(), std::string(KORVA_EXE) + " -f '" + deck + "' --picture deck.svg");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("Random Walk Begins"), std::string::npos);
    Image img = Render(dir, dir.path() + "/deck.svg");
    ASSERT_GT(img.width, 0);

    DeckLists lists;
    ASSERT_EQ(LoadDeck(deck.c_str(), lists), 0);
    DeckView s = SceneOfDeck(lists, *lists.window);
    ASSERT_EQ(s.layers.size(), 3u);
    ASSERT_EQ(s.bodies.size(), 1u);
    PictureLayout L = LayoutPicture(s);
    const Cuboid& m = s.blocks[0];
    ASSERT_EQ(m.id, 0);
    // Inside the master, away from its label and from the dotted cut lines.
    const double mx = m.x0 + 0.2 * (m.x1 - m.x0), my = m.y0 + 0.5 * (m.y1 - m.y0);
    EXPECT_EQ(img.At(L.top_view.X(mx), L.top_view.Y(my) + 2.5), MasterColour());
    EXPECT_EQ(img.At(L.xz.X(mx), L.xz.Y(0.5 * (m.z0 + m.z1))), MasterColour());
    EXPECT_EQ(img.At(L.yz.X(L.cut_y - 0.3 * (m.y1 - m.y0)), L.yz.Y(0.5 * (m.z0 + m.z1))),
              MasterColour());

    // Left of the window, where only the dielectric shows: from bottom to
    // top one shade per layer, darker where the permittivity is higher.
    for (const PanelMap* p : {&L.xz, &L.yz}) {
        const double u = p->u0 + 0.02 * (p->u1 - p->u0);
        std::string shade[3];
        for (int k = 0; k < 3; k++) {
            const SceneLayer& l = s.layers[k];
            double z = 0.5 * (std::max(l.z0, p->v0) + std::min(l.z1, p->v1));
            shade[k] = img.At(p->X(u), p->Y(z));
            EXPECT_EQ(shade[k], LayerShade(s, l.eps)) << "layer " << k;
        }
        EXPECT_NE(shade[0], shade[1]);
        EXPECT_NE(shade[1], shade[2]);
        for (int a = 0; a < 3; a++)
            for (int b = 0; b < 3; b++)
                if (s.layers[a].eps > s.layers[b].eps) {
                    EXPECT_LT(Luminance(shade[a]), Luminance(shade[b])) << a << " vs " << b;
                }
    }
    // The film shows over its layer in the section through it, and only
    // where it lies; the legend lists it.
    EXPECT_NE(img.At(L.xz.X(2.0), L.xz.Y(0.75)), LayerShade(s, 3.9));
    EXPECT_NE(img.At(L.xz.X(2.0), L.xz.Y(0.75)), "#ffffff");
    EXPECT_EQ(img.At(L.xz.X(3.5), L.xz.Y(0.75)), LayerShade(s, 3.9));
    const std::string svg = ReadFile(dir.path() + "/deck.svg");
    EXPECT_NE(svg.find(">eps 7.3,  1 box</text>"), std::string::npos);
    // Seen from above, the upper wire covers the master where they cross.
    EXPECT_NE(img.At(L.top_view.X(-0.25), L.top_view.Y(-0.2)), MasterColour());
    // Every conductor is named in the views and keyed in the legend; the
    // stretched sections say so.
    for (const char* name : {"gnd", "m1b", "m2a", "m2b"}) {
        EXPECT_GE(Count(svg, std::string(">") + name + "</text>"), 2) << name;
    }
    EXPECT_EQ(Count(svg, "not to scale: z"), 2);
}

TEST(DeckPicture, GaussianSurfaceEnclosesTheMasterInsideTheEnlargedWindow)
{
    for (const char* example : {"two_wires.kd", "bus_crossing.kd", "dense_bus.kd", "routed_net.kd"}) {
        DeckLists lists;
        ASSERT_EQ(LoadDeck((std::string(KORVA_SOURCE_DIR) + "/examples/" + example).c_str(), lists), 0);
        DeckView s = SceneOfDeck(lists, *lists.window);
        ASSERT_TRUE(s.has_gauss) << example;
        // Each master block inside a box of the surface, no other block
        // meeting any: a routed master's surface does not swallow the
        // conductor in its corner.
        for (const Cuboid& b : s.blocks) {
            bool inside = false, meets = false;
            for (const Cuboid& g : s.gauss_boxes) {
                inside = inside || (b.x0 > g.x0 && b.x1 < g.x1 && b.y0 > g.y0 && b.y1 < g.y1 && b.z0 > g.z0 && b.z1 < g.z1);
                meets = meets || (b.x0 < g.x1 && g.x0 < b.x1 && b.y0 < g.y1 && g.y0 < b.y1 && b.z0 < g.z1 && g.z0 < b.z1);
            }
            EXPECT_EQ(inside, b.id == 0) << example;
            EXPECT_EQ(meets, b.id == 0) << example;
        }
        EXPECT_LE(s.enlarged.x0, s.window.x0);
        EXPECT_GE(s.enlarged.z1, s.window.z1);
    }
}

// Names come from the deck; markup in them must not break the file.
DeckView Grid(int nx, int ny, const std::string& first_name)
{
    DeckView s;
    for (int i = 0; i < nx; i++)
        for (int j = 0; j < ny; j++) {
            int id = (int)s.names.size();
            s.names.push_back(id == 0 ? first_name : "net" + std::to_string(id));
            s.blocks.push_back(Cuboid(id, i * 1.0, j * 1.0, (i + j) % 3 * 0.5, i + 0.6, j + 0.6,
                                      (i + j) % 3 * 0.5 + 0.3));
        }
    s.layers = {{-1e100, 0.5, 3.9}, {0.5, 1.0, 2.0}, {1.0, 1e100, 7.0}};
    s.window = Cuboid(0, -1, -1, -0.5, nx + 1, ny + 1, 2.5);
    s.enlarged = Cuboid(0, -5 * nx, -5 * ny, -10, 6 * nx, 6 * ny, 12);
    s.gauss = Cuboid(0, -0.2, -0.2, -0.2, 0.8, 0.8, 0.5);
    s.has_gauss = true;
    return s;
}

TEST(DeckPicture, LargeDeckStaysSmallAndWellFormed)
{
    TempDir dir;
    // A name longer than any line buffer reaches every place whole.
    const std::string tail(600, 'n');
    DeckView s = Grid(100, 100, "a&b<c>\"d\"" + tail);
    std::string svg = DrawPicture(s);
    EXPECT_LT(svg.size(), 5u * 1000 * 1000);
    const std::string shown = "a&amp;b&lt;c&gt;&quot;d&quot;" + tail + "</text>\n";
    for (const char* before : {"; master ", "\">master: ", "text-anchor=\"middle\">"})
        EXPECT_NE(svg.find(std::string(before) + shown), std::string::npos) << before;
    std::string path = dir.Write("big.svg", svg);
    RunResult lint = RunIn(dir.path(), "xmllint --noout '" + path + "'");
    EXPECT_EQ(lint.status, 0) << lint.err;
}

}  // namespace
