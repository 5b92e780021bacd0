#include "outputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace OutputFile {

namespace {

// What a name leads to once its links are followed.
struct Target {
    enum Kind { ABSENT, REGULAR, THROUGH, DESCRIPTOR } kind = ABSENT;
    std::string path;  // the file to create or replace, or the name to open
    struct stat st {};  // of a REGULAR file
    int fd = -1;        // DESCRIPTOR
};

std::string Folder(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Fail(const std::string& path, int err)
{
    return "cannot write the output file " + path + ": " + strerror(err);
}

// The descriptor that `link` names when it is an entry of this process's
// /proc/PID/fd (reached as /dev/stdout, /dev/fd/N, /proc/self/fd/N), else -1.
// Such a link's text ("pipe:[…]", a file already open with its own offset)
// is no name to write to; the descriptor is.
int OwnDescriptor(const std::string& link)
{
    char real[PATH_MAX];
    if (!realpath(Folder(link).c_str(), real))
        return -1;
    if (std::string(real) != "/proc/" + std::to_string(getpid()) + "/fd")
        return -1;
    const std::string name = link.substr(link.find_last_of('/') + 1);
    char* end = nullptr;
    const long fd = strtol(name.c_str(), &end, 10);
    return !name.empty() && *end == '\0' && fd >= 0 && fd <= INT_MAX ? (int)fd : -1;
}

// Follows the links of `given` to the file that receives the text; false
// with errno set when there is none that could.
bool Resolve(const std::string& given, Target& t)
{
    std::string p = given;
    for (int hops = 0; hops <= 40; hops++) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return false;
            // A new file: its folder must exist (ENOENT or ENOTDIR if not).
            struct stat folder;
            if (stat(Folder(p).c_str(), &folder) != 0)
                return false;
            if (!S_ISDIR(folder.st_mode)) {
                errno = ENOTDIR;
                return false;
            }
            t.kind = Target::ABSENT;
            t.path = p;
            return true;
        }
        if (S_ISLNK(st.st_mode)) {
            const int fd = OwnDescriptor(p);
            if (fd >= 0) {
                t.kind = Target::DESCRIPTOR;
                t.fd = fd;
                t.path = p;
                return true;
            }
            std::vector<char> buf((size_t)PATH_MAX + 1);
            const ssize_t n = readlink(p.c_str(), buf.data(), buf.size() - 1);
            if (n < 0)
                return false;
            const std::string to(buf.data(), (size_t)n);
            p = to[0] == '/' ? to : Folder(p) + "/" + to;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        t.kind = S_ISREG(st.st_mode) ? Target::REGULAR : Target::THROUGH;
        t.path = p;
        t.st = st;
        return true;
    }
    errno = ELOOP;
    return false;
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

// The temporaries of open streams, for a stop by signal to remove: a
// stopped run leaves no file it had not finished but its finished rows.
const int TEMPS = 8;
char temp_names[TEMPS][PATH_MAX];
std::atomic<bool> temp_used[TEMPS];

int HoldTemporary(const std::string& temp)
{
    for (int i = 0; i < TEMPS; i++) {
        bool free = false;
        if (temp.size() < PATH_MAX && temp_used[i].compare_exchange_strong(free, true)) {
            memcpy(temp_names[i], temp.c_str(), temp.size() + 1);
            return i;
        }
    }
    return -1;
}

void ReleaseTemporary(int slot)
{
    if (slot >= 0)
        temp_used[slot] = false;
}

void RemoveTemporaries(int sig)
{
    for (int i = 0; i < TEMPS; i++)
        if (temp_used[i])
            unlink(temp_names[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

// A new file beside `path`, named after it while the name stays short
// enough for the folder; -1 with errno set when none can be made.
int MakeTemporary(const std::string& path, std::string& temp)
{
    const std::string base = path.substr(path.find_last_of('/') + 1);
    temp = base.size() + 10 <= NAME_MAX ? path + ".tmpXXXXXX" : Folder(path) + "/.korva.tmpXXXXXX";
    std::vector<char> buf(temp.begin(), temp.end());
    buf.push_back('\0');
    const int fd = mkstemp(buf.data());
    temp = buf.data();
    return fd;
}

// `given` is the name the user gave; a link leads to t.path.
bool Replace(const Target& t, const std::string& given, const std::string& text, std::string& error)
{
    const std::string name = given == t.path ? given : given + " (" + t.path + ")";
    std::string temp;
    const int fd = MakeTemporary(t.path, temp);
    if (fd < 0) {
        error = Fail(name, errno);
        return false;
    }
    if (t.kind == Target::REGULAR) {
        // The file keeps its permissions, and its owner where the writer
        // may give it away (else the new file is the writer's).
        if (fchown(fd, t.st.st_uid, t.st.st_gid) != 0)
            errno = 0;
        fchmod(fd, t.st.st_mode & 07777);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);  // as a plain open would have made it
    }
    bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temp.c_str(), t.path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        error = Fail(name, err);
    }
    return ok;
}

}  // namespace

bool Check(const std::string& path, std::string& error)
{
    Target t;
    if (!Resolve(path, t)) {
        error = Fail(path, errno);
        return false;
    }
    if (t.kind == Target::DESCRIPTOR) {
        const int flags = fcntl(t.fd, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
            error = Fail(path, flags < 0 ? errno : EBADF);
            return false;
        }
        return true;
    }
    if (t.kind == Target::THROUGH) {
        if (access(t.path.c_str(), W_OK) != 0) {
            error = Fail(path, errno);
            return false;
        }
        return true;
    }
    // Only making a file there tells for sure (a root user passes every
    // permission test, not a read-only or full file system).
    std::string temp;
    const int fd = MakeTemporary(t.path, temp);
    if (fd < 0) {
        error = Fail(path, errno);
        return false;
    }
    close(fd);
    unlink(temp.c_str());
    return true;
}

bool Write(const std::string& path, const std::string& text, std::string& error)
{
    Target t;
    if (!Resolve(path, t)) {
        error = Fail(path, errno);
        return false;
    }
    if (t.kind == Target::ABSENT || t.kind == Target::REGULAR)
        return Replace(t, path, text, error);
    int fd = t.fd;
    if (t.kind == Target::DESCRIPTOR) {
        fflush(nullptr);  // what the console printed comes first
    } else {
        fd = open(t.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) {
            error = Fail(path, errno);
            return false;
        }
    }
    bool ok = WriteAll(fd, text);
    int err = errno;
    if (t.kind != Target::DESCRIPTOR && close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok)
        error = Fail(path, err);
    return ok;
}

bool Replaceable(const std::string& path)
{
    Target t;
    return Resolve(path, t) && (t.kind == Target::ABSENT || t.kind == Target::REGULAR);
}

void RemoveTemporariesOnStop()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, RemoveTemporaries);
}

