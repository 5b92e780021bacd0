// Conductors that float: metal fill and unconnected metal, charge-neutral,
// at whatever potential their surroundings give them. A walk absorbed by one
// goes on from a surface around that conductor (Randomwalk::Walk), so the
// row a master gets is the one among the other conductors with the floating
// ones eliminated.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "gausssurface.h"
#include "geometry.h"
#include "layers.h"
#include "shelltable.h"

struct FloatingSet {
    // Per floating conductor, in the order given to Build.
    std::vector<std::string> names;
    std::vector<GaussSurface> surfaces;
    // The first hop's weight magnitude off the surface when the cube reaches
    // the conductor: a leg's weight is measured in this unit.
    std::vector<double> scale;
    // For the selected master: per slot, the floating conductor it is or -1;
    // per floating conductor, its slot.
    std::vector<int> of_slot;
    std::vector<int> slot;
    // The start laws of the shells, one per distinct shape, margins and
    // medium; per floating conductor its table (-1: its shell grid was too
    // large, and its walks take signed legs from its Gaussian surface) and
    // the table's origin.
    std::vector<ShellTable> shells;
    std::vector<int> shell_of;
    std::vector<Vector3> origin;
    // Per floating conductor, its shell's margins (-x +x -y +y -z +z).
    std::vector<std::array<double, 6>> margins;
    // Cells next to a face per margin in the shell solve, and the largest grid.
    static const int SHELL_LEVEL = 8;
    static const long long SHELL_MAX_CELLS = 2000000;
    // The shell's margin per face direction as a share of the free distance
    // before that face.
    static constexpr double SHELL_REACH = 0.95;
    // and no farther than this many times the conductor's largest extent:
    // beyond that little flux crosses the face, while a margin out to the
    // window (a fill square at the edge of an array) makes a grid of
    // hundreds of thousands of cells and seconds of solving per shell.
    static constexpr double SHELL_SIZES = 2.0;

    // Surfaces around every floating conductor. `owner[i]` is the conductor
    // of blocks[i]; `floating[c]` whether conductor c floats; `names[c]` its
    // name. `cross`: the single-medium first hop's weight per unit of
    // 1 / (2 radius). `body_eps`, when set, is the permittivity at a point
    // where dielectric bodies lie in the stack. The shells stay inside
    // `window` (null: the walks' space is open). Returns false with the
    // reason when a floating conductor touches another conductor or no
    // surface fits around it.
    bool Build(const std::vector<const Cuboid*>& blocks, const std::vector<int>& owner,
               const std::vector<bool>& floating, const std::vector<std::string>& conductor_names,
               const std::vector<Layer>& stack, double cross, std::string& error,
               const std::function<double(const Vector3&)>& body_eps = nullptr, const Cuboid* window = nullptr);
    // Where a walk absorbed by floating conductor k goes on, when it has a shell.
    Vector3 ShellPoint(int k, CRandomMersenne& rnd) const
    {
        const Vector3 p = shells[shell_of[k]].Draw(rnd);
        const Vector3& o = origin[k];
        return Vector3(p.x + o.x, p.y + o.y, p.z + o.z);
    }
    // Whether some surface lies on a dielectric interface (half tables).
    bool OnInterface() const;
    // Whether every floating conductor has a shell table: the walks of a
    // chunk may then share their continuations (ContinuationPool). Set by
    // Build, read once per chunk.
    bool all_shells = false;
    bool AllShells() const { return all_shells; }
};

struct ChunkSums;

// Continuations shared within a chunk. A walk absorbed by floating
// conductor F is worth its weight times P_F(j), the chance that a walk
// going on from F's shell ends on conductor j; what came before it does not
// matter. Following every such walk on to its end spends as many hops again
// as the walk took to reach F, so only some go on, chosen from the weights
// of the chunk's walks F absorbed so far, never from where continuations
// ended: the first two, and then while the continuations number fewer than
// the weights' sum over their root-mean-square. The shared estimate's noise
// grows with the square of that sum while the walks' own grows with the sum
// of squares, so this spends continuations where the estimate's noise would
// outweigh the walks' (weights of one sign) and few where signed weights
// cancel. Each of the chunk's walks that reached F is then credited its
// weight times the share of F's continuations in the chunk that ended on j.
// Those continuations are independent draws of P_F whichever walks they came
// from, so the chunk's sums stay unbiased; the squares are corrected for the
// one estimate of P_F the walks share.
struct ContinuationPool {
    struct Hit {
        int k, stratum;
        double half_weight;
    };
    struct End {
        int k, slot;
    };
    std::vector<Hit> hits;  // the chunk's walks absorbed by a floating conductor
    std::vector<End> ends;  // where the continuations ended
    std::vector<int> seen;  // per floating conductor, its absorptions so far
    std::vector<int> went;  // and those that went on
    std::vector<double> net, squares;  // their half weights' sum and sum of squares
    std::vector<int> seen_list;

    // Room for `floating` conductors and `walks` walks a chunk (allocates).
    void Size(int floating, long long walks);
    // Whether the walk of this half weight just absorbed by floating
    // conductor k goes on.
    bool GoOn(int k, double half_weight);
    // Credits the chunk's absorbed walks to `out` (whose counts already hold
    // them) as above, adds the continuations to the potentials, and clears
    // the pool. `share`: the strata's probabilities. Allocates nothing.
    void Fold(ChunkSums& out, const double* share);
};
