#include "picture.h"

#include "svgtext.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>

namespace {

std::string Hex(double r, double g, double b)
{
    char buf[8];
    auto c = [](double v) { return (int)std::lround(std::min(1.0, std::max(0.0, v)) * 255); };
    snprintf(buf, sizeof buf, "#%02x%02x%02x", c(r), c(g), c(b));
    return buf;
}

std::string Hsl(double hue, double sat, double light)
{
    double c = (1 - std::fabs(2 * light - 1)) * sat;
    double h = std::fmod(hue, 360.0) / 60.0;
    double x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1));
    double r = 0, g = 0, b = 0;
    if (h < 1) { r = c; g = x; }
    else if (h < 2) { r = x; g = c; }
    else if (h < 3) { g = c; b = x; }
    else if (h < 4) { g = x; b = c; }
    else if (h < 5) { r = x; b = c; }
    else { r = c; b = x; }
    double m = light - c / 2;
    return Hex(r + m, g + m, b + m);
}

const char* const PALETTE[] = {"#f59f00", "#2f9e44", "#7048e8", "#0c8599", "#e8590c",
                               "#66a80f", "#ae3ec9", "#1c7ed6", "#099268", "#495057"};
const int PALETTE_SIZE = sizeof PALETTE / sizeof PALETTE[0];

void Include(Cuboid& box, const Cuboid& c)
{
    box.x0 = std::min(box.x0, c.x0);
    box.y0 = std::min(box.y0, c.y0);
    box.z0 = std::min(box.z0, c.z0);
    box.x1 = std::max(box.x1, c.x1);
    box.y1 = std::max(box.y1, c.y1);
    box.z1 = std::max(box.z1, c.z1);
}

// Bounding box of the blocks of conductor `id`, or of all blocks for id < 0.
bool Extent(const DeckView& s, int id, Cuboid& box)
{
    bool any = false;
    for (const Cuboid& c : s.blocks) {
        if (id >= 0 && c.id != id)
            continue;
        if (any)
            Include(box, c);
        else
            box = c;
        any = true;
    }
    return any;
}

bool Inside(const Cuboid& in, const Cuboid& out)
{
    return in.x0 >= out.x0 && in.y0 >= out.y0 && in.z0 >= out.z0 && in.x1 <= out.x1 &&
           in.y1 <= out.y1 && in.z1 <= out.z1;
}

// A range padded by `frac` on both sides; an empty one gets a unit width.
void Pad(double& lo, double& hi, double frac)
{
    double d = hi - lo;
    if (!(d > 0))
        d = std::max(1.0, std::fabs(lo));
    lo -= frac * d;
    hi += frac * d;
}

PanelMap Panel(double left, double top, double w, double h, double u0, double u1, double v0,
               double v1)
{
    return PanelMap{left, top, w, h, u0, u1, v0, v1};
}

const double W = 1200, H = 900;

}  // namespace

std::string MasterColour() { return "#e03131"; }

std::string ConductorColour(int id)
{
    if (id <= 0)
        return MasterColour();
    return PALETTE[(id - 1) % PALETTE_SIZE];
}

std::string LayerShade(const DeckView& scene, double eps)
{
    if (!(eps > 0))
        return "#ffffff";
    double lo = 1e300, hi = -1e300;
    for (const SceneLayer& l : scene.layers) {
        if (l.eps > 0) {
            lo = std::min(lo, l.eps);
            hi = std::max(hi, l.eps);
        }
    }
    double t = hi > lo ? (eps - lo) / (hi - lo) : 0.5;
    t = std::min(1.0, std::max(0.0, t));
    // Higher permittivity, darker shade.
    return Hsl(210, 0.30, 0.92 - 0.34 * t);
}

std::vector<double> BodyPermittivities(const DeckView& s)
{
    std::vector<double> eps;
    for (const SceneBodyBox& b : s.bodies)
        eps.push_back(b.eps);
    std::sort(eps.begin(), eps.end());
    eps.erase(std::unique(eps.begin(), eps.end()), eps.end());
    return eps;
}

std::string BodyColour(size_t k)
{
    // Warm hues, apart from the blue-grey of the layers.
    return Hsl(20.0 + 67.0 * (double)k, 0.75, 0.55);
}

