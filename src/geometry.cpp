#include "geometry.h"

Vector3 FacePoint(const Cube& cube, int fno, double u, double v)
{
    const double r = cube.radius;
    const double L = 2.0 * r;
    const double cx = cube.center.x, cy = cube.center.y, cz = cube.center.z;
    switch (fno) {
    case 0: return Vector3(cx - r + u * L, cy - r + v * L, cz - r);
    case 1: return Vector3(cx - r + u * L, cy - r, cz - r + v * L);
    case 2: return Vector3(cx + r, cy - r + u * L, cz - r + v * L);
    case 3: return Vector3(cx - r + u * L, cy + r, cz - r + v * L);
    case 4: return Vector3(cx - r, cy - r + u * L, cz - r + v * L);
    default: return Vector3(cx - r + u * L, cy - r + v * L, cz + r);
    }
}
