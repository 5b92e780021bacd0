// The table files that Korva reads: names, folders and binary layouts.
#pragma once

#include <string>
#include <vector>

#include "cubesolver.h"

// One ordered permittivity pair: dlow below the interface, dhigh above.
class DielPair {
public:
    double dlow = 0.0;
    double dhigh = 0.0;
};

// Writes little-endian doubles to path through a temporary file in the same
// folder and a rename, creating missing folders. False (with a message on
// stderr) when anything fails; the old file, if any, is then untouched.
bool WriteDoubles(const std::string& path, const std::vector<double>& values);

// Shortest decimal text that reads back as exactly x ("3.9", "2.5", "1e-05").
std::string ShortDouble(double x);

// The part of a pair's file names that names the pair ("3.9_2.5").
std::string PairTag(const DielPair& pair);

// Bodies of the single-medium files, from the 31 x 31 homogeneous cube.
std::vector<double> SingleProbBody(const CubeTable& cube);
std::vector<double> SingleWeightBody(const CubeTable& cube);
std::vector<double> SingleWeightSums(const CubeTable& cube);
std::vector<double> SingleWeightPdf(const CubeTable& cube);

// Writes the five single-medium files under root/incdata.
bool WriteSingleTables(const std::string& root);

// All tables of one pair: cut positions 0..29 and the half cube.
class PairTables {
public:
    DielPair pair;
    std::vector<CubeTable> cuts;  // CUT_COUNT full cubes
    CubeTable half;
};
PairTables SolvePair(const DielPair& pair);

// Headers + bodies of the multi-dielectric packets.
enum class PairFile { TRANS, HTRANS, WEI, HWEI, PDF_SIGNED, HPDF, WEIGHT_VALUES };
std::vector<double> PairFileContents(const PairTables& tables, PairFile kind);

// Every file of one pair, in both the IS and the COMMON trees under dir.
// Returns the number of files written, or -1 on a write failure.
int WritePairTables(const std::string& dir, const PairTables& tables);

// The relative paths (under dir) of the files WritePairTables writes.
std::vector<std::string> PairFileNames(const DielPair& pair);