PictureLayout LayoutPicture(const DeckView& s)
{
    Cuboid view = s.window;
    Cuboid all;
    if (Extent(s, -1, all))
        Include(view, all);
    if (s.has_gauss && Inside(s.gauss, s.enlarged))
        Include(view, s.gauss);
    double x0 = view.x0, x1 = view.x1, y0 = view.y0, y1 = view.y1, z0 = view.z0, z1 = view.z1;
    Pad(x0, x1, 0.06);
    Pad(y0, y1, 0.06);
    Pad(z0, z1, 0.08);

    PictureLayout L;
    L.width = W;
    L.height = H;
    Cuboid m;
    if (!Extent(s, 0, m))
        m = view;
    L.cut_x = 0.5 * (m.x0 + m.x1);
    L.cut_y = 0.5 * (m.y0 + m.y1);

    // The top view keeps the true shape: the larger span fills its box.
    const double bw = 480, bh = 340;
    double sx = bw / (x1 - x0), sy = bh / (y1 - y0);
    double scale = std::min(sx, sy);
    double tw = (x1 - x0) * scale, th = (y1 - y0) * scale;
    L.top_view = Panel(80 + (bw - tw) / 2, 60 + (bh - th) / 2, tw, th, x0, x1, y0, y1);
    // The sections stretch z: interconnect is far wider than it is tall.
    L.xz = Panel(680, 60, 480, 340, x0, x1, z0, z1);
    L.yz = Panel(80, 500, 480, 340, y0, y1, z0, z1);
    return L;
}

namespace {

struct Rect {
    double x, y, w, h;
};

// The canvas rectangle of world box [u0,u1] x [v0,v1], clamped to a little
// beyond the panel so that unbounded layers stay small numbers.
Rect ToCanvas(const PanelMap& p, double u0, double u1, double v0, double v1)
{
    double du = (p.u1 - p.u0) * 0.05, dv = (p.v1 - p.v0) * 0.05;
    u0 = std::max(u0, p.u0 - du);
    u1 = std::min(u1, p.u1 + du);
    v0 = std::max(v0, p.v0 - dv);
    v1 = std::min(v1, p.v1 + dv);
    double xa = p.X(u0), xb = p.X(u1), ya = p.Y(v1), yb = p.Y(v0);
    return Rect{xa, ya, xb - xa, yb - ya};
}

bool Overlaps(const PanelMap& p, double u0, double u1, double v0, double v1)
{
    return u1 >= p.u0 && u0 <= p.u1 && v1 >= p.v0 && v0 <= p.v1;
}

void Outline(std::string& out, const PanelMap& p, double u0, double u1, double v0, double v1,
             const char* cls)
{
    if (!Overlaps(p, u0, u1, v0, v1))
        return;
    Rect r = ToCanvas(p, u0, u1, v0, v1);
    Append(out, "<rect class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n", cls, r.x,
        r.y, r.w, r.h);
}

void Axes(std::string& out, const PanelMap& p, const char* title, const char* uname,
          const char* vname)
{
    Append(out, "<rect class=\"kv-frame\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
        p.left, p.top, p.width, p.height);
    Append(out, "<text class=\"kv-title\" x=\"%.1f\" y=\"%.1f\">%s</text>\n", p.left, p.top - 10,
        title);
    double su = NiceStep(p.u1 - p.u0, 6);
    for (double u = std::ceil(p.u0 / su) * su; u <= p.u1 + 1e-9 * su; u += su) {
        double x = p.X(u);
        double shown = std::fabs(u) < 1e-9 * su ? 0.0 : u;
        Append(out, "<line class=\"kv-tick\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>", x,
            p.top + p.height, x, p.top + p.height + 5);
        Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g</text>\n",
            x, p.top + p.height + 17, shown);
    }
    double sv = NiceStep(p.v1 - p.v0, 6);
    for (double v = std::ceil(p.v0 / sv) * sv; v <= p.v1 + 1e-9 * sv; v += sv) {
        double y = p.Y(v);
        double shown = std::fabs(v) < 1e-9 * sv ? 0.0 : v;
        Append(out, "<line class=\"kv-tick\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>",
            p.left - 5, y, p.left, y);
        Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n",
            p.left - 7, y + 4, shown);
    }
    Append(out, "<text class=\"kv-axis\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s (µm)</text>\n",
        p.left + p.width / 2, p.top + p.height + 34, uname);
    Append(out,
        "<text class=\"kv-axis\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" "
        "transform=\"rotate(-90 %.1f %.1f)\">%s (µm)</text>\n",
        p.left - 48, p.top + p.height / 2, p.left - 48, p.top + p.height / 2, vname);
}

