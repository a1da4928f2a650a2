#include "ui/core/TextFile.h"

#include "ui/core/Exception.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ui {
namespace {

std::string ErrorText(const std::string& what, const std::string& name, int err) {
    return what + " \"" + name + "\": " + std::strerror(err);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool FileExists(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& name) {
    struct stat st {};
    return ::lstat(name.c_str(), &st) == 0;
}

void DeleteFile(const std::string& name) {
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) throw EFileError(ErrorText("Cannot delete file", name, errno));
}

std::vector<std::string> SplitLines(std::string_view text, bool nulEndsText) {
    std::size_t nul = nulEndsText ? text.find('\0') : std::string_view::npos;
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    std::vector<std::string> lines;
    std::size_t start = 0, i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            ++i;
            if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::vector<std::string> ReadLines(const std::string& name, int maxLines, bool nulEndsText) {
    // Non-blocking, so that a FIFO cannot hold the open; it is refused right after.
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw EFileError(ErrorText("Cannot open file", name, errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        throw EFileError(ErrorText("Cannot read file", name, err));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw EFileError("Cannot read file \"" + name + "\": not a regular file");
    }
    std::string text;
    char buf[4096];
    std::size_t lineEnds = 0;
    for (;;) {
        std::size_t room = MaxReadBytes - text.size();
        if (room == 0) break;
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, room));
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            throw EFileError(ErrorText("Cannot read file", name, err));
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (maxLines >= 0) {
            // Enough once more line ends than lines wanted have come (a CR LF pair counts
            // twice, so this may read a little more than needed, never less).
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '\n' || buf[i] == '\r' || (nulEndsText && buf[i] == '\0')) ++lineEnds;
            if (lineEnds > 2 * static_cast<std::size_t>(maxLines) + 1) break;
        }
    }
    ::close(fd);
    std::vector<std::string> lines = SplitLines(text, nulEndsText);
    if (maxLines >= 0 && lines.size() > static_cast<std::size_t>(maxLines))
        lines.resize(static_cast<std::size_t>(maxLines));
    return lines;
}

namespace {

// The file a name stands for: the target of a symbolic link (followed to the end), else the
// name itself.
std::string ResolveTarget(const std::string& name) {
    std::string path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(PATH_MAX, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return path;
        target.resize(static_cast<std::size_t>(n));
        if (!target.empty() && target[0] != '/') {
            std::size_t slash = path.rfind('/');
            if (slash != std::string::npos) target = path.substr(0, slash + 1) + target;
        }
        path = target;
    }
    throw EFileError(ErrorText("Cannot write file", name, ELOOP));
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Removes temporary files of the target left by processes that no longer run (and the fixed
// name older versions used).
void RemoveStaleTemporariesIn(const std::string& dir, const std::string& base) {
    const std::string prefix = base + ".tmp~";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        std::string entry = e->d_name;
        if (entry.compare(0, prefix.size(), prefix) != 0) continue;
        std::string suffix = entry.substr(prefix.size());
        bool stale = suffix.empty();
        if (!stale && suffix.find_first_not_of("0123456789") == std::string::npos) {
            // Leading zeros aside, a number of more digits than a process id can have, or one
            // above the largest, names no process.
            const std::size_t first = std::min(suffix.find_first_not_of('0'), suffix.size());
            const std::string digits = suffix.substr(first);
            const long long pid = digits.size() > 10 ? LLONG_MAX : std::atoll(digits.c_str());
            if (pid <= 0 || pid > INT_MAX)
                stale = true;
            else
                stale = pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        }
        if (stale) ::unlinkat(::dirfd(d), entry.c_str(), 0);  // a link goes, never its target
    }
    ::closedir(d);
}

}  // namespace

void WriteLines(const std::string& name, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    const std::string target = ResolveTarget(name);
    const std::string dir = DirectoryOf(target);
    RemoveStaleTemporariesIn(dir, BaseName(target));

    mode_t mode = 0644;
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) mode = old.st_mode & 07777;

    // O_EXCL with O_CREAT follows no link: a planted link or file of that name is refused,
    // then removed (the link itself, not its target) and the creation tried once more.
    const std::string temp = target + ".tmp~" + std::to_string(::getpid());
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temp.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(temp.c_str()) == 0) fd = ::open(temp.c_str(), flags, 0600);
    if (fd < 0) throw EFileError(ErrorText("Cannot create file", temp, errno));
    auto fail = [&](const std::string& what, int err) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        throw EFileError(ErrorText(what, name, err));
    };
    if (::fchmod(fd, mode) != 0) fail("Cannot write file", errno);
    if (exists && ::geteuid() == 0) {
        // As root, give the new file the old one's owner (best effort).
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {}
    }
    if (!WriteAll(fd, text.data(), text.size()) || ::fsync(fd) != 0) fail("Cannot write file", errno);
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) fail("Cannot write file", errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) fail("Cannot write file", errno);
    // The rename is durable only once the directory is on disk.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        int synced = ::fsync(dfd);
        int err = errno;
        ::close(dfd);
        if (synced != 0 && err != EINVAL) throw EFileError(ErrorText("Cannot write file", name, err));
    }
}

void RemoveStaleTemporaries(const std::string& name) {
    const std::string target = ResolveTarget(name);
    RemoveStaleTemporariesIn(DirectoryOf(target), BaseName(target));
}

}  // namespace ui
