// The rows a long run has finished, one JSON line each, in a file beside
// its first result file: a run that is stopped leaves them there, and a
// rerun with the same options on the same deck reads them back and skips
// those masters. The file goes once every result file is written.
#pragma once

#include <map>
#include <string>

#include "runrecord.h"

// Drops the entries no walk reached from a row (not the master's own, not
// the window), counting them in row.unreached.
void Compact(MasterRow& row);

// A row as one line of text and back, every number to the last bit: for
// rows that travel between processes. A row that failed keeps its reason.
std::string RowText(const MasterRow& row);
// False when the text is no such row.
bool RowFromText(const std::string& text, MasterRow& row);

class PartialRows {
public:
    // The file for `run`: NAME.partial for one of its --json, --csv or
    // --spef files NAME, the first that has one, else the first that is a
    // regular file or none yet; empty when there is none or the run keeps
    // no rows.
    static std::string PathFor(const RunRecord& run);
    // Reads the rows an earlier run left in `path` (none when there is no
    // such file) and opens it to add the next ones. False with `error` set
    // when it cannot be read or written, or was left by a run of other
    // options or another deck.
    bool Open(const std::string& path, const std::string& key, std::map<std::string, MasterRow>& done,
              std::string& error);
    // Adds a finished row (kept sparse); false with `error` set when the
    // file cannot take it.
    bool Add(const MasterRow& row, std::string& error);
    // The run is complete: the rows are in the result files.
    void Remove();
    ~PartialRows();

private:
    std::string path_;
    int fd_ = -1;
};
