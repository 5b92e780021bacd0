#include "tablefiles.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool MakeDirs(const std::string& path)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "quillon: cannot create folder %s: %s\n", part.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

// The files are read as raw little-endian memory on any host.
std::vector<unsigned char> LittleEndianBytes(const std::vector<double>& values)
{
    std::vector<unsigned char> bytes(values.size() * 8);
    for (size_t i = 0; i < values.size(); ++i) {
        uint64_t bits;
        std::memcpy(&bits, &values[i], 8);
        for (int b = 0; b < 8; ++b) bytes[i * 8 + b] = (unsigned char)(bits >> (8 * b));
    }
    return bytes;
}

bool WriteAll(int fd, const std::vector<unsigned char>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

const char* PAIR_DIRS[4] = {"IS/binary/MULTI/GFT", "IS/binary/MULTI/WVT", "COMMON/binary/MULTI/GFT",
                            "COMMON/binary/MULTI/WVT"};

class PairFileSpec {
public:
    int dir;             // index into PAIR_DIRS
    const char* prefix;  // must pass the loader's name filter of its packet
    PairFile kind;
};

const PairFileSpec PAIR_FILES[10] = {
    {0, "NumGFT_", PairFile::TRANS},
    {0, "hNumGFT_", PairFile::HTRANS},
    {0, "NumGFT_IS_", PairFile::PDF_SIGNED},
    {0, "hNumGFT_IS_", PairFile::HPDF},
    {1, "NumWVT_", PairFile::WEI},
    {1, "hNumWVT_", PairFile::HWEI},
    {2, "NumGFT_", PairFile::TRANS},
    {2, "hNumGFT_", PairFile::HTRANS},
    {3, "NumWVT_", PairFile::WEIGHT_VALUES},
    {3, "hNumWVT_", PairFile::HWEI},
};

void AppendProb(std::vector<double>& out, const CubeTable& cube)
{
    out.insert(out.end(), cube.prob.begin(), cube.prob.end());
}

void AppendAbsSums(std::vector<double>& out, const CubeTable& cube)
{
    for (int d = 0; d < 3; ++d) out.push_back(cube.AbsWeightSum(d));
}

// W_d / sum |W_d|, signed or as magnitudes.
void AppendNormalisedWeights(std::vector<double>& out, const CubeTable& cube, bool keep_sign)
{
    for (int d = 0; d < 3; ++d) {
        double total = cube.AbsWeightSum(d);
        for (int f = 0; f < 6; ++f)
            for (int k = 0; k < cube.Panels(); ++k) {
                double w = cube.W(d, f, k);
                out.push_back((keep_sign ? w : std::fabs(w)) / total);
            }
    }
}

}  // namespace

bool WriteDoubles(const std::string& path, const std::vector<double>& values)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dir)) return false;
    // A hidden name without the ".db" ending: the loader never picks up a
    // half-written file, even one left behind by a killed run.
    std::string tmp = dir + "/.quillon-" + base + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        std::fprintf(stderr, "quillon: cannot create a file in %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, LittleEndianBytes(values));
    int err = errno;
    ok = (close(fd) == 0) && ok;
    if (ok && rename(name.data(), path.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        std::fprintf(stderr, "quillon: cannot write %s: %s\n", path.c_str(), std::strerror(err));
        unlink(name.data());
    }
    return ok;
}

std::string PairTag(const DielPair& pair) { return ShortDouble(pair.dlow) + "_" + ShortDouble(pair.dhigh); }

std::string ShortDouble(double x)
{
    char buf[64];
    // Plain decimals where they are exact ("10", "3.9"), exponents otherwise.
    if (std::fabs(x) >= 1e-4 && std::fabs(x) < 1e15)
        for (int digits = 0; digits <= 20; ++digits) {
            std::snprintf(buf, sizeof buf, "%.*f", digits, x);
            if (std::strtod(buf, nullptr) == x) return buf;
        }
    for (int prec = 1; prec <= 17; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*g", prec, x);
        if (std::strtod(buf, nullptr) == x) break;
    }
    return buf;
}

std::vector<double> SingleProbBody(const CubeTable& cube) { return cube.prob; }

std::vector<double> SingleWeightBody(const CubeTable& cube) { return cube.weight; }

std::vector<double> SingleWeightSums(const CubeTable& cube)
{
    std::vector<double> out;
    AppendAbsSums(out, cube);
    return out;
}

std::vector<double> SingleWeightPdf(const CubeTable& cube)
{
    std::vector<double> out;
    AppendNormalisedWeights(out, cube, false);
    return out;
}

bool WriteSingleTables(const std::string& root)
{
    CubeTable cube = SolveHomogeneous(FULL_SEGNUM);
    std::string cm = root + "/incdata/Common/binary/single/";
    std::string is = root + "/incdata/IS/binary/single/";
    return WriteDoubles(cm + "GFT_single_31.db", SingleProbBody(cube)) &&
           WriteDoubles(cm + "single_weight_31.db", SingleWeightBody(cube)) &&
           WriteDoubles(is + "GFT_single_31.db", SingleProbBody(cube)) &&
           WriteDoubles(is + "single_weight_31.db", SingleWeightSums(cube)) &&
           WriteDoubles(is + "pdf_single_weight_31.db", SingleWeightPdf(cube));
}

PairTables SolvePair(const DielPair& pair)
{
    PairTables t;
    t.pair = pair;
    for (int a = 0; a < CUT_COUNT; ++a) t.cuts.push_back(SolveCutCube(pair.dlow, pair.dhigh, a));
    t.half = SolveHalfCube(pair.dlow, pair.dhigh);
    return t;
}

std::vector<double> PairFileContents(const PairTables& tables, PairFile kind)
{
    bool half = kind == PairFile::HTRANS || kind == PairFile::HWEI || kind == PairFile::HPDF;
    std::vector<double> out = {half ? (double)HALF_SEGNUM : (double)FULL_SEGNUM, tables.pair.dlow,
                               tables.pair.dhigh};
    switch (kind) {
    case PairFile::TRANS:
        for (const CubeTable& c : tables.cuts) AppendProb(out, c);
        break;
    case PairFile::HTRANS:
        AppendProb(out, tables.half);
        break;
    case PairFile::WEI:
        for (const CubeTable& c : tables.cuts) AppendAbsSums(out, c);
        break;
    case PairFile::HWEI:
        AppendAbsSums(out, tables.half);
        break;
    case PairFile::PDF_SIGNED:
        // Signed: the sign of a two-media first hop is read from here.
        for (const CubeTable& c : tables.cuts) AppendNormalisedWeights(out, c, true);
        break;
    case PairFile::HPDF:
        AppendNormalisedWeights(out, tables.half, false);
        break;
    case PairFile::WEIGHT_VALUES:
        for (const CubeTable& c : tables.cuts) out.insert(out.end(), c.weight.begin(), c.weight.end());
        break;
    }
    return out;
}

std::vector<std::string> PairFileNames(const DielPair& pair)
{
    std::vector<std::string> names;
    for (const PairFileSpec& spec : PAIR_FILES)
        names.push_back(std::string(PAIR_DIRS[spec.dir]) + "/" + spec.prefix + PairTag(pair) + ".db");
    return names;
}

int WritePairTables(const std::string& dir, const PairTables& tables)
{
    std::vector<std::string> names = PairFileNames(tables.pair);
    int count = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!WriteDoubles(dir + "/" + names[i], PairFileContents(tables, PAIR_FILES[i].kind))) return -1;
        ++count;
    }
    return count;
}
