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

// Whether `path` leads to a regular file, or to none yet: a file beside
// it can be made and renamed.
bool Replaceable(const std::string& path);

// The same rule for a file written piece by piece, as a long run's rows
// finish: the pieces go to the temporary (or straight through to a pipe or
// device), and only Commit puts the complete file under its name. A stream
// dropped before Commit removes its temporary.
// SIGINT, SIGTERM and SIGHUP remove the temporaries of open streams before
// they end the process as they otherwise would.
void RemoveTemporariesOnStop();

class Stream {
public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() { Abort(); }
    bool Open(const std::string& path, std::string& error);
    // False once any write has failed; Error() then says why.
    bool Append(const std::string& text);
    bool Commit(std::string& error);
    void Abort();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }

private:
    bool Flush();
    std::string given_, name_, final_, temp_, buffer_, error_;
    int fd_ = -1;
    int held_ = -1;           // its place among the temporaries a stop removes
    bool own_fd_ = false;     // a descriptor this stream opened and closes
    bool descriptor_ = false; // one of the process's own: the console comes first
};

}  // namespace OutputFile
