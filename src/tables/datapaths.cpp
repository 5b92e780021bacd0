#include "datapaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "log.h"

#ifndef KORVA_VERSION
#define KORVA_VERSION "unknown"
#endif
#ifndef KORVA_COMMIT
#define KORVA_COMMIT "unknown commit"
#endif

namespace {

bool Exists(const std::string& path)
{
    return !path.empty() && access(path.c_str(), F_OK) == 0;
}

bool IsDir(const std::string& path)
{
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// XDG base folders must be absolute; anything else is ignored.
std::string XdgFolder(const char* variable, const char* home_relative)
{
    const char* v = getenv(variable);
    if (v && v[0] == '/')
        return v;
    const char* home = getenv("HOME");
    if (home && home[0])
        return std::string(home) + "/" + home_relative;
    return "";
}

std::string Parent(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ExecutableFolder()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    buf[n] = '\0';
    return Parent(buf);
}

// PREFIX of an executable installed as PREFIX/bin/korva; for a build tree,
// the folder that holds bin/.
std::string Prefix()
{
    return Parent(ExecutableFolder());
}

std::string InstalledFolder()
{
    std::string prefix = Prefix();
    return prefix.empty() ? "" : (prefix == "/" ? "" : prefix) + "/share/korva";
}

std::string ConfigFile()
{
    std::string config = XdgFolder("XDG_CONFIG_HOME", ".config");
    return config.empty() ? "" : config + "/korva/gft_dir";
}

// The installation's own registration, outside the files a package owns:
// /etc/korva for an executable under /usr, PREFIX/etc/korva otherwise.
std::string SystemFile()
{
    // Only an installed korva has one: a build tree's prefix is a checkout.
    std::string prefix = Prefix();
    if (prefix.empty() || !IsDir(InstalledFolder()))
        return "";
    return (prefix == "/usr" || prefix == "/" ? std::string() : prefix) + "/etc/korva/gft_dir";
}

// The installation's registration can be written: its folder, or the
// nearest one above it, takes new files.
bool SystemWritable()
{
    std::string file = SystemFile();
    return !file.empty() && Writable(Parent(file));
}

}  // namespace

std::vector<std::string> DataFolders()
{
    std::vector<std::string> folders = {"."};
    std::string installed = InstalledFolder();
    if (!installed.empty()) {
        folders.push_back(installed);
        folders.push_back(Prefix());
    }
    const char* env = getenv("KORVA_DATA");
    if (env && env[0])
        folders.push_back(env);
    return folders;
}

std::string SingleTableRoot()
{
    for (const std::string& folder : DataFolders())
        if (IsDir(folder + "/incdata"))
            return folder;
    return ".";
}

std::vector<std::string> RegistrationFiles()
{
    std::vector<std::string> files = {"bin/.gft_dir"};
    std::string system = SystemFile(), config = ConfigFile();
    if (SystemWritable())
        files.insert(files.end(), {system, config});
    else
        files.insert(files.end(), {config, system});
    // Where earlier versions registered, inside the installed files.
    std::string installed = InstalledFolder();
    if (!installed.empty())
        files.push_back(installed + "/gft_dir");
    std::string exe = ExecutableFolder();
    if (!exe.empty())
        files.push_back(exe + "/.gft_dir");
    const char* env = getenv("KORVA_DATA");
    if (env && env[0])
        files.push_back(std::string(env) + "/bin/.gft_dir");
    std::vector<std::string> present;
    for (const std::string& f : files)
        if (!f.empty())
            present.push_back(f);
    return present;
}

std::string FindRegistration()
{
    for (const std::string& f : RegistrationFiles())
        if (Exists(f))
            return f;
    return "";
}

std::string RegistrationTarget()
{
    if (IsDir("bin"))
        return "bin/.gft_dir";
    if (SystemWritable())
        return SystemFile();
    return ConfigFile();
}

// The registration writes the folder with a final '/'; a hand-written file
// may end in a newline instead. Either one is dropped.
std::string ReadRegistration(const std::string& file)
{
    FILE* f = fopen(file.c_str(), "r");
    if (!f) {
        throw InputError{Log::format("cannot open %s file", file.c_str())};
    }
    std::string dir;
    for (int c; (c = fgetc(f)) != EOF;) {
        dir += (char)c;
        if (c == '\n')
            break;
    }
    fclose(f);
    if (!dir.empty() && (dir.back() == '\n' || dir.back() == '/'))
        dir.pop_back();
    if (dir.empty()) {
        throw InputError{Log::format("wrong in %s file", file.c_str())};
    }
    // Cutting a long path would load some other folder's tables.
    if (dir.size() > 1023) {
        throw InputError{Log::format("the table folder registered in %s is %zu characters long, more "
                                     "than 1023\n",
                                     file.c_str(), dir.size())};
    }
    struct stat st;
    const bool exists = stat(dir.c_str(), &st) == 0;
    if (!exists || !S_ISDIR(st.st_mode)) {
        throw InputError{Log::format("the table folder registered in %s, %s, %s\n", file.c_str(),
                                     dir.c_str(), exists ? "is not a folder" : "does not exist")};
    }
    return dir;
}

std::string CacheFolder()
{
    std::string cache = XdgFolder("XDG_CACHE_HOME", ".cache");
    return cache.empty() ? "" : cache + "/korva/tables";
}

bool Writable(const std::string& dir)
{
    std::string d = dir;
    while (!d.empty() && !Exists(d))
        d = Parent(d);
    if (d.empty())
        d = ".";
    return IsDir(d) && access(d.c_str(), W_OK | X_OK) == 0;
}

bool MakeFolders(const std::string& dir)
{
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        if (mkdir(dir.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

int ShowVersion()
{
    Log::output("korva %s (%s)\n", KORVA_VERSION, KORVA_COMMIT);
    Log::output("single-medium tables: %s/incdata\n", SingleTableRoot().c_str());
    std::string reg = FindRegistration();
    if (reg.empty()) {
        Log::output("registered table folder: none (korva --gft DIR writes %s)\n",
                    RegistrationTarget().c_str());
    } else {
        Log::output("registered table folder: %s (from %s)\n", ReadRegistration(reg).c_str(),
                    reg.c_str());
    }
    std::string cache = CacheFolder();
    Log::output("table cache, used when the registered folder is not writable: %s\n",
                cache.empty() ? "none (neither XDG_CACHE_HOME nor HOME is set)" : cache.c_str());
    return 0;
}
