// Dielectric bodies: media that are boxes inside the planar bands (films
// around wires, spacers, trenches), and the surfaces across which the
// permittivity changes once bodies and bands are put together.
//
// A walk near bodies takes only three kinds of step, each exact or of
// bounded, measured bias: a cube that meets no such surface (single-medium
// tables), a cube centred on one planar piece of it with one permittivity on
// each side (the half-cube tables of the pair, turned so that their z axis is
// the piece's normal), and, where neither fits a cube of useful size (at the
// edges and corners of bodies), one finite-volume step.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "geometry.h"

class Layer;

// A rectangle of a plane normal to `axis` across which the permittivity
// steps from eps_neg (lower coordinate) to eps_pos.
struct DielPatch {
    int axis = 2;
    double pos = 0.0;
    double lo[2] = {0, 0}, hi[2] = {0, 0};  // along axes (axis+1)%3 and (axis+2)%3
    double eps_neg = 1.0, eps_pos = 1.0;
};

class DielBodies {
public:
    struct Body {
        Cuboid box;
        double eps;
    };
    // Precedence order: where bodies overlap, the later one holds.
    std::vector<Body> bodies;
    // Pieces of body faces across which the permittivity steps.
    std::vector<DielPatch> patches;
    // Band interfaces (permittivity steps of the planar stack) and the
    // permittivity of each band: band_eps[k] lies below band_z[k].
    std::vector<double> band_z, band_eps;

    // `media` are the body blocks in precedence order, `layers` the planar
    // stack the bands made.
    void Build(const std::vector<const Medium*>& media, const std::vector<Layer>& layers);
    bool Empty() const { return bodies.empty(); }

    double BandEps(double z) const;
    // The permittivity at p: the last body holding p, else its band.
    double EpsAt(const Vector3& p, bool* in_body = nullptr) const;

    // What a hop from p may do. `on` is the patch p lies on (-1: none; -2:
    // on two pieces that differ, an edge); `clear` the L-infinity distance to
    // the nearest patch (without the ones p lies on); `clear_on` the same
    // without every patch coplanar with `on` and of its permittivities.
    struct Near {
        int on = -1;
        double clear = 1e300;
        double clear_on = 1e300;
        int nearest = -1;  // the patch at distance `clear`
        // What ClearExcept(p, reach, patches[nearest]) needs, gathered on
        // the way: the nearest patch met that is not part of the nearest's
        // piece, and a distance within which every patch was met. When the
        // one is within the other, the second search is not needed.
        double reach = 0.0;
        double other_piece = 1e300;
        double met_within = 0.0;
    };
    Near Query(const Vector3& p, double reach) const;
    // Distance to the nearest patch that is not part of the same planar
    // piece of interface as `piece` (coplanar, same permittivities).
    double ClearExcept(const Vector3& p, double reach, const DielPatch& piece) const;
    // Distance from z to the nearest band interface other than one at z
    // itself or at `skip`.
    double BandClearance(double z, bool& on_band, double skip) const;
    double BandClearance(double z, double skip) const
    {
        bool on;
        return BandClearance(z, on, skip);
    }

    // Finite-volume weights of the six steps of length h from p, in the
    // order -x, +x, -y, +y, -z, +z; they sum to 1.
    void StepWeights(const Vector3& p, double h, double w[6]) const;

    // The plane a cut cube about p may hold: the band interface or the
    // planar piece that bounds p's whole-medium cube, with the permittivity
    // on each side (equal for a band interface inside a body), and the
    // radius of a cube that meets nothing else. False when p lies on an
    // interface or its cube is bounded by conductors.
    bool CutPlane(const Vector3& p, double reach, const Near& near, bool on_band, double band_clear,
                  DielPatch& plane, double& radius) const;

    // A cube centred on an edge of the interface near p: the edge runs along
    // `axis` through `centre`; across it the permittivity is uniform in each
    // of the four quadrants of the axes a (table x) and b (table z), `odd` in
    // the one on the side sa of a and sb of b, `rest` in the other three.
    // No other interface lies within `half` of the centre.
    struct Edge {
        int axis = 0, a = 0, b = 0;
        double sa = 1, sb = 1;
        Vector3 centre;
        double half = 0.0;
        double odd = 1.0, rest = 1.0;
    };
    // The edge of patch k nearest p, with the cube about it inside the cube
    // of half side `room` about p, when that cube holds p within `span` of
    // its half side from the edge's line and is at least `least`; false
    // otherwise.
    bool EdgeCube(const Vector3& p, int k, double room, double least, double span, Edge& out) const;

    // Whether the box about p, `along` to either side on axis n and `across`
    // on the other two, is layered along n: every interface in it a plane
    // across n. Gives the planes (relative to the box's height, from its
    // low end) where the permittivity steps and the permittivity of each
    // layer; false when it is not layered or holds no step.
    bool LayersAlong(const Vector3& p, int n, double along, double across, std::vector<double>& cuts,
                     std::vector<double>& eps) const;

    // Whether a face of box g lies within `gap` of the plane of a parallel
    // patch that it meets.
    bool NearSomePatch(const Cuboid& g, double gap) const;

    // Whether some body reaches into box g (the bands alone fill the rest).
    bool BodyMeets(const Cuboid& g) const;

    // The heights of every horizontal interface: the band interfaces and
    // the planes of the horizontal pieces of body faces, ascending.
    std::vector<double> ZPlanes() const;

    // Every ordered permittivity pair (negative side, positive side) of a patch.
    std::vector<std::pair<double, double>> Pairs() const;

private:
    double bx0 = 0, by0 = 0, bin_x = 1, bin_y = 1;
    int nx = 0, ny = 0;
    std::vector<std::vector<int>> body_bins;
    // Each patch as a flat box in space coordinates, for the searches, with
    // its index and normal. A bin's patches lie side by side in `binned`
    // (bin b from bin_first[b] to bin_first[b + 1]): a hop searches nine
    // bins or so and reads them in a few runs instead of through indices.
    struct Flat {
        double lo[3], hi[3];
        int index, axis;
        int piece;  // patches of one plane and one pair of permittivities share it
    };
    std::vector<Flat> binned;
    std::vector<uint32_t> bin_first;
    int BinX(double x) const;
    int BinY(double y) const;
    void AddToBins(std::vector<std::vector<int>>& bins, int index, double x0, double y0, double x1, double y1);
    void FacePatches(const Body& b, int axis, bool high);
    template <class F>
    double ForNear(const Vector3& p, double reach, double& bound, F f) const;
};
