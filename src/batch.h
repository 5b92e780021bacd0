// Batches of inputs: one JSON result per input in an output folder, written
// atomically, each input run in a child process so that a broken deck or a
// crash costs only its own result; shards for scheduler arrays, resume by
// skipping results that already meet the requested target, and the summary
// CSV of a result folder.
#pragma once

#include <string>
#include <vector>

#include "cmdline.h"

// The inputs of a list file (one a line; blank lines and '#' comments
// skipped; relative paths taken from the list's folder). False after a
// message when the list cannot be read.
bool ReadBatchList(const std::string& list_path, std::vector<std::string>& inputs);

// Result file names of the inputs, one per input and never the same twice.
std::vector<std::string> ResultNames(const std::vector<std::string>& inputs);

// Whether the result document `text` exists for the options `s` asks for:
// every master extracted, to the same or a stricter target.
bool ResultMeetsTarget(const std::string& text, const RunSettings& s);

// Runs the shard of the batch that `s` names. `argv` gives the options each
// input is run with. Exit status: 0, 75 when a target was not met, 255 when
// an input failed or the batch could not run.
int RunBatch(const RunSettings& s, int argc, char** argv);

// Writes the rows of every result in `dir` as CSV on standard output.
int MergeResults(const std::string& dir);
