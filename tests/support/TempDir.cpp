#include "TempDir.h"

#include "ui/core/TextFile.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qbtest-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

WorkingDir::WorkingDir(const std::string& dir) {
    FOld = std::filesystem::current_path().string();
    std::filesystem::current_path(dir);
}

WorkingDir::~WorkingDir() {
    std::error_code ec;
    std::filesystem::current_path(FOld, ec);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string SourceDir() {
    const char* d = std::getenv("QB_SOURCE_DIR");
#ifdef QB_DEFAULT_SOURCE_DIR
    if (!d) d = QB_DEFAULT_SOURCE_DIR;
#endif
    return d ? d : ".";
}

std::string BinaryDir() {
    const char* d = std::getenv("QB_BINARY_DIR");
#ifdef QB_DEFAULT_BINARY_DIR
    if (!d) d = QB_DEFAULT_BINARY_DIR;
#endif
    return d ? d : ".";
}

std::string DefaultStockList() { return ReadFileBytes(SourceDir() + "/data/STOCKLIST.TXT"); }

std::map<std::string, std::string> AvailableNames() {
    std::map<std::string, std::string> names;
    for (const std::string& line : ui::ReadLines(SourceDir() + "/data/AVAILABLE.TXT"))
        if (const std::size_t space = line.find(' '); space != std::string::npos && space + 1 < line.size())
            names[line.substr(0, space)] = line.substr(space + 1);
    return names;
}

}  // namespace testsupport
