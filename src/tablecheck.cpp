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

bool enabled = false;

namespace {

// Sums of probabilities and densities are exact up to rounding in the
// generator; anything further off is damage, not rounding.
const double SUM_TOL = 1e-9;
// Values that symmetry makes equal (relative).
const double SYM_TOL = 1e-6;
// How far two orders of adding one cube's values (at most a few thousand,
// all >= 0, summing near 1) can differ: n * 2^-52 at most, about 1.4e-12.
const double ORDER_SLACK = 1e-11;

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

// The IS single-medium weights, once loaded: the homogeneous cube, which
// is also cut position 0 of every multi-dielectric weight table.
double single_weight[3];
bool have_single_weight = false;
std::string single_weight_path;

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

}  // namespace

const char* PacketName(const PSumPacket& packet)
{
    static const char* const NAMES[] = {"trans", "htrans", "wei", "hwei", "pdf", "hpdf"};
    return packet.type >= 0 && packet.type < 6 ? NAMES[packet.type] : "unknown";
}

std::string SingleProblem(Single kind, const std::string& path, const double* v, int n,
                          int weight_select)
{
    const int sign = kind == Single::IS_WEIGHT ? 1 : kind == Single::COMMON_WEIGHT ? -1 : 0;
    // Weights are divided by the panel probability under selector 0.
    const int prob_sign = kind == Single::PROB && weight_select == 0 ? 1 : sign;
    switch (kind) {
    case Single::PROB:
        return BlockProblem(nullptr, v, n, n, prob_sign, false, "transition probabilities");
    case Single::IS_DENSITY:
        return BlockProblem(nullptr, v, n, n / 3, sign, false, "densities of one direction");
    default:
        break;
    }
    int bad = FirstBad(v, n, sign);
    if (bad >= 0)
        return BadValue(Format("index %d", bad), v[bad], sign);
    switch (kind) {
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
        memcpy(single_weight, v, sizeof single_weight);
        single_weight_path = path;
        have_single_weight = true;
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

std::string MultiProblem(const PSumPacket& p, int weight_select, const double* body)
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
        if (s.empty() && p.type == 2 && have_single_weight)
            for (int d = 0; d < 3; d++)
                if (!SameWithin(body[d], single_weight[d], SYM_TOL))
                    return Format("the weight at index %d (cut position 0, the homogeneous cube) "
                                  "is %.17g, the single-medium table %s holds %.17g",
                                  d, body[d], single_weight_path.c_str(), single_weight[d]);
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

bool Screened(const PSumPacket& p, int weight_select)
{
    return p.type <= 1 || (p.type >= 4 && (weight_select == 2 || weight_select == 4));
}

bool SumClearlyOne(double sum)
{
    return std::fabs(sum - 1) <= SUM_TOL - ORDER_SLACK;
}

// Ends a run refused for its tables at once: exit() would run the
// registry's static destructors, which drop the maps that own the tables
// loaded so far and leave those tables unreferenced for a leak checker.
[[noreturn]] static void EndRun()
{
    fflush(nullptr);
    _exit(255);
}

void Reject(const std::string& path, const std::string& problem)
{
    Log::perror("table file %s: %s\n", path.c_str(), problem.c_str());
    EndRun();
}

namespace {

// Which file served each (kind, pair) so far.
std::map<std::tuple<int, double, double>, std::string> served;

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

bool NoteFile(const std::string& path, const PSumPacket& packet, const DielKey& key)
{
    auto id = std::make_tuple(packet.type, key.low, key.high);
    auto it = served.find(id);
    if (it == served.end()) {
        served.emplace(id, path);
        return true;
    }
    if (it->second == path)
        return true;  // the same folder scanned again
    // Only what is read counts: header and body.
    size_t bytes = sizeof(double) * (3 + (size_t)packet.size);
    std::vector<char> first, second;
    if (ReadPrefix(it->second, bytes, first) && ReadPrefix(path, bytes, second) && first == second)
        return false;
    Log::perror("table files %s and %s both hold the %s table of permittivities %.17g / %.17g "
                "with different contents; remove one of them\n",
                it->second.c_str(), path.c_str(), PacketName(packet), key.low, key.high);
    EndRun();
}

void ForgetFiles()
{
    served.clear();
}

void RequireInterfaceTables(int weight_select, const std::string& folder)
{
    const bool density = weight_select == 2 || weight_select == 4;
    const std::vector<Layer>& ls = Layers::layers;
    for (size_t i = 1; i + 1 < ls.size(); i++) {
        DielKey key = Layers::DielHash(ls[i].diel, ls[i + 1].diel);
        if (std::fabs(ls[i].diel - ls[i + 1].diel) < MIE)
            continue;  // no interface
        const char* missing = !Layers::psums.count(key)                       ? "trans"
                              : !Layers::half_psums.count(key)                ? "htrans"
                              : !Layers::cdf_weights.count(key)               ? "pdf"
                              : density && !Layers::weight_array.count(key)   ? "wei"
                                                                              : nullptr;
        if (!missing)
            continue;
        Log::perror("no %s table for the interface at z = %.15g between permittivity %.17g below "
                    "and %.17g above in %s; generate the tables of this pair and register them "
                    "with --gft\n",
                    missing, ls[i].pos, ls[i].diel, ls[i + 1].diel, folder.c_str());
        EndRun();
    }
}

}  // namespace TableCheck
