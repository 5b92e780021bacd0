// Batches of inputs: one JSON result per input in an output folder, written
// atomically, each input run in a child process so that a broken deck or a
// crash costs only its own result; shards for scheduler arrays, resume by
// skipping results that already meet the requested target, and the summary
// CSV of a result folder.
#pragma once

#include <string>
#include <vector>

#include "cmdline.h"

// One input of a list: the line as written, and the path that is run (a
// relative line is taken from the list's folder).
struct BatchInput {
    std::string line, path;
};

// The inputs of a list file (one a line; blank lines and '#' comments
// skipped). False after a message when the list cannot be read.
bool ReadBatchList(const std::string& list_path, std::vector<BatchInput>& inputs);

// The result file name of a list line: the line itself, readable, with '/'
// written '~' and every byte that is not a letter, a digit, one of ._-+,=@
// or part of a UTF-8 character written %XX ('~', '%' and a leading '.'
// too), then ".json". Distinct lines never share a name; a name never
// starts with a dot. A line too long for one file name keeps its start and
// a 64-bit hash of the whole line after a '#', which no shorter name holds.
std::string ResultName(const std::string& line);

// A result document as the batch and the merge use it, every field checked.
struct ResultEntry {
    std::string conductor;
    double cap = 0, err = 0;
    bool has_cap = false, has_err = false;  // null when the walks gave none
};
struct ResultMaster {
    std::string master, error;  // error: the master could not be extracted
    bool converged = false;
    std::vector<ResultEntry> entries;
};
struct ResultDoc {
    std::string deck;
    // What the batch recorded: the list line and NumberOptions of the run.
    bool from_batch = false;
    std::string input, number_options;
    // Digest of the input file's bytes when it ran: an input edited since
    // is run again. Empty in results of batches that did not record it.
    std::string input_digest;
    bool failed = false;  // the input failed as a whole
    std::string error;
    char mode = 0;
    long long target_walks = 0;
    double target_error = 0;
    std::vector<std::string> master, exclude;
    bool all_masters = false;
    std::vector<ResultMaster> masters;
};

// Reads `text` into `doc`. False, with the reason in `why`, when it is not
// a whole result document: any field used of the wrong type, missing or
// out of place.
bool ReadResult(const std::string& text, ResultDoc& doc, std::string& why);

// What a result must have been computed with to be kept: NumberOptions
// with the target and the budgets set aside, since a result is kept for
// any target it meets and only when no budget stopped it.
std::string ResumeOptions(const RunSettings& s);

// Whether the result `doc` of the list line `line` holds what the options
// `s` ask for: the same line and number options, every master extracted,
// to the same or a stricter target.
bool ResultMeetsTarget(const ResultDoc& doc, const std::string& line, const RunSettings& s);

// Runs the shard of the batch that `s` names. `argv` gives the options each
// input is run with. Exit status: 0, 75 when a target was not met, 255 when
// an input failed or the batch could not run.
int RunBatch(const RunSettings& s, int argc, char** argv);

// Writes the rows of every result in `dir` as CSV on standard output;
// damaged results are named on standard error and left out (status 255).
int MergeResults(const std::string& dir);
