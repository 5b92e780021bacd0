// Where a walk absorbed by a floating conductor F goes on. With psi the
// potential of F held at 1 inside a closed surface S held at 0 (F's blocks
// grown by a margin, nothing else inside), F's zero charge and Green's second
// identity in the shell between them give V_F = integral over S of phi rho,
// rho = -eps dpsi/dn normalised: a positive average of the potential over S.
// So the walk goes on from a point of S drawn with density rho, its weight
// unchanged. rho depends only on F's shape, the margin and the medium in the
// shell; it is found once per distinct shell by a finite-volume solve.
#pragma once

#include <array>
#include <functional>
#include <vector>

#include "geometry.h"
#include "mersenne.h"

class ShellTable {
public:
    // One rectangle of S: the coordinate `fixed` along `axis` (0 x, 1 y,
    // 2 z), the other two axes in increasing order spanning [a0, a1] x [b0, b1],
    // relative to the shell's origin.
    struct Panel {
        int axis = 0;
        double fixed = 0.0, a0 = 0.0, a1 = 0.0, b0 = 0.0, b1 = 0.0;
    };
    std::vector<Panel> panels;
    std::vector<double> cumulative;  // of the panels' flux shares, ending at 1
    // Cells of the solve, and the residual flux imbalance between F and S
    // relative to the flux (how far the iteration left the discrete solution).
    long long cells = 0;
    double imbalance = 0.0;

    // Solves the shell between `blocks` (F's blocks, relative to the
    // origin) and the union of the blocks grown by `margin`, one per face
    // direction: -x +x -y +y -z +z. `eps(p)` is the permittivity at p
    // (relative to the origin); `planes` are heights where it may jump,
    // which the grid keeps as cell faces. `level`: cells of the least margin
    // / level next to every face, growing by 1 + 2 / level away from it.
    // Returns false, leaving the table empty, when the grid would exceed
    // `max_cells`.
    bool Solve(const std::vector<Cuboid>& blocks, const std::array<double, 6>& margin,
               const std::function<double(const Vector3&)>& eps, const std::vector<double>& planes, int level,
               long long max_cells);
    // The same margin on every side.
    bool Solve(const std::vector<Cuboid>& blocks, double h, const std::function<double(const Vector3&)>& eps,
               const std::vector<double>& planes, int level, long long max_cells)
    {
        return Solve(blocks, {h, h, h, h, h, h}, eps, planes, level, max_cells);
    }

    // A point of S with density rho, relative to the origin. Allocates
    // nothing: the walk's hot path calls it.
    Vector3 Draw(CRandomMersenne& rnd) const;
};
