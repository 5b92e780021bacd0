// Checks of the table files against what the physics guarantees and what
// the table generator writes. A damaged table must end the run with a
// message naming the file before any walk, never yield a wrong number.
#pragma once

#include <string>

#include "layers.h"

namespace TableCheck {

// The single-medium files.
enum class Single { PROB, COMMON_WEIGHT, IS_WEIGHT, IS_DENSITY };

// What is wrong with a body, or "" when it is sound. Indices in the text
// are positions in the body (after the header, for the multi-dielectric
// files).
// `ledger` keeps what later files are checked against.
std::string SingleProblem(TableLedger& ledger, Single kind, const std::string& path, const double* body,
                          int count, int weight_select);
std::string HeaderProblem(const PSumPacket& packet, const double header[3]);
std::string MultiProblem(const TableLedger& ledger, const PSumPacket& packet, int weight_select,
                         const double* body);
// What the values of a body that passed the checks above must satisfy
// together, and with the table they are paired with (weight sums with the
// densities of the same cubes), whichever of the two is loaded first.
std::string RelationProblem(TableLedger& ledger, const PSumPacket& packet, int weight_select,
                            const double header[3], const double* body, const std::string& path);

// Loading already walks every value of the transition and density tables
// once, summing each cube; those loops screen the body on the way instead of
// a second pass. The screen is conservative: what it passes, MultiProblem
// passes too; anything else goes to MultiProblem, which decides and words
// the message.
//   Screened(packet, weight_select): whether the loaders screen this kind.
//   SignBits(v): OR these over every value the sign rule wants >= 0.
//   SumClearlyOne(sum): a cube's (absolute) sum, added in order, is 1 with
//   room to spare for the exact check's other order of addition.
bool Screened(const PSumPacket& packet, int weight_select);
inline unsigned long long SignBits(double v)
{
    unsigned long long bits;
    static_assert(sizeof bits == sizeof v, "64-bit doubles");
    __builtin_memcpy(&bits, &v, sizeof bits);
    return bits;
}
bool SumClearlyOne(double sum);

// Throws InputError "table file PATH: PROBLEM".
[[noreturn]] void Reject(const std::string& path, const std::string& problem);

// Notes that `path` serves the pair of `key` in the packet's kind. Ends the
// run (255, naming both) when another file already served it with other
// contents. Returns false when the file repeats one already loaded (same
// contents), so that it need not be registered again.
bool NoteFile(TableLedger& ledger, const std::string& path, const PSumPacket& packet, const DielKey& key);

// Ends the run (255) unless every interface of the stack has the tables
// the walks of `weight_select` look up.
void RequireInterfaceTables(const TableSet& tables, int weight_select, const std::string& folder);

// Panel k's image under mirror m of a table's cube of S panels a side (0:
// x -> 1 - x, 1: y -> 1 - y, 2: x <-> y, 3: z -> 1 - z), in the panel order
// of the table files.
int MirrorImage(int m, int S, int k);

// Packet name for messages ("trans", "hpdf", ...).
const char* PacketName(const PSumPacket& packet);

}  // namespace TableCheck
