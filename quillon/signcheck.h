// How much first-hop weight a geometric sign rule gets wrong.
#pragma once

#include "cubesolver.h"

// +1 when panel (fno, index) lies on the positive side of the cube's
// mid-plane across axis (0 = x, 1 = y, 2 = z), -1 otherwise, with the panel
// split conventions of the walker's sign rule (centre row/column included).
int GeometricSide(int axis, int fno, int index, int segnum);

// Fraction of sum |W_axis| on panels whose weight sign differs from GeometricSide.
double SignMismatchShare(const CubeTable& cube, int axis);
