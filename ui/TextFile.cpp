#include "ui/TextFile.h"

#include "ui/Exception.h"

#include <cerrno>
#include <cstring>
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

std::vector<std::string> SplitLines(std::string_view text) {
    std::size_t nul = text.find('\0');
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

std::vector<std::string> ReadLines(const std::string& name) {
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EFileError(ErrorText("Cannot open file", name, errno));
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            throw EFileError(ErrorText("Cannot read file", name, err));
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return SplitLines(text);
}

void WriteLines(const std::string& name, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    std::string temp = name + ".tmp~";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw EFileError(ErrorText("Cannot create file", temp, errno));
    if (!WriteAll(fd, text.data(), text.size()) || ::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        throw EFileError(ErrorText("Cannot write file", name, err));
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), name.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        throw EFileError(ErrorText("Cannot write file", name, err));
    }
}

}  // namespace ui
