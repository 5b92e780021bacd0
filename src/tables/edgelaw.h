// Exit laws of cubes centred on an edge of a dielectric body. Beside the
// edge of a film no cube of one medium or of one planar interface reaches
// farther than the point's distance to the edge, so walks near edges shrink
// their cubes towards it and crawl. A cube centred on the edge line, whose
// cross-section is four quadrants of uniform permittivity, reaches as far as
// the next feature instead.
//
// The configuration does not change along the edge, so the Green's function
// of the cube separates into sine modes along it; each mode is a 2-D
// screened problem on the cross-section, solved by finite volumes on a grid
// whose lines hold both interfaces, from a point source at every start node.
// The flux of a mode through the cross-section's border gives the side
// faces; its screened mass gives the end faces, whose series in the modes
// converges slowly and is summed exactly to its limit (the mass of every
// mode tends to the source's own cell).
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// Table frame: the cube [-1, 1]^3, the edge along y through its centre,
// quadrant q of the cross-section (0: x < 0, z < 0; 1: x > 0, z < 0;
// 2: x < 0, z > 0; 3: x > 0, z > 0) of permittivity eps[q]. Starts lie on
// the plane y = 0 at offsets (a, b) within [-span, span]^2 of the edge, on a
// grid of K x K nodes.
class EdgeLaw {
public:
    std::array<double, 4> eps{{1, 1, 1, 1}};
    double span = 0.25;
    int P = 0;  // panels per side of a face
    int K = 0;  // nodes per axis
    // Faces 0..5: x = -1, x = +1, y = -1, y = +1, z = -1, z = +1; a face's
    // panels are indexed (u, v) over its two other axes in increasing
    // order (x faces: y, z; y faces: x, z; z faces: x, y), u major.
    int Entries() const { return 6 * P * P; }
    // Per node (a index major): the probabilities, then cumulative.
    std::vector<double> prob;
    std::vector<float> cdf;
    double Node(int i) const { return -span + 2 * span * i / (K - 1); }
    const double* NodeProb(int ia, int ib) const { return prob.data() + ((size_t)ia * K + ib) * Entries(); }
    const float* NodeCdf(int ia, int ib) const { return cdf.data() + ((size_t)ia * K + ib) * Entries(); }
};

// `cells` grid cells per side of the cross-section (P and K - 1 divide
// cells and cells * span respectively, K odd), odd modes up to `modes`.
EdgeLaw SolveEdgeLaw(const std::array<double, 4>& eps, int P = 16, int K = 13, int cells = 48, int modes = 31,
                     double span = 0.25);

// A point of the cube's surface for a start at (a, b), drawn with the
// mixture of the four nodes around it that interpolates their laws
// linearly; the uniforms pick the nodes, the entry and the place in it.
struct EdgePoint {
    double x, y, z;
};
EdgePoint DrawEdge(const EdgeLaw& law, double a, double b, double ua, double ub, double u_entry, double u1,
                   double u2);

// The laws of one run, one per permittivity pair (that of the odd quadrant,
// that of the other three; the odd one is turned into quadrant 3), made on
// first use by whichever walker needs one and shared by all. Reading a made
// law takes no lock.
class EdgeLaws {
public:
    static const int SLOTS = 64;
    // The share of a cube's half side within which its start may lie.
    static constexpr double SPAN = 0.25;
    EdgeLaws();
    ~EdgeLaws();
    // Null when SLOTS pairs are made already.
    const EdgeLaw* Get(double odd, double rest);
    // Where laws are kept between runs ("": nowhere). A kept law is taken
    // only when its whole key and the digest of its bytes match.
    std::string cache_dir;
    int Made() const { return made.load(); }
    // Whether this thread is making a law (the walk's one allocation).
    static bool Making();

private:
    std::array<std::atomic<const EdgeLaw*>, SLOTS> laws;
    std::array<double, SLOTS> odd_of{}, rest_of{};
    std::mutex lock;
    std::atomic<int> made{0};
};
