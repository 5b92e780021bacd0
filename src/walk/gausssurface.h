// The Gaussian surface of a master made of several blocks: the boundary of
// the union of its blocks, each grown by its own margin. The surface is kept
// as the exposed rectangles of the grown boxes' faces, cut by the dielectric
// layers, with one cumulative weight table, so that drawing a start point is
// a binary search.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "geometry.h"
#include "layers.h"
#include "mersenne.h"

// One rectangle of the surface, inside one dielectric layer.
struct GaussPatch {
    int face = 0;        // outward normal, in the face numbering of a cube
    double fixed = 0.0;  // coordinate along the normal
    double a0 = 0.0, a1 = 0.0;  // along x on faces 0, 1, 3, 5; along y on faces 2, 4
    double b0 = 0.0, b1 = 0.0;  // along y on faces 0, 5; along z on the side faces
    double dist = 1.0;          // divisor of the start density on the face it lies on
    double eps = 1.0;           // permittivity of its layer
};

// Per-face divisors of a grown box, face order of a cube.
typedef std::array<double, 6> FaceDivisors;

class GaussSurface {
public:
    std::vector<GaussPatch> patches;
    std::vector<double> cumulative;  // running sum of the patch weights
    double total = 0.0;
    double face_share[6] = {0, 0, 0, 0, 0, 0};
    // Some patch lies on a dielectric interface: its walks start with
    // half-cube hops, which need the half-space tables.
    bool on_interface = false;

    // Twice the gap between block and grown box on every face, or 1 on
    // every face when the density ignores the distance (gauss_select 0).
    static FaceDivisors Divisors(const Cuboid& block, const Cuboid& grown, int gauss_select);

    // The parts of face `face` of boxes[i] that lie outside every other box,
    // as rectangles (dist and eps left at their defaults). Where faces of two
    // boxes coincide in position and direction, the earlier box keeps the
    // common part, so no piece of the surface is counted twice.
    static std::vector<GaussPatch> Exposed(const std::vector<Cuboid>& boxes, std::size_t i,
                                           int face);

    // Builds the patches and their weights (area x permittivity / divisor)
    // from the grown boxes, in the layers of the stack. Returns false when a
    // patch lies outside the stack.
    bool Build(const std::vector<Cuboid>& grown, const std::vector<FaceDivisors>& dist,
               const std::vector<Layer>& stack);

    // A start point, the face it lies on and that face's divisor. Draws
    // like the single-box surface: the patch and a point on a horizontal
    // patch from rnd, a point on a side patch from rnd and one of 50 height
    // slices from slice.
    Vector3 Draw(CRandomMersenne& rnd, CRandomMersenne& slice, int& id_gss, double& dist) const;
};
