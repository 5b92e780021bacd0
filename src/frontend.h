// What the console front ends share: bin/korva and bin/korva-mpi print the
// same banner and rows, resolve the same masters and write the same files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cmdline.h"
#include "extraction.h"

void PrintBanner();

// The masters of this run: the deck's task, the --master names in the order
// given, or every conductor but the excluded ones. False after a message
// when a name is not a conductor of the deck.
bool ResolveMasters(const RunSettings& s, const std::vector<std::string>& conductors,
                    std::vector<std::string>& masters);

// The report of one master, after its walks (`total_seconds` since start).
void PrintRow(const MasterRow& row, double total_seconds);

// The --json, --csv and --spef files; false when one cannot be written.
bool WriteOutputs(const RunSettings& s, uint64_t seed, const std::vector<std::string>& conductors,
                  const std::vector<MasterRow>& rows);
