#include "testutil.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/korva-test-XXXXXX";
    if (!mkdtemp(&templ[0]))
        throw std::runtime_error("mkdtemp failed");
    dir = templ;
}

TempDir::~TempDir()
{
    if (system(("rm -rf '" + dir + "'").c_str()) != 0) {
        // nothing sensible to do in a destructor
    }
}

void MakeDirs(const std::string& path)
{
    for (size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
        mkdir(path.substr(0, at).c_str(), 0755);
        if (at == std::string::npos)
            return;
    }
}

std::string TempDir::Write(const std::string& rel, const std::string& text) const
{
    std::string full = dir + "/" + rel;
    MakeDirs(full.substr(0, full.rfind('/')));
    std::ofstream(full, std::ios::binary) << text;
    return full;
}

std::string ReadFile(const std::string& path)
{
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

RunResult RunIn(const std::string& cwd, const std::string& command)
{
    TempDir scratch;
    const std::string out = scratch.path() + "/out", err = scratch.path() + "/err";
    int raw = system(("cd '" + cwd + "' && " + command + " >'" + out + "' 2>'" + err + "' </dev/null").c_str());
    RunResult r;
    if (raw != -1 && WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    else if (raw != -1 && WIFSIGNALED(raw))
        r.status = 128 + WTERMSIG(raw);
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
}

int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::vector<double> ReadDoubles(const std::string& path)
{
    std::string bytes = ReadFile(path);
    std::vector<double> v(bytes.size() / 8);
    std::memcpy(v.data(), bytes.data(), v.size() * 8);
    return v;
}
