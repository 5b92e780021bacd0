// Small value types shared by every subsystem, the integer grid of the
// spatial index and the face frames of a transition cube.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

template <typename T>
class BaseVector3 {
public:
    T x{}, y{}, z{};

    BaseVector3() = default;
    BaseVector3(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}

    T X() const { return x; }
    T Y() const { return y; }
    T Z() const { return z; }
};

typedef BaseVector3<double> Vector3;

template <typename T>
class BaseCuboid {
public:
    int32_t id = 0;  // conductor index (0 = master); 0 for non-conductor boxes
    T x0{}, y0{}, z0{};
    T x1{}, y1{}, z1{};

    BaseCuboid() = default;
    BaseCuboid(int32_t id_, T x0_, T y0_, T z0_, T x1_, T y1_, T z1_)
        : id(id_), x0(x0_), y0(y0_), z0(z0_), x1(x1_), y1(y1_), z1(z1_) {}
};

typedef BaseCuboid<double> Cuboid;

// The smallest box holding every one of `boxes` (at least one), id 0.
inline Cuboid BoundingBox(const std::vector<const Cuboid*>& boxes)
{
    Cuboid b = *boxes[0];
    for (const Cuboid* c : boxes) {
        b.x0 = std::min(b.x0, c->x0);
        b.y0 = std::min(b.y0, c->y0);
        b.z0 = std::min(b.z0, c->z0);
        b.x1 = std::max(b.x1, c->x1);
        b.y1 = std::max(b.y1, c->y1);
        b.z1 = std::max(b.z1, c->z1);
    }
    b.id = 0;
    return b;
}

template <typename T>
class BaseCube {
public:
    BaseVector3<T> center;
    T radius{};  // half side (L-infinity radius)

    BaseCube() = default;
    BaseCube(const BaseVector3<T>& c, T r) : center(c), radius(r) {}
};

typedef BaseCube<double> Cube;

class Medium {
public:
    const Cuboid* block = nullptr;
    double diel = 0.0;

    Medium() = default;
    Medium(const Cuboid* b, double d) : block(b), diel(d) {}
};

class PointOnCube {
public:
    int32_t fno = 0;
    double u = 0.0;
    double v = 0.0;
    int32_t strata = 0;

    PointOnCube() = default;
    PointOnCube(int32_t f, double u_, double v_, int32_t s) : fno(f), u(u_), v(v_), strata(s) {}
};

// Grid cells per length unit of the deck.
const int GRID_SCALE = 5000;
// The thinnest box the grid resolves: ten cells (0.002 um), so that
// rounding its faces onto the grid moves its extent by a tenth at most.
const double GRID_RESOLVED = 10.0 / GRID_SCALE;
// The farthest a coordinate may lie from the origin, about 214748 um: twice
// its grid value must still be a 32-bit int.
const double GRID_REACH = (2147483647.0 / 2.0 - 0.5) / GRID_SCALE;

// c * 5000 rounded to the nearest integer, halves away from zero. The half
// takes the sign of the product (that of c, and 0 either way at zero), so
// the walk's random signs cost no mispredicted branch.
inline int ToGrid(double c)
{
    // The sign of c is that of the product, so the half is taken from c:
    // it is ready before the product, which the walk's next search waits on.
    const double t = c * 5000.0;
    return (int)(t + std::copysign(0.5, c));
}

inline BaseVector3<int> ToGrid(const Vector3& p)
{
#if defined(__SSE2__) && defined(__x86_64__)
    // x and y side by side, as a hop computes them: the same products, sums
    // and truncations (cvttpd2dq truncates as cvttsd2si does, out-of-range
    // values included), in half the instructions.
    const __m128d c = _mm_set_pd(p.y, p.x);
    const __m128d t = _mm_mul_pd(c, _mm_set1_pd(5000.0));
    const __m128d half = _mm_or_pd(_mm_and_pd(c, _mm_set1_pd(-0.0)), _mm_set1_pd(0.5));
    const uint64_t xy = (uint64_t)_mm_cvtsi128_si64(_mm_cvttpd_epi32(_mm_add_pd(t, half)));
    return BaseVector3<int>((int)(uint32_t)xy, (int)(uint32_t)(xy >> 32), ToGrid(p.z));
#else
    return BaseVector3<int>(ToGrid(p.x), ToGrid(p.y), ToGrid(p.z));
#endif
}

inline BaseCuboid<int> ToGrid(const Cuboid& c)
{
    return BaseCuboid<int>(0, ToGrid(c.x0), ToGrid(c.y0), ToGrid(c.z0),
                           ToGrid(c.x1), ToGrid(c.y1), ToGrid(c.z1));
}

// Each face's corner (the side of the centre it lies on, per axis) and the
// axes its u and v run along.
struct FaceFrame {
    double side[3], along_u[3], along_v[3];
};
inline constexpr FaceFrame FACE_FRAMES[6] = {
    {{-1, -1, -1}, {1, 0, 0}, {0, 1, 0}},  // z = cz - r
    {{-1, -1, -1}, {1, 0, 0}, {0, 0, 1}},  // y = cy - r
    {{1, -1, -1}, {0, 1, 0}, {0, 0, 1}},   // x = cx + r
    {{-1, 1, -1}, {1, 0, 0}, {0, 0, 1}},   // y = cy + r
    {{-1, -1, -1}, {0, 1, 0}, {0, 0, 1}},  // x = cx - r
    {{-1, -1, 1}, {1, 0, 0}, {0, 1, 0}},   // z = cz + r
};

// Point (u, v) of face fno of the cube: the one face frame convention of
// every table file and sampling routine. Each coordinate is (c -+ r) + w L
// with w one of u, v, 0 per the face's frame, the same roundings as the
// plain formula per face, but picked from a table: every hop lands on a
// random face, and a jump on it would mispredict most of the time. A face
// outside 0..5 counts as face 5.
inline Vector3 FacePoint(const Cube& cube, int fno, double u, double v)
{
    const FaceFrame& f = FACE_FRAMES[(unsigned)fno > 5u ? 5 : fno];
    const double r = cube.radius;
    const double L = 2.0 * r;
    const double c[3] = {cube.center.x, cube.center.y, cube.center.z};
    double p[3];
    for (int a = 0; a < 3; ++a)
        p[a] = (c[a] + f.side[a] * r) + (u * f.along_u[a] + v * f.along_v[a]) * L;
    return Vector3(p[0], p[1], p[2]);
}
