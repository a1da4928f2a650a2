#pragma once
// Test helpers: a temporary directory that is removed with the object, and a scope that makes
// it the working directory for the program's fixed file names.
#include <map>
#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return FPath; }
    std::string file(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

// Changes the working directory for its lifetime.
class WorkingDir {
public:
    explicit WorkingDir(const std::string& dir);
    ~WorkingDir();
    WorkingDir(const WorkingDir&) = delete;
    WorkingDir& operator=(const WorkingDir&) = delete;

private:
    std::string FOld;
};

// Raw file contents, and writing raw bytes (no line-end conversion).
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// The repository root and the build root, as CTest passes them (for the data files and the
// programs that tests start).
std::string SourceDir();
std::string BinaryDir();

// The default watch list of data/STOCKLIST.TXT (ten stocks, CR LF), as raw bytes.
std::string DefaultStockList();
// Names by code from the default data/AVAILABLE.TXT (Big5, as the picker shows them).
std::map<std::string, std::string> AvailableNames();

}  // namespace testsupport
