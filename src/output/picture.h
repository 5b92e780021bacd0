// A self-contained SVG drawing of a deck as the solver sees it: a top view
// and the x-z and y-z cross-sections through the master's centre, with the
// conductors, the dielectric layers, the Gaussian surface and the window.
#pragma once

#include "geometry.h"

#include <string>
#include <vector>

struct SceneLayer {
    double z0, z1;  // may reach +-1e100 for the unbounded outer layers
    double eps;     // relative permittivity; < 0 when no medium sets it
};

// A dielectric body: it holds over the layers where it lies.
struct SceneBodyBox {
    Cuboid box;
    double eps;
};

struct DeckView {
    std::vector<std::string> names;  // conductor names, the master first
    std::vector<Cuboid> blocks;      // id = index into names
    std::vector<SceneLayer> layers;  // bottom to top
    std::vector<SceneBodyBox> bodies;  // a later one holds where they overlap
    Cuboid window;                   // the deck's window
    Cuboid enlarged;                 // the window the walks run in
    Cuboid gauss;                    // bounds every box of the surface
    std::vector<Cuboid> gauss_boxes; // the surface bounds their union; empty: gauss alone
    bool has_gauss = false;
};

// Where a panel puts world coordinates (um) on the canvas (px, y down).
struct PanelMap {
    double left, top, width, height;  // plot area
    double u0, u1, v0, v1;            // world range shown
    double X(double u) const { return left + (u - u0) / (u1 - u0) * width; }
    double Y(double v) const { return top + height - (v - v0) / (v1 - v0) * height; }
};

struct PictureLayout {
    double width, height;
    PanelMap top_view;  // u = x, v = y
    PanelMap xz;        // u = x, v = z, cut at the master's centre y
    PanelMap yz;        // u = y, v = z, cut at the master's centre x
    double cut_x, cut_y;
};

PictureLayout LayoutPicture(const DeckView& scene);

// Fill colours as "#rrggbb": the master's, that of conductor `id` (> 0),
// and the shade of permittivity `eps` among the scene's layers.
std::string MasterColour();
std::string ConductorColour(int id);
std::string LayerShade(const DeckView& scene, double eps);
// The permittivities of the bodies, ascending; body colour k is BodyColour(k).
std::vector<double> BodyPermittivities(const DeckView& scene);
std::string BodyColour(size_t k);

std::string DrawPicture(const DeckView& scene);
