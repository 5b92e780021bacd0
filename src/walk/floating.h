// Conductors that float: metal fill and unconnected metal, charge-neutral,
// at whatever potential their surroundings give them. A walk absorbed by one
// goes on from that conductor's own Gaussian surface (Randomwalk::Walk), so
// the row a master gets is the one among the other conductors with the
// floating ones eliminated.
#pragma once

#include <string>
#include <vector>

#include "gausssurface.h"
#include "geometry.h"
#include "layers.h"

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

    // Surfaces around every floating conductor. `owner[i]` is the conductor
    // of blocks[i]; `floating[c]` whether conductor c floats; `names[c]` its
    // name. `cross`: the single-medium first hop's weight per unit of
    // 1 / (2 radius). Returns false with the reason when a floating
    // conductor touches another conductor or no surface fits around it.
    bool Build(const std::vector<const Cuboid*>& blocks, const std::vector<int>& owner,
               const std::vector<bool>& floating, const std::vector<std::string>& conductor_names,
               const std::vector<Layer>& stack, double cross, std::string& error);
    // Whether some surface lies on a dielectric interface (half tables).
    bool OnInterface() const;
};

// For every block marked in `query`, the L-infinity gap to the nearest block
// of another owner and that block's index (-1 and a huge gap when there is
// none). Runs in time about linear in the blocks for layouts spread in x and
// y: blocks are bucketed on a grid in the plane.
void NearestForeignBlocks(const std::vector<const Cuboid*>& blocks, const std::vector<int>& owner,
                          const std::vector<bool>& query, std::vector<double>& gap,
                          std::vector<int>& nearest);