enum Axis { AX_X, AX_Y, AX_Z };

double Lo(const Cuboid& c, Axis a) { return a == AX_X ? c.x0 : a == AX_Y ? c.y0 : c.z0; }
double Hi(const Cuboid& c, Axis a) { return a == AX_X ? c.x1 : a == AX_Y ? c.y1 : c.z1; }

bool Meets(const Rect& a, const Rect& b)
{
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

bool Holds(const Rect& out, const Rect& in)
{
    return in.x >= out.x && in.y >= out.y && in.x + in.w <= out.x + out.w && in.y + in.h <= out.y + out.h;
}

// A shape as painted in one view: a block of conductor id, or a body (id -1).
struct Painted {
    Rect r;
    int id;
};

// One view: the blocks and bodies it shows, painted in `order` (indices
// past the blocks are bodies), then a name for each conductor where it
// covers nothing that lies above it and no other name.
void Blocks(std::string& out, const DeckView& s, const PanelMap& p, Axis ua, Axis va,
            const std::vector<size_t>& order)
{
    const std::vector<double> eps = BodyPermittivities(s);
    std::vector<Painted> painted;
    std::map<int, size_t> best;  // conductor -> its largest painted rectangle
    for (size_t i : order) {
        const bool body = i >= s.blocks.size();
        const Cuboid& c = body ? s.bodies[i - s.blocks.size()].box : s.blocks[i];
        double u0 = Lo(c, ua), u1 = Hi(c, ua), v0 = Lo(c, va), v1 = Hi(c, va);
        if (!Overlaps(p, u0, u1, v0, v1))
            continue;
        Rect r = ToCanvas(p, u0, u1, v0, v1);
        if (body) {
            const double e = s.bodies[i - s.blocks.size()].eps;
            Append(out, "<rect class=\"kv-b%zu\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
                   (size_t)(std::lower_bound(eps.begin(), eps.end(), e) - eps.begin()), r.x, r.y, r.w, r.h);
            painted.push_back(Painted{r, -1});
            continue;
        }
        if (c.id == 0)
            Append(out, "<rect class=\"kv-m\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
                r.x, r.y, r.w, r.h);
        else
            Append(out,
                "<rect class=\"kv-c%d\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
                (c.id - 1) % PALETTE_SIZE, r.x, r.y, r.w, r.h);
        auto it = best.find(c.id);
        if (it == best.end() || r.w * r.h > painted[it->second].r.w * painted[it->second].r.h)
            best[c.id] = painted.size();
        painted.push_back(Painted{r, c.id});
    }
    // The master is outlined over everything, so that it shows where
    // something above it covers it.
    for (const Painted& q : painted)
        if (q.id == 0)
            Append(out, "<rect class=\"kv-mline\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
                   q.r.x, q.r.y, q.r.w, q.r.h);

    // The master first, then the largest shapes: they are named first.
    std::vector<std::pair<int, size_t>> named(best.begin(), best.end());
    std::stable_sort(named.begin(), named.end(), [&](const std::pair<int, size_t>& a, const std::pair<int, size_t>& b) {
        if ((a.first == 0) != (b.first == 0))
            return a.first == 0;
        return painted[a.second].r.w * painted[a.second].r.h > painted[b.second].r.w * painted[b.second].r.h;
    });
    const Rect panel{p.left, p.top, p.width, p.height};
    std::vector<Rect> labels;
    // Enough to name every conductor of an ordinary deck, and a bound on
    // the search for a huge one.
    const size_t MAX_TRIED = 300, MAX_LABELS = 200;
    for (size_t k = 0; k < named.size() && k < MAX_TRIED && labels.size() < MAX_LABELS; k++) {
        const int id = named[k].first;
        if (id < 0 || (size_t)id >= s.names.size())
            continue;
        const std::string& name = s.names[(size_t)id];
        const Rect& r = painted[named[k].second].r;
        const double tw = 6.5 * name.size() + 4, th = 12;
        // Text boxes inside the shape (centre first), then above and below it.
        std::vector<Rect> spots;
        for (double fy : {0.5, 0.25, 0.75})
            for (double fx : {0.5, 0.2, 0.8})
                spots.push_back(Rect{r.x + fx * r.w - tw / 2, r.y + fy * r.h - th / 2, tw, th});
        spots.push_back(Rect{r.x + r.w / 2 - tw / 2, r.y - th - 2, tw, th});
        spots.push_back(Rect{r.x + r.w / 2 - tw / 2, r.y + r.h + 2, tw, th});
        const Rect* chosen = nullptr;
        for (size_t n = 0; n < spots.size(); n++) {
            const Rect& t = spots[n];
            // A name inside its shape must fit there.
            bool ok = Holds(panel, t) && (n + 2 >= spots.size() || Holds(r, t));
            for (size_t j = 0; ok && j < labels.size(); j++)
                ok = !Meets(t, labels[j]);
            // Never over a shape that lies above this one.
            for (size_t j = named[k].second + 1; ok && j < painted.size(); j++)
                ok = painted[j].id == id || painted[j].id < 0 || !Meets(t, painted[j].r);
            if (ok) {
                chosen = &t;
                break;
            }
        }
        if (!chosen && id != 0)
            continue;
        // The master is always named, above its shape if nowhere else.
        const Rect t = chosen ? *chosen : spots[spots.size() - 2];
        labels.push_back(t);
        Append(out, "<text class=\"kv-name%s\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
               id == 0 ? " kv-mname" : "", t.x + tw / 2, t.y + th - 2, EscapeXml(name).c_str());
    }
}

// The outline of the union of rectangles [u0,u1] x [v0,v1] (world units):
// the parts of their edges with no rectangle just outside them.
void UnionOutline(std::string& out, const PanelMap& p, const std::vector<std::array<double, 4>>& rects,
                  const char* cls)
{
    std::string d;
    for (size_t i = 0; i < rects.size(); i++) {
        const std::array<double, 4>& a = rects[i];  // u0, u1, v0, v1
        for (int e = 0; e < 4; e++) {
            const bool along_u = e < 2;  // edges v = v0, v = v1; then u = u0, u = u1
            const double at = a[e < 2 ? 2 + e : e - 2];
            const double lo = along_u ? a[0] : a[2], hi = along_u ? a[1] : a[3];
            const double step = 1e-7 * std::max(1.0, std::fabs(hi - lo) + std::fabs(at));
            const double off = (e % 2 == 0 ? -1 : 1) * step;  // outwards
            std::vector<double> cuts = {lo, hi};
            for (const std::array<double, 4>& b : rects)
                for (double c : along_u ? std::array<double, 2>{b[0], b[1]} : std::array<double, 2>{b[2], b[3]})
                    if (c > lo && c < hi)
                        cuts.push_back(c);
            std::sort(cuts.begin(), cuts.end());
            for (size_t k = 0; k + 1 < cuts.size(); k++) {
                if (!(cuts[k + 1] > cuts[k]))
                    continue;
                const double m = 0.5 * (cuts[k] + cuts[k + 1]);
                const double qu = along_u ? m : at + off, qv = along_u ? at + off : m;
                bool covered = false;
                for (const std::array<double, 4>& b : rects)
                    covered = covered || (b[0] < qu && qu < b[1] && b[2] < qv && qv < b[3]);
                if (covered)
                    continue;
                if (along_u)
                    Append(d, "M%.1f %.1fH%.1f", p.X(cuts[k]), p.Y(at), p.X(cuts[k + 1]));
                else
                    Append(d, "M%.1f %.1fV%.1f", p.X(at), p.Y(cuts[k]), p.Y(cuts[k + 1]));
            }
        }
    }
    if (!d.empty())
        Append(out, "<path class=\"%s\" d=\"%s\"/>\n", cls, d.c_str());
}

// The Gaussian surface in one view: the union of its boxes that the cut
// passes through (without has_cut: all of them).
void GaussOutline(std::string& out, const DeckView& s, const PanelMap& p, Axis ua, Axis va, Axis cut_axis,
                  double cut, bool has_cut)
{
    if (!s.has_gauss)
        return;
    const std::vector<Cuboid> boxes = s.gauss_boxes.empty() ? std::vector<Cuboid>{s.gauss} : s.gauss_boxes;
    std::vector<std::array<double, 4>> rects;
    for (const Cuboid& b : boxes)
        if (!has_cut || (Lo(b, cut_axis) <= cut && cut <= Hi(b, cut_axis)))
            rects.push_back({Lo(b, ua), Hi(b, ua), Lo(b, va), Hi(b, va)});
    UnionOutline(out, p, rects, "kv-gauss");
}

void Section(std::string& out, const DeckView& s, const PanelMap& p, Axis ua, double cut,
             const std::vector<size_t>& order, const char* title, const char* uname, int index)
{
    Axis other = ua == AX_X ? AX_Y : AX_X;
    Append(out, "<clipPath id=\"kv-clip%d\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/></clipPath>\n",
        index, p.left, p.top, p.width, p.height);
    Append(out, "<g clip-path=\"url(#kv-clip%d)\">\n", index);
    for (size_t i = 0; i < s.layers.size(); i++) {
        const SceneLayer& l = s.layers[i];
        if (!Overlaps(p, p.u0, p.u1, l.z0, l.z1))
            continue;
        Rect r = ToCanvas(p, p.u0 - 1e300, p.u1 + 1e300, l.z0, l.z1);
        Append(out, "<rect class=\"kv-l%zu\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
            i, r.x, r.y, r.w, r.h);
    }
    std::vector<size_t> cut_order;
    for (size_t i : order) {
        const Cuboid& c = i < s.blocks.size() ? s.blocks[i] : s.bodies[i - s.blocks.size()].box;
        if (Lo(c, other) <= cut && cut <= Hi(c, other))
            cut_order.push_back(i);
    }
    Blocks(out, s, p, ua, AX_Z, cut_order);
    Outline(out, p, Lo(s.enlarged, ua), Hi(s.enlarged, ua), s.enlarged.z0, s.enlarged.z1,
            "kv-enl");
    Outline(out, p, Lo(s.window, ua), Hi(s.window, ua), s.window.z0, s.window.z1, "kv-win");
    GaussOutline(out, s, p, ua, AX_Z, other, cut, true);
    out += "</g>\n";
    Axes(out, p, title, uname, "z");
}

void Swatch(std::string& out, double x, double y, const char* cls, const std::string& text)
{
    Append(out, "<rect class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"22\" height=\"12\"/>", cls, x, y);
    Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\">%s</text>\n", x + 30, y + 10,
        EscapeXml(text).c_str());
}

