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
// text, and a final line without a terminator still counts (a final terminator adds no line).
std::vector<std::string> SplitLines(std::string_view text);

// Reads a file into lines by the rules of SplitLines. Raises EFileError when it cannot be read.
std::vector<std::string> ReadLines(const std::string& name);

// Writes the lines, each ended by CR LF. The file is replaced atomically: the text goes to a
// temporary file beside it, is flushed to disk and then renamed over the old one, so a crash
// mid-write leaves either the old file or the new one, never a truncated one. Raises EFileError.
void WriteLines(const std::string& name, const std::vector<std::string>& lines);

}  // namespace ui
