#pragma once
// Text files in the working directory, as the program's two list files use them. Lines are
// byte strings; the file's bytes are taken as they are, with no code-page conversion.
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// True when a file (not a directory) of that name exists.
bool FileExists(const std::string& name);
// True when anything of that name exists: a file, a directory, a link.
bool PathExists(const std::string& name);

// Deletes the file; a missing file is no error. Raises EFileError when it exists and cannot go.
void DeleteFile(const std::string& name);

// Splits a text into lines: CR LF, a lone LF and a lone CR each end a line, a NUL byte ends the
// text (unless nulEndsText is false: it is then a byte of its line), and a final line without a
// terminator still counts (a final terminator adds no line).
std::vector<std::string> SplitLines(std::string_view text, bool nulEndsText = true);

// Reads a file into lines by the rules of SplitLines. With maxLines (>= 0) only what that many
// lines need is read, and never more than MaxReadBytes. Only a regular file (or a link to one)
// is read: a FIFO, a device or a directory raises EFileError at once instead of blocking. Raises
// EFileError when it cannot be read.
constexpr std::size_t MaxReadBytes = 1 << 20;
std::vector<std::string> ReadLines(const std::string& name, int maxLines = -1, bool nulEndsText = true);

// Writes the lines, each ended by CR LF. The file is replaced atomically: the text goes to a
// temporary file beside it (created exclusively under a name of this process, never through a
// link), is flushed to disk, renamed over the old one, and the directory is flushed too, so a
// crash mid-write leaves either the old file or the new one, never a truncated one. A name that
// is a symbolic link has its target replaced, the link stays; an existing file keeps its
// permission bits. Temporary files left by a process that no longer runs are removed. Raises
// EFileError.
void WriteLines(const std::string& name, const std::vector<std::string>& lines);

// Removes the temporary files that WriteLines left beside the named file in processes that no
// longer run ("name.tmp~PID"; a number that is no process id is no running process either).
void RemoveStaleTemporaries(const std::string& name);

}  // namespace ui
