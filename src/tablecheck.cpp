static const char KORVA_SOURCE[] = "src/tablecheck";

#include "tablecheck.h"

#include <cmath>
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

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char buf[512];
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

// First value that is not finite, or (when `sign` > 0) not > 0, or (when
// `sign` == 0) negative; -1 when none.
int FirstBad(const double* v, int n, int sign)
{
    for (int i = 0; i < n; i++) {
        if (!std::isfinite(v[i]) || (sign > 0 && !(v[i] > 0)) || (sign == 0 && v[i] < 0))
            return i;
    }
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

// Blocks of `block` values whose (absolute) sums must be 1.
std::string SumProblem(const double* v, int n, int block, bool absolute, const char* what)
{
    for (int start = 0; start < n; start += block) {
        double sum = 0;
        for (int i = start; i < start + block; i++)
            sum += absolute ? std::fabs(v[i]) : v[i];
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

std::string SingleProblem(Single kind, const double* v, int n, int weight_select)
{
    const int sign = kind == Single::IS_WEIGHT ? 1 : kind == Single::COMMON_WEIGHT ? -1 : 0;
    // Weights are divided by the panel probability under selector 0.
    const int prob_sign = kind == Single::PROB && weight_select == 0 ? 1 : sign;
    int bad = FirstBad(v, n, prob_sign);
    if (bad >= 0)
        return BadValue(Format("index %d", bad), v[bad], prob_sign);
    switch (kind) {
    case Single::PROB:
        return SumProblem(v, n, n, false, "transition probabilities");
    case Single::IS_DENSITY:
        return SumProblem(v, n, n / 3, false, "densities of one direction");
    case Single::IS_WEIGHT: {
        // The homogeneous cube looks the same along every axis.
        for (int d = 1; d < 3; d++)
            if (!SameWithin(v[0], v[d], SYM_TOL))
                return Format("the weights of the homogeneous cube differ between directions: "
                              "index 0 holds %.17g, index %d holds %.17g",
                              v[0], d, v[d]);
        memcpy(single_weight, v, sizeof single_weight);
        have_single_weight = true;
        return "";
    }
    case Single::COMMON_WEIGHT:
        return "";
    }
    return "";
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
    int bad = FirstBad(body, p.size, sign);
    if (bad >= 0)
        return BadValue(Where(p, bad), body[bad], sign);
    const int per_cut = p.size / p.dim0;
    switch (p.type) {
    case 0:
    case 1:
        return SumProblem(body, p.size, per_cut, false, "transition probabilities of one cube");
    case 2:
    case 3: {
        std::string s = SymmetryProblem(body, p.dim0, "weights");
        // Cut position 0 is the homogeneous cube.
        if (s.empty() && p.type == 2 && have_single_weight)
            for (int d = 0; d < 3; d++)
                if (!SameWithin(body[d], single_weight[d], SYM_TOL))
                    return Format("the weight at index %d (cut position 0, the homogeneous cube) "
                                  "is %.17g, the single-medium table holds %.17g",
                                  d, body[d], single_weight[d]);
        return s;
    }
    default:
        return density ? SumProblem(body, p.size, p.dim2 * p.dim3, true,
                                    "density magnitudes of one cube and direction")
                       : "";
    }
}

void Reject(const std::string& path, const std::string& problem)
{
    Log::perror("table file %s: %s\n", path.c_str(), problem.c_str());
    exit(255);
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
    exit(255);
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
        exit(255);
    }
}

}  // namespace TableCheck
