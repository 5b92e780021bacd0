// Every file a user names for Korva to write (results, report, picture,
// converted deck, pattern result) is written by these two functions, so
// that all of them treat the target alike:
// - a regular file, or a name that does not exist yet, is written to a
//   temporary file in the same folder and renamed into place: the name
//   holds either the previous file or the complete new one, never a part;
// - a symbolic link is followed and the rule applied to what it points to;
//   the link itself is never replaced;
// - anything else (a pipe, a terminal, /dev/null, /dev/stdout) is written
//   straight through; a name of one of this process's own descriptors
//   (/dev/stdout, /dev/fd/N) writes to that descriptor, after the console.
// A directory is refused. Errors read "cannot write the output file NAME:
// REASON", REASON being the system's.
#pragma once

#include <string>

namespace OutputFile {

// Whether `path` can be written, without writing it: the folder of a new or
// regular file takes a new file (one is made and removed), a pipe or device
// is writable. Meant for before a long run; false with `error` set.
bool Check(const std::string& path, std::string& error);

// Writes `text` to `path` as described above; false with `error` set, and
// then no temporary file is left and a replaced file is untouched.
bool Write(const std::string& path, const std::string& text, std::string& error);

}  // namespace OutputFile
