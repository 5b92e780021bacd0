#include "testutil.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/korva-test-XXXXXX";
    char* made = mkdtemp(&templ[0]);
    if (!made)
        throw std::runtime_error("mkdtemp failed");
    dir = made;
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
        // nothing sensible to do in a destructor
    }
}

void MakeDirs(const std::string& path)
{
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/')
        cur = "/";
    while (std::getline(ss, part, '/')) {
        if (part.empty())
            continue;
        cur += part + "/";
        mkdir(cur.c_str(), 0755);
    }
}

std::string TempDir::Write(const std::string& rel, const std::string& text) const
{
    std::string full = dir + "/" + rel;
    size_t slash = full.rfind('/');
    MakeDirs(full.substr(0, slash));
    std::ofstream f(full, std::ios::binary);
    f << text;
    return full;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

RunResult RunIn(const std::string& cwd, const std::string& command)
{
    TempDir scratch;
    std::string outPath = scratch.path() + "/out", errPath = scratch.path() + "/err";
    std::string full = "cd '" + cwd + "' && " + command + " >'" + outPath + "' 2>'" + errPath + "' </dev/null";
    int raw = system(full.c_str());
    RunResult r;
    if (raw != -1 && WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    else if (raw != -1 && WIFSIGNALED(raw))
        r.status = 128 + WTERMSIG(raw);
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}
