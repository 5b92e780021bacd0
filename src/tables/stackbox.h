// Exit laws of boxes cut by several planar interfaces. Where a stack has
// bands thinner than the distance to the nearest conductor, a cube that may
// hold one interface stays as thin as the bands and a walk crawls through
// them in thousands of hops. A box whose bottom and top are interfaces and
// that holds any number of them in between lets the walk take hops as long
// as the conductors allow. Its exit law is the series solution of
// div(eps grad u) = 0 for eps piecewise constant in z, exact up to the
// dropped modes (below 1e-10), tabulated for start heights on a grid and
// made on first use.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "layers.h"

// The law of one box shape: height 1, lateral side `aspect`, interfaces at
// `cuts` (relative heights in (0, 1)), permittivity eps[i] between cuts i-1
// and i. The start point lies on the box's vertical axis at relative height
// r, one of `nodes`. By symmetry one quarter of the bottom and top faces and
// one half of one side face stand for all: an entry of the table is one
// panel of those, its probability counting all its images.
class StackBoxLaw {
public:
    int S = 0;     // panels per lateral edge of a face (even)
    int SZ = 0;    // panel rows of a side face
    std::vector<double> zb;  // their bounds, split at the cuts
    double aspect = 1.0;
    std::vector<double> cuts, eps, nodes;
    // Per node: cumulative probabilities over the entries, bottom quarter
    // (S/2 x S/2), top quarter, then side half (S/2 along the side x SZ).
    std::vector<float> cdf;
    // First hops, per node: the density |eps dP/dz| (same entries) and
    // |dP/dx| (bottom and top quarters, then the side halves across x and
    // along x), cumulative, with each entry's sign and the density's total.
    std::vector<float> zcdf, xcdf;
    std::vector<signed char> zsign, xsign;
    std::vector<double> ztotal, xtotal;

    int Quarter() const { return (S / 2) * (S / 2); }
    int Entries() const { return 2 * Quarter() + (S / 2) * SZ; }
    int XEntries() const { return 2 * Quarter() + 2 * (S / 2) * SZ; }
    const float* NodeCdf(int k) const { return cdf.data() + (size_t)k * Entries(); }
};

// For one start at relative height r: the probabilities, eps dP/dz and
// dP/dx of every entry (images counted, signed as the base image).
struct StackBoxSample {
    std::vector<double> p, fz, wx;
};
StackBoxSample StackBoxProbabilities(const std::vector<double>& cuts, const std::vector<double>& eps,
                                     double aspect, double r, int S, int SZ);

// The whole law: `steps` + 1 nodes evenly in [1/4, 3/4] and one at every
// cut there. Without `weights` the first-hop densities are left empty.
StackBoxLaw SolveStackBox(const std::vector<double>& cuts, const std::vector<double>& eps, double aspect,
                          bool weights = true, int S = 24, int SZ = 32, int steps = 16);

// The box chosen for one hop.
struct StackBoxChoice {
    int a = -1, b = -1, q = -1;  // lower and upper interface, aspect index
    double reach = 0.0;          // distance from the start to the box's surface
};

// The boxes of one run's stack, made on first use by whichever walker needs
// one and shared by all. Reading a made law takes no lock.
class StackBoxes {
public:
    static const int ASPECTS = 4;
    static const int PLANES_PER_BAND = 2;
    static const int OUTER_PLANES = 24;
    static const int REFINE_PLANES = 8;
    static const double ASPECT[ASPECTS];
    // The planes a box may end on: the finite interfaces and the quarters
    // of the bands between them; the permittivity above each (eps_above[i])
    // and below the lowest.
    std::vector<double> z, eps_above;
    double eps_bottom = 1.0;
    // Planes looked at on either side of a start, and whether the laws
    // carry the first-hop densities.
    int candidates = 16;
    bool weights = false;
    // Panels and nodes of every law, times this: measures what the
    // discretisation costs in bias.
    int refine = 1;
    // Where laws are kept between runs ("" : nowhere). A calibration runs
    // hundreds of patterns over one stack, which share their laws.
    std::string cache_dir;

    // Null when the stack has fewer than two finite interfaces. With
    // near_interfaces, planes close to every interface too (first hops).
    static StackBoxes* Build(const std::vector<Layer>& layers, bool near_interfaces = false);
    ~StackBoxes();

    // The box of largest reach for a start at height z0 with no conductor
    // within d (L-infinity); reach 0 when no box fits.
    StackBoxChoice Choose(double z0, double d) const;
    const StackBoxLaw& Law(const StackBoxChoice& c);
    // Laws made so far (benchmarks, the report).
    int Made() const { return made.load(); }
    // Whether this thread is making a law: the only time a walk allocates,
    // once per law and run (the allocation test leaves it out).
    static bool Making();

private:
    std::vector<std::atomic<const StackBoxLaw*>> laws;
    std::mutex lock;
    std::atomic<int> made{0};
    explicit StackBoxes(size_t slots) : laws(slots) {}
    size_t Slot(int a, int b, int q) const { return ((size_t)a * z.size() + b) * ASPECTS + q; }
};

// Laws of boxes layered along any axis (between the films of neighbouring
// wires, across a face of the Gaussian surface, through films that lie
// flat), keyed by their layers and side ratio, made on first use and shared
// by all threads. Reading a made law takes no lock, and finding it one probe
// or two of a hashed index: the flat films' boxes look theirs up on every
// such hop, among dozens.
class LayeredBoxLaws {
public:
    static const int SLOTS = 256;
    // Without `weights` the laws leave out the first-hop densities, which
    // the hops between planes never read, and are made in half the time.
    explicit LayeredBoxLaws(bool weights = true);
    ~LayeredBoxLaws();
    // Null once SLOTS laws are made.
    const StackBoxLaw* Get(const std::vector<double>& cuts, const std::vector<double>& eps, double aspect);
    int Made() const { return made.load(); }
    // Where laws are kept between runs ("" : nowhere), as for StackBoxes:
    // a law takes milliseconds to make, a short run's walks as long.
    std::string cache_dir;

private:
    static const int INDEX = 4 * SLOTS;  // a power of two
    bool weights;
    std::array<std::atomic<const StackBoxLaw*>, SLOTS> laws;
    std::array<std::vector<double>, SLOTS> keys;
    std::array<uint64_t, SLOTS> hashes{};
    std::array<std::atomic<int>, INDEX> index;  // slot of a law, or -1
    std::mutex lock;
    std::atomic<int> made{0};
};

// Writes a kept law to `path` in folder `dir` whole or not at all: through
// a file of this process's own, renamed into place, so that runs sharing
// the cache never read half a law.
void StoreWhole(const std::string& dir, const std::string& path, const std::string& bytes);

// A point of the box drawn from its law: the caller's uniforms pick the
// node (mixture between the two nodes around r), the entry, the image and
// the place in the panel. Returned relative to the box: x, y in [0, aspect],
// z in [0, 1].
struct BoxPoint {
    double x, y, z;
};
BoxPoint DrawStackBox(const StackBoxLaw& law, double r, double u_node, double u_entry, double u_image,
                      double u_place);
// A first hop's point, drawn by |eps dP/dz| (along_z) or |dP/dx|, and its
// weight: sign times the density's total, per unit of the box's height
// (along z a flux: divide by the start's permittivity).
BoxPoint DrawStackBoxWeighted(const StackBoxLaw& law, double r, bool along_z, double u_node, double u_entry,
                              double u_image, double u_place, double& weight);
