// Exact transition probabilities and first-hop weights of the unit cube,
// homogeneous or split by one horizontal dielectric interface.
#pragma once

#include <vector>

// Panels per face edge of the tables: full cubes and half cubes.
const int FULL_SEGNUM = 31;
const int HALF_SEGNUM = 32;
// Cut positions of a full-cube table (interface at a / 31, a = 0..29).
const int CUT_COUNT = 30;

// The potential at the centre of the unit cube, and its gradient there, for
// boundary data 1 on one panel and 0 on the rest of the surface.
class CubeTable {
public:
    int segnum = 0;
    std::vector<double> prob;    // [face][panel], panel = row * segnum + column
    std::vector<double> weight;  // [axis][face][panel], axis 0 = x, 1 = y, 2 = z

    explicit CubeTable(int segnum_ = 0);
    int Panels() const { return segnum * segnum; }
    double& P(int f, int k) { return prob[f * Panels() + k]; }
    double P(int f, int k) const { return prob[f * Panels() + k]; }
    double& W(int d, int f, int k) { return weight[(d * 6 + f) * Panels() + k]; }
    double W(int d, int f, int k) const { return weight[(d * 6 + f) * Panels() + k]; }
    // Sum over all panels of |W| along axis d.
    double AbsWeightSum(int d) const;
};

// Permittivity dlow for z < cut and dhigh above; the centre is (1/2, 1/2, 1/2).
// When the centre lies on the interface, the z derivative is taken above it.
CubeTable SolveCube(int segnum, double dlow, double dhigh, double cut);

// The single-medium cube with 31 x 31 panels.
CubeTable SolveHomogeneous(int segnum = FULL_SEGNUM);

// Full cube at cut position a (0..29); a = 0 is the homogeneous cube.
CubeTable SolveCutCube(double dlow, double dhigh, int a);

// Cube centred on the interface, 32 x 32 panels.
CubeTable SolveHalfCube(double dlow, double dhigh);

// Eigenvalues s (mu = s^2) of (eps Z')' + mu eps Z = 0, Z(0) = Z(1) = 0, for
// eps = dlow below cut and dhigh above, ratio = dlow / dhigh: every root with
// s <= smax, in increasing order.
std::vector<double> LayeredEigenvalues(double cut, double ratio, double smax);

// The eigenfunction of eigenvalue s, normalised to Z = sin(s z) below the cut.
double LayeredEigenfunction(double cut, double ratio, double s, double z);
