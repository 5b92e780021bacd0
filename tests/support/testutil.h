// Helpers for tests that run the built executables or need scratch folders.
#pragma once

#include <string>
#include <vector>

// A fresh folder under the system temp dir, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    // Writes text into path()/rel (creating parent folders) and returns the full path.
    std::string Write(const std::string& rel, const std::string& text) const;
    std::string dir;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out, err;
};

// Runs `command` (a shell command line) in folder cwd.
RunResult RunIn(const std::string& cwd, const std::string& command);
// `s` in single quotes, for a command line (names without quotes).
inline std::string Quoted(const std::string& s) { return "'" + s + "'"; }
std::string ReadFile(const std::string& path);
void MakeDirs(const std::string& path);
// How often `what` occurs in `text`, overlaps included.
int Count(const std::string& text, const std::string& what);
// A file of raw doubles in the machine's byte order, and the bytes of one.
std::vector<double> ReadDoubles(const std::string& path);
inline std::string Bytes(const std::vector<double>& v) { return std::string((const char*)v.data(), v.size() * 8); }
