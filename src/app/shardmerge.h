// The parts of one run split with --master-shard, joined into the JSON of
// the whole run.
#pragma once

#include <string>
#include <vector>

// Reads the JSON result of every part (each of K/N, for one N, once) and
// writes the JSON of the whole run to standard output: the masters in the
// order the whole run would have taken them, then the pairs and the
// symmetric matrix over all of them. Returns 0, or 255 after a message.
int MergeShards(const std::vector<std::string>& paths);