std::string Um(double v)
{
    char buf[32];
    if (std::fabs(v) >= 1e99)
        snprintf(buf, sizeof buf, "%s", v < 0 ? "-inf" : "+inf");
    else
        snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// The sections stretch z to fill their box: their titles say by how much.
std::string NotToScale(const PanelMap& p)
{
    const double stretch = (p.height / (p.v1 - p.v0)) / (p.width / (p.u1 - p.u0));
    if (!std::isfinite(stretch) || std::fabs(stretch - 1) < 0.02)
        return "";
    char buf[64];
    snprintf(buf, sizeof buf, ", not to scale: z \u00d7%.2g", stretch);
    return buf;
}

void Legend(std::string& out, const DeckView& s)
{
    double x = 680, y = 470;
    Append(out, "<text class=\"kv-title\" x=\"%.1f\" y=\"%.1f\">Legend</text>\n", x, y);
    y += 14;
    Swatch(out, x, y, "kv-m",
           "master: " + (s.names.empty() ? std::string("?") : s.names[0]));
    y += 20;
    char buf[160];
    snprintf(buf, sizeof buf, "other conductors: %zu (colour per conductor)",
             s.names.size() > 0 ? s.names.size() - 1 : 0);
    Swatch(out, x, y, "kv-c0", buf);
    y += 20;
    Swatch(out, x, y, "kv-gauss", "Gaussian surface");
    y += 20;
    Swatch(out, x, y, "kv-win", "window");
    y += 20;
    Swatch(out, x, y, "kv-enl", "enlarged window (walks end beyond it)");
    y += 26;
    Append(out, "<text class=\"kv-axis\" x=\"%.1f\" y=\"%.1f\">Dielectric layers</text>\n", x, y);
    y += 8;
    size_t shown = 0;
    for (size_t k = s.layers.size(); k-- > 0;) {
        if (shown == 14) {
            Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\">... %zu more</text>\n", x,
                y + 10, k + 1);
            break;
        }
        const SceneLayer& l = s.layers[k];
        std::string text = (l.eps > 0 ? "eps " + Um(l.eps) : std::string("no medium")) + ",  z " +
                           Um(l.z0) + " .. " + Um(l.z1) + " µm";
        char cls[48];
        snprintf(cls, sizeof cls, "kv-l%zu kv-edge", k);
        Swatch(out, x, y, cls, text);
        y += 18;
        ++shown;
    }
    const std::vector<double> body_eps = BodyPermittivities(s);
    if (!body_eps.empty() && shown < 14) {
        y += 8;
        Append(out, "<text class=\"kv-axis\" x=\"%.1f\" y=\"%.1f\">Dielectric bodies (over the layers)</text>\n", x,
               y);
        y += 8;
        for (size_t k = 0; k < body_eps.size(); ++k) {
            if (k == 8) {
                Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\">... %zu more</text>\n", x, y + 10,
                       body_eps.size() - k);
                break;
            }
            size_t count = 0;
            for (const SceneBodyBox& b : s.bodies)
                count += b.eps == body_eps[k];
            char cls[48];
            snprintf(cls, sizeof cls, "kv-b%zu kv-edge", k);
            Swatch(out, x, y, cls, "eps " + Um(body_eps[k]) + ",  " + std::to_string(count) + " box" +
                                       (count == 1 ? "" : "es"));
            y += 18;
        }
    }

    // The enlarged window to scale: the views above show only its part
    // near the conductors.
    const double ox = 960, oy = 484, ow = 200, oh = 150;
    const Cuboid& e = s.enlarged;
    PanelMap p = Panel(ox, oy, ow, oh, e.x0, e.x1, e.z0, e.z1);
    Pad(p.u0, p.u1, 0.04);
    Pad(p.v0, p.v1, 0.04);
    Append(out, "<rect class=\"kv-frame\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
        ox, oy, ow, oh);
    Cuboid all;
    if (Extent(s, -1, all)) {
        Rect r = ToCanvas(p, all.x0, all.x1, all.z0, all.z1);
        Append(out,
            "<rect class=\"kv-c9\" x=\"%.1f\" y=\"%.1f\" width=\"%.2f\" height=\"%.2f\"/>\n",
            r.x, r.y, std::max(r.w, 1.0), std::max(r.h, 1.0));
    }
    Outline(out, p, e.x0, e.x1, e.z0, e.z1, "kv-enl");
    Outline(out, p, s.window.x0, s.window.x1, s.window.z0, s.window.z1, "kv-win");
    Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\">Enlarged window, x-z to scale</text>\n",
        ox, oy - 4);
    snprintf(buf, sizeof buf, "x %s .. %s µm", Um(e.x0).c_str(), Um(e.x1).c_str());
    Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\">%s</text>\n", ox, oy + oh + 14, buf);
    snprintf(buf, sizeof buf, "z %s .. %s µm", Um(e.z0).c_str(), Um(e.z1).c_str());
    Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\">%s</text>\n", ox, oy + oh + 28, buf);

    // Which colour is which conductor; the palette repeats after its last
    // colour, and the names in the views tell those apart.
    double ky = oy + oh + 56;
    Append(out, "<text class=\"kv-axis\" x=\"%.1f\" y=\"%.1f\">Conductors</text>\n", ox, ky);
    ky += 6;
    const size_t KEY_ROWS = 11;
    for (size_t id = 0; id < s.names.size(); id++) {
        if (id == KEY_ROWS - 1 && s.names.size() > KEY_ROWS) {
            Append(out, "<text class=\"kv-num\" x=\"%.1f\" y=\"%.1f\">... and %zu more</text>\n", ox,
                   ky + 10, s.names.size() - id);
            break;
        }
        char cls[16] = "kv-m";
        if (id > 0)
            snprintf(cls, sizeof cls, "kv-c%d", (int)(id - 1) % PALETTE_SIZE);
        Swatch(out, ox, ky, cls, s.names[id]);
        ky += 16;
    }
}

}  // namespace

