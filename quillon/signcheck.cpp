#include "signcheck.h"

#include <cmath>

int GeometricSide(int axis, int fno, int index, int segnum)
{
    const int col = index % segnum;
    const int half = segnum / 2;
    const bool low_index = index < segnum * segnum / 2;
    bool negative = false;
    if (axis == 2) {
        negative = fno == 0 || (fno != 5 && low_index);
    } else if (axis == 1) {
        if (fno == 1 || fno == 3)
            negative = fno == 1;
        else if (fno == 2 || fno == 4)
            negative = col < half;
        else
            negative = low_index;
    } else {
        if (fno == 2 || fno == 4)
            negative = fno == 4;
        else
            negative = col < half;
    }
    return negative ? -1 : 1;
}

double SignMismatchShare(const CubeTable& cube, int axis)
{
    double wrong = 0.0;
    for (int f = 0; f < 6; ++f)
        for (int k = 0; k < cube.Panels(); ++k) {
            double w = cube.W(axis, f, k);
            if (w * GeometricSide(axis, f, k, cube.segnum) < 0) wrong += std::fabs(w);
        }
    return wrong / cube.AbsWeightSum(axis);
}