bool Stream::Open(const std::string& path, std::string& error)
{
    Abort();
    error_.clear();
    Target t;
    if (!Resolve(path, t)) {
        error = Fail(path, errno);
        return false;
    }
    given_ = path;
    name_ = path == t.path ? path : path + " (" + t.path + ")";
    descriptor_ = t.kind == Target::DESCRIPTOR;
    if (t.kind == Target::ABSENT || t.kind == Target::REGULAR) {
        fd_ = MakeTemporary(t.path, temp_);
        if (fd_ < 0) {
            error = Fail(name_, errno);
            temp_.clear();
            return false;
        }
        if (t.kind == Target::REGULAR) {
            if (fchown(fd_, t.st.st_uid, t.st.st_gid) != 0)
                errno = 0;
            fchmod(fd_, t.st.st_mode & 07777);
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            fchmod(fd_, 0666 & ~mask);
        }
        final_ = t.path;
        own_fd_ = true;
        held_ = HoldTemporary(temp_);
    } else if (descriptor_) {
        fd_ = t.fd;
        own_fd_ = false;
    } else {
        fd_ = open(t.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) {
            error = Fail(name_, errno);
            return false;
        }
        own_fd_ = true;
    }
    return true;
}

bool Stream::Flush()
{
    if (!error_.empty())
        return false;
    if (descriptor_)
        fflush(nullptr);
    if (!WriteAll(fd_, buffer_)) {
        error_ = Fail(name_, errno);
        buffer_.clear();
        return false;
    }
    buffer_.clear();
    return true;
}

bool Stream::Append(const std::string& text)
{
    if (fd_ < 0 || !error_.empty())
        return false;
    buffer_ += text;
    // Large writes for a file of millions of lines; a failing disk is
    // still told within a megabyte of where it filled. The process's own
    // standard output takes the file after the console, whole.
    return descriptor_ || buffer_.size() < (1u << 20) || Flush();
}

bool Stream::Commit(std::string& error)
{
    bool ok = fd_ >= 0 && Flush();
    if (ok && !temp_.empty() && fsync(fd_) != 0) {
        error_ = Fail(name_, errno);
        ok = false;
    }
    if (own_fd_ && fd_ >= 0 && close(fd_) != 0 && ok) {
        error_ = Fail(name_, errno);
        ok = false;
    }
    fd_ = -1;
    if (ok && !temp_.empty() && rename(temp_.c_str(), final_.c_str()) != 0) {
        error_ = Fail(name_, errno);
        ok = false;
    }
    if (ok) {
        ReleaseTemporary(held_);
        held_ = -1;
        temp_.clear();
    } else if (error_.empty())
        error_ = "cannot write the output file " + given_ + ": it was not opened";
    error = error_;
    Abort();
    return ok;
}

void Stream::Abort()
{
    if (own_fd_ && fd_ >= 0)
        close(fd_);
    fd_ = -1;
    own_fd_ = false;
    ReleaseTemporary(held_);
    held_ = -1;
    if (!temp_.empty())
        unlink(temp_.c_str());
    temp_.clear();
    buffer_.clear();
}

}  // namespace OutputFile
