static const char KORVA_SOURCE[] = "src/tablecheck";

#include "tablecheck.h"

#include <unistd.h>

#include <cfloat>
#include <cstdint>
#include <cmath>
#include <limits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

#include "log.h"

namespace TableCheck {

namespace {

// Sums of probabilities and densities are exact up to rounding in the
// generator; anything further off is damage, not rounding.
const double SUM_TOL = 1e-9;
// Values that symmetry makes equal (relative).
const double SYM_TOL = 1e-6;
// How far two orders of adding one cube's values (at most a few thousand,
// all >= 0, summing near 1) can differ: n * 2^-52 at most, about 1.4e-12.
const double ORDER_SLACK = 1e-11;
// The relations below hold exactly for the generator's panel integrals of
// the series solution; its tables meet them to a few 1e-14 for permittivity
// ratios from 1:100 to 100:1. The bounds leave five orders of magnitude for
// rounding, and any damage beyond them moves a capacitance by less than
// about one part in 1e9.
// Mirror images, relative to the largest value of the block.
const double MIRROR_TOL = 1e-9;
// Mean of the uniform field under transition probabilities, relative to
// the field's largest value on the surface.
const double PROB_MOMENT_TOL = 1e-9;
// Sum of signed weights, relative to the sum of their magnitudes.
const double WEIGHT_TOTAL_TOL = 1e-9;
// Gradient of the uniform field from the weights, relative; the same from
// weight sums times the densities of the paired table.
const double WEIGHT_MOMENT_TOL = 1e-9;
const double PAIR_TOL = 1e-9;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char buf[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

bool SameWithin(double a, double b, double rel)
{
    return std::fabs(a - b) <= rel * std::max(std::fabs(a), std::fabs(b));
}


// Lowest value each sign rule allows (> 0, >= 0, any); every rule also
// refuses NaN and infinities.
double Lowest(int sign)
{
    return sign > 0 ? std::numeric_limits<double>::denorm_min() : sign == 0 ? 0.0 : -DBL_MAX;
}

// One pass over n values: whether all lie in [lo, DBL_MAX], and their
// (absolute) sum. Whole vectors of four and no branches keep it at memory
// speed, a small part of what loading the same values costs.
typedef double V2 __attribute__((vector_size(16)));
typedef long long M2 __attribute__((vector_size(16)));

template <bool ABSOLUTE>
bool ScanAs(const double* v, int n, double lo, double& sum)
{
    const M2 magnitude = {INT64_MAX, INT64_MAX};
    V2 s0 = {0, 0}, s1 = {0, 0}, m0 = {DBL_MAX, DBL_MAX}, m1 = m0;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        V2 x0, x1;
        memcpy(&x0, v + i, sizeof x0);
        memcpy(&x1, v + i + 2, sizeof x1);
        m0 = x0 < m0 ? x0 : m0;
        m1 = x1 < m1 ? x1 : m1;
        s0 += ABSOLUTE ? (V2)((M2)x0 & magnitude) : x0;
        s1 += ABSOLUTE ? (V2)((M2)x1 & magnitude) : x1;
    }
    double total = (s0[0] + s0[1]) + (s1[0] + s1[1]);
    double least = std::min(std::min(m0[0], m0[1]), std::min(m1[0], m1[1]));
    for (; i < n; i++) {
        least = std::min(least, v[i]);
        total += ABSOLUTE ? std::fabs(v[i]) : v[i];
    }
    sum = total;
    // A NaN or an infinity anywhere leaves the sum not finite.
    return std::isfinite(total) && least >= lo;
}

bool Scan(const double* v, int n, double lo, bool absolute, double& sum)
{
    return absolute ? ScanAs<true>(v, n, lo, sum) : ScanAs<false>(v, n, lo, sum);
}

// First value outside the rule of `sign`, or -1.
int FirstBad(const double* v, int n, int sign)
{
    const double lo = Lowest(sign);
    double sum;
    if (Scan(v, n, lo, false, sum))
        return -1;
    for (int i = 0; i < n; i++)
        if (!(v[i] >= lo && v[i] <= DBL_MAX))
            return i;
    return -1;
}

std::string Where(const PSumPacket& p, int i)
{
    int d = i % p.dim3, c = i / p.dim3 % p.dim2, b = i / p.dim3 / p.dim2 % p.dim1;
    int a = i / p.dim3 / p.dim2 / p.dim1;
    return Format("index %d ([%d][%d][%d][%d])", i, a, b, c, d);
}

std::string BadValue(const std::string& where, double v, int sign)
{
    const char* rule = !std::isfinite(v) ? "not a finite number" : sign > 0 ? "not positive" : "negative";
    return Format("value at %s is %g: %s", where.c_str(), v, rule);
}

// Values that follow the rule of `sign`, in blocks of `block` whose
// (absolute) sums must be 1.
std::string BlockProblem(const PSumPacket* p, const double* v, int n, int block, int sign,
                         bool absolute, const char* what)
{
    const double lo = Lowest(sign);
    for (int start = 0; start < n; start += block) {
        double sum;
        const bool ok = Scan(v + start, block, lo, absolute, sum);
        const int first = ok ? -1 : FirstBad(v + start, block, sign);
        if (first >= 0) {
            int bad = start + first;
            return BadValue(p ? Where(*p, bad) : Format("index %d", bad), v[bad], sign);
        }
        if (!(std::fabs(sum - 1) <= SUM_TOL))
            return Format("the %s at indices %d..%d sum to %.17g instead of 1", what, start,
                          start + block - 1, sum);
    }
    return "";
}

// x and y are exchanged by a symmetry of every cube, layered or not.
std::string SymmetryProblem(const double* w, int cuts, const char* what)
{
    for (int a = 0; a < cuts; a++)
        if (!SameWithin(w[3 * a], w[3 * a + 1], SYM_TOL))
            return Format("the %s at indices %d and %d (x and y of one cube) differ: %.17g and "
                          "%.17g",
                          what, 3 * a, 3 * a + 1, w[3 * a], w[3 * a + 1]);
    return "";
}

// ---- Relations every cube table satisfies ----
//
// A table body holds, per face f (0 z = 0, 1 y = 0, 2 x = 1, 3 y = 1, 4 x = 0,
// 5 z = 1), S x S panels k = j * S + i, i running along x on the faces
// normal to y and z and along y on the faces normal to x, j along the other
// in-plane axis. Weights come in three such blocks, one per axis.

// Mirror images of the cube, layered or not (MZ only without interface):
// x -> 1 - x, y -> 1 - y, x <-> y, z -> 1 - z.
enum Mirror { MX, MY, SXY, MZ };

int Image(Mirror m, int S, int k)
{
    const int n = S * S, f = k / n, j = k % n / S, i = k % S;
    int g = f, a = i, b = j;
    switch (m) {
    case MX:
        if (f == 2 || f == 4) g = 6 - f;
        else a = S - 1 - i;
        break;
    case MY:
        if (f == 1 || f == 3) g = 4 - f;
        else if (f == 2 || f == 4) a = S - 1 - i;
        else b = S - 1 - j;
        break;
    case SXY: {
        static const int FACE[6] = {0, 4, 3, 2, 1, 5};
        g = FACE[f];
        if (f == 0 || f == 5) a = j, b = i;
        break;
    }
    case MZ:
        if (f == 0 || f == 5) g = 5 - f;
        else b = S - 1 - j;
        break;
    }
    return g * n + b * S + a;
}

// Position of panel k's centre along axis d.
double Along(int d, int S, int k)
{
    const int n = S * S, f = k / n, j = k % n / S, i = k % S;
    const double ci = (i + 0.5) / S, cj = (j + 0.5) / S;
    switch (d) {
    case 0: return f == 4 ? 0 : f == 2 ? 1 : ci;
    case 1: return f == 1 ? 0 : f == 3 ? 1 : (f == 2 || f == 4) ? ci : cj;
    default: return f == 0 ? 0 : f == 5 ? 1 : cj;
    }
}

// Mirror images and panel centres depend only on the panel count, 31 for
// full cubes and 32 for half cubes: worked out once, since recomputing them
// per value (three divisions and a switch each) was most of the cost of
// checking a table.
struct PanelMaps {
    std::vector<int> image[4];     // Image(m, S, k)
    std::vector<double> along[3];  // Along(d, S, k)
    explicit PanelMaps(int S)
    {
        const int n = 6 * S * S;
        for (int m = 0; m < 4; m++)
            for (int k = 0; k < n; k++)
                image[m].push_back(Image((Mirror)m, S, k));
        for (int d = 0; d < 3; d++)
            for (int k = 0; k < n; k++)
                along[d].push_back(Along(d, S, k));
    }
};

const PanelMaps& MapsOf(int S)
{
    static const PanelMaps full(31), half(32);
    FATAL_CHECK(S == 31 || S == 32);
    return S == 31 ? full : half;
}

// The cube of one table: S panels a side, interface at z = cut with
// permittivity ratio above / below `ratio` (cut 0: homogeneous).
struct TableCube {
    int S;
    double cut, ratio;
    // A field that solves div(eps grad u) = 0 in the cube: u = x - 1/2,
    // y - 1/2, or along z linear in each medium with eps du/dz continuous
    // and du/dz = 1 above the interface. The potential at the centre is the
    // probability-weighted mean of u over the surface, and its gradient the
    // weight-weighted sum; the panels never straddle the interface. Taken
    // relative to the centre, u has the sign of the panel's side.
    double Raw(int d, double c) const
    {
        return d < 2 ? c - 0.5 : (c - cut) * (c < cut ? ratio : 1.0);
    }
    double U(int d, double c) const { return Raw(d, c) - Raw(d, 0.5); }
    // The z derivative is taken above an interface through the centre.
    double Slope(int d) const { return d < 2 || 0.5 >= cut ? 1.0 : ratio; }
    bool Homogeneous() const { return cut == 0 || ratio == 1; }
};

// Values that a mirror of the cube maps onto each other must agree, within
// `tol` of the largest magnitude of the block; signed weights change sign
// along the mirrored axis. `v` holds `dirs` blocks (1: probabilities).
std::string MirrorProblem(const double* v, const TableCube& c, int dirs, bool signed_values,
                          const char* what, int offset)
{
    const int n = 6 * c.S * c.S;
    double big = 0;
    for (int k = 0; k < dirs * n; k++)
        big = std::max(big, std::fabs(v[k]));
    const double slack = MIRROR_TOL * big;
    const int count = c.Homogeneous() ? 4 : 3;
    for (int m = 0; m < count; m++)
        for (int d = 0; d < dirs; d++) {
            const Mirror mirror = (Mirror)m;
            const int e = mirror == SXY && dirs == 3 && d < 2 ? 1 - d : d;
            const int axis = mirror == MZ ? 2 : mirror == SXY ? -1 : (int)mirror;
            const bool flips = signed_values && dirs == 3 && d == axis;
            const double s = flips ? -1 : 1;
            const double* a = v + d * n;
            const double* b = v + e * n;
            const int* image = MapsOf(c.S).image[m].data();
            for (int k = 0; k < n; k++) {
                const int l = image[k];
                if (!(std::fabs(a[k] - s * b[l]) <= slack))
                    return Format("the %s at indices %d and %d differ (%.17g and %.17g) though a "
                                  "mirror of the cube maps one panel onto the other",
                                  what, offset + d * n + k, offset + e * n + l, a[k], b[l]);
            }
        }
    return "";
}

// Mean of u_d over the surface under probabilities p; with `magnitude`, the
// sum of |u| p as the walk's sign rule (the sign of the panel's side of the
// centre) weights magnitudes.
double Moment(const double* p, const TableCube& c, int d, bool magnitude)
{
    const int n = 6 * c.S * c.S;
    const double* along = MapsOf(c.S).along[d].data();
    double sum = 0;
    for (int k = 0; k < n; k++) {
        const double u = c.U(d, along[k]);
        sum += p[k] * (magnitude ? std::fabs(u) : u);
    }
    return sum;
}

std::string ProbRelations(const double* p, const TableCube& c, int offset)
{
    std::string s = MirrorProblem(p, c, 1, false, "transition probabilities", offset);
    if (!s.empty() || c.Homogeneous())
        return s;  // the mirrors already fix the mean of u in a homogeneous cube
    const double mean = Moment(p, c, 2, false), want = 0;
    const double scale = std::max(1.0, c.ratio) * 0.5;
    if (!(std::fabs(mean - want) <= PROB_MOMENT_TOL * scale))
        return Format("the transition probabilities at indices %d..%d do not reproduce the "
                      "potential of a uniform field across the interface at %.17g (ratio %.17g): "
                      "mean %.17g instead of %.17g",
                      offset, offset + 6 * c.S * c.S - 1, c.cut, c.ratio, mean, want);
    return "";
}

// Signed first-hop weights of one cube, three blocks; scale[d] turns the
// stored values into weights (1 for raw weights; the sums of |W| for
// normalised ones, unknown = 0 until the paired table is known).
std::string SignedWeightRelations(const double* w, const TableCube& c, const double scale[3],
                                  int offset, double moments[3])
{
    std::string s = MirrorProblem(w, c, 3, true, "weights", offset);
    if (!s.empty())
        return s;
    const int n = 6 * c.S * c.S;
    for (int d = 0; d < 3; d++) {
        double total = 0, absolute = 0;
        for (int k = 0; k < n; k++)
            total += w[d * n + k], absolute += std::fabs(w[d * n + k]);
        // A constant field has no gradient.
        if (!(std::fabs(total) <= WEIGHT_TOTAL_TOL * absolute))
            return Format("the weights at indices %d..%d add up to %.17g, not 0 (the sum of "
                          "their magnitudes is %.17g)",
                          offset + d * n, offset + (d + 1) * n - 1, total, absolute);
        moments[d] = Moment(w + d * n, c, d, false);
        if (scale[d] != 0 && !SameWithin(scale[d] * moments[d], c.Slope(d), WEIGHT_MOMENT_TOL))
            return Format("the weights at indices %d..%d give the gradient %.17g of a uniform "
                          "field of gradient %.17g along axis %d",
                          offset + d * n, offset + (d + 1) * n - 1, scale[d] * moments[d],
                          c.Slope(d), d);
    }
    return "";
}


// sums[i] * moments[i] must give the slope of cube i / 3, direction i % 3.
std::string PairProblem(const std::vector<double>& sums, const std::vector<double>& moments,
                        const std::vector<TableCube>& cubes, const std::string& other, bool this_is_sums)
{
    for (size_t i = 0; i < sums.size(); i++) {
        const TableCube& c = cubes[i / 3];
        const int d = i % 3;
        const double slope = sums[i] * moments[i];
        if (!SameWithin(slope, c.Slope(d), PAIR_TOL))
            return this_is_sums
                       ? Format("the weight sum at index %zu is %.17g where the densities of table "
                                "file %s need %.17g (a uniform field of gradient %.17g would come "
                                "out as %.17g)",
                                i, sums[i], other.c_str(), c.Slope(d) / moments[i], c.Slope(d), slope)
                       : Format("these densities do not match the weight sums of table file %s: "
                                "its sum at index %zu is %.17g where these densities need %.17g (a "
                                "uniform field of gradient %.17g would come out as %.17g)",
                                other.c_str(), i, sums[i], c.Slope(d) / moments[i], c.Slope(d), slope);
    }
    return "";
}

std::string NotePaired(TableLedger& t, bool half, bool sums, const double header[3], const std::string& path,
                       std::vector<double> values, const std::vector<TableCube>& cubes)
{
    const auto key = std::make_tuple(half, header[1], header[2]);
    auto& mine = sums ? t.paired_sums : t.paired_moments;
    auto& theirs = sums ? t.paired_moments : t.paired_sums;
    auto it = theirs.find(key);
    std::string problem;
    if (it != theirs.end())
        problem = sums ? PairProblem(values, it->second.values, cubes, it->second.path, true)
                       : PairProblem(it->second.values, values, cubes, it->second.path, false);
    mine[key] = TableLedger::Paired{path, std::move(values)};
    return problem;
}

}  // namespace

const char* PacketName(const PSumPacket& packet)
{
    static const char* const NAMES[] = {"trans", "htrans", "wei", "hwei", "pdf", "hpdf"};
    return packet.type >= 0 && packet.type < 6 ? NAMES[packet.type] : "unknown";
}

std::string SingleProblem(TableLedger& t, Single kind, const std::string& path, const double* v, int n,
                          int weight_select)
{
    const int sign = kind == Single::IS_WEIGHT ? 1 : kind == Single::COMMON_WEIGHT ? -1 : 0;
    // Weights are divided by the panel probability under selector 0.
    const int prob_sign = kind == Single::PROB && weight_select == 0 ? 1 : sign;
    const TableCube homogeneous{31, 0.0, 1.0};
    switch (kind) {
    case Single::PROB: {
        std::string s = BlockProblem(nullptr, v, n, n, prob_sign, false, "transition probabilities");
        return s.empty() ? ProbRelations(v, homogeneous, 0) : s;
    }
    case Single::IS_DENSITY: {
        std::string s = BlockProblem(nullptr, v, n, n / 3, sign, false, "densities of one direction");
        if (s.empty())
            s = MirrorProblem(v, homogeneous, 3, false, "densities", 0);
        for (int d = 0; s.empty() && d < 3 && t.have_single_weight; d++) {
            const double slope = t.single_weight[d] * Moment(v + d * n / 3, homogeneous, d, true);
            if (!SameWithin(slope, 1.0, PAIR_TOL))
                s = Format("with the weight sum %.17g of table file %s, the densities at indices "
                           "%d..%d give a uniform field of gradient 1 the gradient %.17g",
                           t.single_weight[d], t.single_weight_path.c_str(), d * n / 3,
                           (d + 1) * n / 3 - 1, slope);
        }
        return s;
    }
    default:
        break;
    }
    int bad = FirstBad(v, n, sign);
    if (bad >= 0)
        return BadValue(Format("index %d", bad), v[bad], sign);
    switch (kind) {
    case Single::COMMON_WEIGHT: {
        const double raw[3] = {1, 1, 1};
        double moments[3];
        return SignedWeightRelations(v, homogeneous, raw, 0, moments);
    }
    case Single::IS_WEIGHT: {
        // The homogeneous cube looks the same along every axis.
        for (int d = 1; d < 3; d++)
            if (!SameWithin(v[0], v[d], SYM_TOL))
                return Format("the weights of the homogeneous cube differ between directions: "
                              "index 0 holds %.17g, index %d holds %.17g",
                              v[0], d, v[d]);
        // No harmonic function bounded by 1 has a gradient above n / r = 6
        // at the centre of the inscribed ball (r = 1/2), and 2 x has 2.
        if (!(v[0] >= 1 && v[0] <= 6))
            return Format("the weight at index 0 is %.17g; the unit cube's lies between 1 and 6",
                          v[0]);
        memcpy(t.single_weight, v, sizeof t.single_weight);
        t.single_weight_path = path;
        t.have_single_weight = true;
        return "";
    }
    default:
        return "";
    }
}

std::string HeaderProblem(const PSumPacket& packet, const double header[3])
{
    const double seg = packet.half ? 32 : 31;
    if (header[0] != seg)
        return Format("header holds segment number %g, a %s table has %g", header[0],
                      PacketName(packet), seg);
    for (int i = 1; i < 3; i++)
        if (!(std::isfinite(header[i]) && header[i] > 0))
            return Format("header holds permittivity %g, not a finite number > 0", header[i]);
    if (header[1] == header[2])
        return Format("header holds the same permittivity %g on both sides", header[1]);
    return "";
}

std::string MultiProblem(const TableLedger& t, const PSumPacket& p, int weight_select, const double* body)
{
    const bool density = weight_select == 2 || weight_select == 4;
    // Transition probabilities are never negative and weights never zero;
    // first-hop densities carry the sign of the weight, except the half-cube
    // ones (magnitudes); common weight values are signed.
    const int sign = p.type <= 1 ? 0 : p.type <= 3 ? 1 : (p.type == 5 && density) ? 0 : -1;
    switch (p.type) {
    case 0:
    case 1:
        return BlockProblem(&p, body, p.size, p.size / p.dim0, sign, false,
                            "transition probabilities of one cube");
    case 2:
    case 3: {
        int bad = FirstBad(body, p.size, sign);
        if (bad >= 0)
            return BadValue(Where(p, bad), body[bad], sign);
        std::string s = SymmetryProblem(body, p.dim0, "weights");
        // Cut position 0 is the homogeneous cube.
        if (s.empty() && p.type == 2 && t.have_single_weight)
            for (int d = 0; d < 3; d++)
                if (!SameWithin(body[d], t.single_weight[d], SYM_TOL))
                    return Format("the weight at index %d (cut position 0, the homogeneous cube) "
                                  "is %.17g, the single-medium table %s holds %.17g",
                                  d, body[d], t.single_weight_path.c_str(), t.single_weight[d]);
        return s;
    }
    default:
        if (density)
            return BlockProblem(&p, body, p.size, p.dim2 * p.dim3, sign, true,
                                "density magnitudes of one cube and direction");
        int bad = FirstBad(body, p.size, sign);
        return bad < 0 ? "" : BadValue(Where(p, bad), body[bad], sign);
    }
}

std::string RelationProblem(TableLedger& t, const PSumPacket& p, int weight_select, const double header[3],
                            const double* body, const std::string& path)
{
    const bool density = weight_select == 2 || weight_select == 4;
    const double ratio = header[2] / header[1];
    std::vector<TableCube> cubes;
    if (p.half)
        cubes.push_back(TableCube{32, 0.5, ratio});
    else
        for (int a = 0; a < 30; a++)
            cubes.push_back(TableCube{31, a / 31.0, ratio});
    const int block = p.size / (int)cubes.size();
    const int S = cubes[0].S, per_cube = p.type <= 1 ? 6 * S * S : p.type <= 3 ? 3 : 18 * S * S;
    if (block != per_cube || p.size != block * (int)cubes.size())
        return "";  // not the shape of a generated table (hand-made bodies of unit tests)
    std::vector<double> found;
    for (size_t a = 0; a < cubes.size(); a++) {
        const double* v = body + a * block;
        const int offset = (int)a * block;
        std::string s;
        switch (p.type) {
        case 0:
        case 1: s = ProbRelations(v, cubes[a], offset); break;
        case 2:
        case 3: found.insert(found.end(), v, v + 3); break;
        case 4: {
            const double raw[3] = {1, 1, 1}, unknown[3] = {0, 0, 0};
            double moments[3];
            s = SignedWeightRelations(v, cubes[a], density ? unknown : raw, offset, moments);
            found.insert(found.end(), moments, moments + 3);
            break;
        }
        default:
            if (!density)
                return "";  // never loaded: the half-cube hop is taken under importance sampling only
            s = MirrorProblem(v, cubes[a], 3, false, "densities", offset);
            for (int d = 0; d < 3; d++)
                found.push_back(Moment(v + d * block / 3, cubes[a], d, true));
            break;
        }
        if (!s.empty())
            return s;
    }
    if (p.type <= 1 || (p.type == 4 && !density))
        return "";
    return NotePaired(t, p.half, p.type <= 3, header, path, std::move(found), cubes);
}

bool Screened(const PSumPacket& p, int weight_select)
{
    return p.type <= 1 || (p.type >= 4 && (weight_select == 2 || weight_select == 4));
}

bool SumClearlyOne(double sum)
{
    return std::fabs(sum - 1) <= SUM_TOL - ORDER_SLACK;
}

void Reject(const std::string& path, const std::string& problem)
{
    throw InputError{Log::format("table file %s: %s\n", path.c_str(), problem.c_str())};
}

namespace {


bool ReadPrefix(const std::string& path, size_t bytes, std::vector<char>& out)
{
    out.assign(bytes, 0);
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    size_t got = fread(out.data(), 1, bytes, f);
    fclose(f);
    return got == bytes;
}

}  // namespace

bool NoteFile(TableLedger& t, const std::string& path, const PSumPacket& packet, const DielKey& key)
{
    auto id = std::make_tuple(packet.type, key.low, key.high);
    auto it = t.served.find(id);
    if (it == t.served.end()) {
        t.served.emplace(id, path);
        return true;
    }
    if (it->second == path)
        return true;  // the same folder scanned again
    // Only what is read counts: header and body.
    size_t bytes = sizeof(double) * (3 + (size_t)packet.size);
    std::vector<char> first, second;
    if (ReadPrefix(it->second, bytes, first) && ReadPrefix(path, bytes, second) && first == second)
        return false;
    throw InputError{Log::format("table files %s and %s both hold the %s table of permittivities %.17g / %.17g "
                "with different contents; remove one of them\n",
                it->second.c_str(), path.c_str(), PacketName(packet), key.low, key.high)};
}

void RequireInterfaceTables(const TableSet& t, int weight_select, const std::string& folder)
{
    const bool density = weight_select == 2 || weight_select == 4;
    const std::vector<Layer>& ls = t.layers;
    for (size_t i = 1; i + 1 < ls.size(); i++) {
        DielKey key = Layers::DielHash(ls[i].diel, ls[i + 1].diel);
        if (std::fabs(ls[i].diel - ls[i + 1].diel) < MIE)
            continue;  // no interface
        const char* missing = !t.psums.count(key)                       ? "trans"
                              : !t.half_psums.count(key)                ? "htrans"
                              : !t.cdf_weights.count(key)               ? "pdf"
                              : density && !t.weight_array.count(key)   ? "wei"
                                                                              : nullptr;
        if (!missing)
            continue;
        throw InputError{Log::format("no %s table for the interface at z = %.15g between permittivity %.17g below "
                    "and %.17g above in %s; generate the tables of this pair and register them "
                    "with --gft\n",
                    missing, ls[i].pos, ls[i].diel, ls[i + 1].diel, folder.c_str())};
    }
    for (const DielKey& key : t.extra_pairs)
        if (!t.half_psums.count(key))
            throw InputError{Log::format("no htrans table for the dielectric body faces between permittivity %.17g and "
                                         "%.17g in %s\n",
                                         key.low, key.high, folder.c_str())};
}

int MirrorImage(int m, int S, int k)
{
    FATAL_CHECK(m >= 0 && m <= 3);
    return Image((Mirror)m, S, k);
}

}  // namespace TableCheck
