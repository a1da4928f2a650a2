#include "ui/core/Holidays.h"

#include "ui/core/Exception.h"
#include "ui/core/TextFile.h"

#include <QDate>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#ifndef QB_DATA_FROM_BINDIR
#define QB_DATA_FROM_BINDIR "../share/quoteboard"
#endif

namespace ui {
namespace {

THolidays& Calendar() {
    static THolidays calendar;
    return calendar;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
    return s;
}

// "yyyy-mm-dd" as a day number, or false.
bool ParseDate(std::string_view s, long long& day) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
    int parts[3] = {0, 0, 0};
    const int starts[3] = {0, 5, 8}, lengths[3] = {4, 2, 2};
    for (int p = 0; p < 3; ++p)
        for (int i = 0; i < lengths[p]; ++i) {
            char c = s[starts[p] + i];
            if (c < '0' || c > '9') return false;
            parts[p] = parts[p] * 10 + (c - '0');
        }
    if (!QDate::isValid(parts[0], parts[1], parts[2])) return false;
    day = static_cast<long long>(EncodeDate(parts[0], parts[1], parts[2]));
    return true;
}

}  // namespace

THolidays THolidays::Parse(std::string_view text, std::vector<std::string>* problems) {
    THolidays result;
    std::vector<std::string> lines = SplitLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        long long day = 0;
        if (ParseDate(line, day))
            result.days_.push_back(day);
        else if (problems)
            problems->push_back("line " + std::to_string(i + 1) + ": \"" + std::string(line) +
                                "\" is not a date (yyyy-mm-dd)");
    }
    std::sort(result.days_.begin(), result.days_.end());
    result.days_.erase(std::unique(result.days_.begin(), result.days_.end()), result.days_.end());
    return result;
}

bool THolidays::Contains(TDateTime dt) const {
    long long day = static_cast<long long>(std::floor(dt));
    return std::binary_search(days_.begin(), days_.end(), day);
}

namespace {
std::optional<std::vector<std::string>>& DataDirsOverride() {
    static std::optional<std::vector<std::string>> dirs;
    return dirs;
}
}  // namespace

void SetDataDirs(std::optional<std::vector<std::string>> dirs) { DataDirsOverride() = std::move(dirs); }

std::vector<std::string> DataDirs() {
    if (DataDirsOverride()) return *DataDirsOverride();
    std::vector<std::string> dirs;
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) dirs.push_back((exe.parent_path() / QB_DATA_FROM_BINDIR).lexically_normal().string());
    return dirs;
}

std::string FindDataFile(const std::string& name) {
    std::vector<std::string> candidates{name};
    for (const std::string& dir : DataDirs()) candidates.push_back(dir + "/" + name);
    std::error_code ec;
    for (const std::string& c : candidates)
        if (std::filesystem::is_regular_file(c, ec)) return c;
    return {};
}

std::string LoadHolidays() {
    std::string path = FindDataFile(HolidaysFileName);
    if (path.empty()) {
        // A directory or FIFO of that name in the working directory is worth a word.
        if (PathExists(HolidaysFileName))
            std::fprintf(stderr, "%s is not a regular file; the exchange closes on weekends only\n", HolidaysFileName);
        Calendar() = THolidays();
        return {};
    }
    std::string text;
    try {
        for (const std::string& line : ReadLines(path)) text += line + "\n";
    } catch (const EFileError& e) {
        std::fprintf(stderr, "%s; the exchange closes on weekends only\n", e.what());
        Calendar() = THolidays();
        return {};
    }
    std::vector<std::string> problems;
    Calendar() = THolidays::Parse(text, &problems);
    for (const std::string& p : problems) std::fprintf(stderr, "%s %s, skipped\n", path.c_str(), p.c_str());
    return path;
}

void SetHolidays(THolidays holidays) { Calendar() = std::move(holidays); }

const THolidays& Holidays() { return Calendar(); }

bool IsClosedDay(TDateTime dt) { return IsWeekendDay(dt) || Calendar().Contains(dt); }

}  // namespace ui