std::string DrawPicture(const DeckView& s)
{
    PictureLayout L = LayoutPicture(s);
    std::string out;
    out.reserve(4096 + s.blocks.size() * 90);
    Append(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    Append(out,
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
        "viewBox=\"0 0 %.0f %.0f\">\n",
        L.width, L.height, L.width, L.height);
    out += "<style>\n"
           "text{font-family:sans-serif;fill:#222}\n"
           ".kv-title{font-size:15px;font-weight:bold}\n"
           ".kv-num{font-size:11px}\n"
           ".kv-axis{font-size:12px}\n"
           ".kv-name{font-size:11px;fill:#111}\n"
           ".kv-mname{font-weight:bold;fill:#7a0000}\n"
           ".kv-frame{fill:none;stroke:#333;stroke-width:1}\n"
           ".kv-tick{stroke:#333;stroke-width:1}\n"
           ".kv-edge{stroke:#888;stroke-width:0.5}\n"
           ".kv-win{fill:none;stroke:#111;stroke-width:1.2}\n"
           ".kv-enl{fill:none;stroke:#666;stroke-width:1.2;stroke-dasharray:2 3}\n"
           ".kv-gauss{fill:none;stroke:#0a8f3c;stroke-width:1.6;stroke-dasharray:6 3}\n"
           ".kv-mline{fill:none;stroke:#6b0000;stroke-width:1;stroke-dasharray:3 2}\n";
    Append(out, ".kv-m{fill:%s;stroke:#6b0000;stroke-width:1.5}\n", MasterColour().c_str());
    for (int k = 0; k < PALETTE_SIZE; k++)
        Append(out, ".kv-c%d{fill:%s;fill-opacity:0.85;stroke:#222;stroke-width:0.3}\n", k,
            PALETTE[k]);
    for (size_t i = 0; i < s.layers.size(); i++)
        Append(out, ".kv-l%zu{fill:%s}\n", i, LayerShade(s, s.layers[i].eps).c_str());
    for (size_t k = 0; k < BodyPermittivities(s).size(); k++)
        Append(out, ".kv-b%zu{fill:%s;fill-opacity:0.45}\n", k, BodyColour(k).c_str());
    out += "</style>\n";
    Append(out, "<rect x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\" fill=\"#ffffff\"/>\n", L.width,
        L.height);
    Append(out, "<text class=\"kv-title\" x=\"80\" y=\"24\">Deck: %zu conductors, %zu blocks, "
             "%zu dielectric layers; master %s</text>\n",
        s.names.size(), s.blocks.size(), s.layers.size(),
        EscapeXml(s.names.empty() ? std::string("?") : s.names[0]).c_str());

    // The dielectric bodies first, under every conductor; then the blocks
    // from the lowest top up, so that from above the upper ones cover the
    // lower (the master only wins a tie, and its outline shows it where it
    // is covered).
    std::vector<size_t> order(s.blocks.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Cuboid &ca = s.blocks[a], &cb = s.blocks[b];
        if (ca.z1 != cb.z1)
            return ca.z1 < cb.z1;
        return ca.id != 0 && cb.id == 0;
    });
    for (size_t k = s.bodies.size(); k-- > 0;)
        order.insert(order.begin(), s.blocks.size() + k);

    const PanelMap& t = L.top_view;
    Append(out, "<clipPath id=\"kv-clip0\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/></clipPath>\n",
        t.left, t.top, t.width, t.height);
    out += "<g clip-path=\"url(#kv-clip0)\">\n";
    Blocks(out, s, t, AX_X, AX_Y, order);
    Outline(out, t, s.enlarged.x0, s.enlarged.x1, s.enlarged.y0, s.enlarged.y1, "kv-enl");
    Outline(out, t, s.window.x0, s.window.x1, s.window.y0, s.window.y1, "kv-win");
    GaussOutline(out, s, t, AX_X, AX_Y, AX_Z, 0.0, false);
    Append(out, "<line class=\"kv-tick\" stroke-dasharray=\"1 3\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n",
        t.left, t.Y(L.cut_y), t.left + t.width, t.Y(L.cut_y));
    Append(out, "<line class=\"kv-tick\" stroke-dasharray=\"1 3\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n",
        t.X(L.cut_x), t.top, t.X(L.cut_x), t.top + t.height);
    out += "</g>\n";
    Axes(out, t, "Top view (dotted: the two cuts)", "x", "y");

    char title[160];
    snprintf(title, sizeof title, "Cross-section x-z at y = %s µm%s", Um(L.cut_y).c_str(),
             NotToScale(L.xz).c_str());
    Section(out, s, L.xz, AX_X, L.cut_y, order, title, "x", 1);
    snprintf(title, sizeof title, "Cross-section y-z at x = %s µm%s", Um(L.cut_x).c_str(),
             NotToScale(L.yz).c_str());
    Section(out, s, L.yz, AX_Y, L.cut_x, order, title, "y", 2);
    Legend(out, s);
    out += "</svg>\n";
    return out;
}
