#pragma once
// The exchange's weekday closures, kept in HOLIDAYS.TXT: one date "yyyy-mm-dd" a line, blank
// lines and comments after "#" allowed. The file is looked for in the working directory first,
// then in the installed data folder; without one the exchange closes on weekends only.
#include "ui/core/DateTime.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

inline constexpr const char* HolidaysFileName = "HOLIDAYS.TXT";

class THolidays {
public:
    // Reads the dates of a holiday file's text. A line that is neither blank, a comment nor a
    // valid date is skipped, and its 1-based number and a reason go to problems (when given).
    static THolidays Parse(std::string_view text, std::vector<std::string>* problems = nullptr);

    // True when the day of the date-time is listed (the time of day is ignored).
    bool Contains(TDateTime dt) const;
    std::size_t Count() const { return days_.size(); }

private:
    std::vector<long long> days_;  // day numbers, sorted, unique
};

// The folders a data file is looked for in after the working directory: the data folder as
// installed beside the program (<bin>/../share/quoteboard; in a build tree, the copy of data/
// there). No path of the machine that built the program is among them.
std::vector<std::string> DataDirs();
// Replaces the folders DataDirs() gives (tests: an empty list leaves only the working
// directory); std::nullopt restores the usual ones.
void SetDataDirs(std::optional<std::vector<std::string>> dirs);
// The first of NAME in the working directory and NAME in each of DataDirs() that is a regular
// file; empty when there is none.
std::string FindDataFile(const std::string& name);

// Loads the program-wide calendar from the first HOLIDAYS.TXT that FindDataFile finds. A missing
// file leaves it empty; a file that cannot be read, and each malformed line, is reported once on
// stderr and skipped. Returns the path read (empty when none).
std::string LoadHolidays();
// Replaces the program-wide calendar (tests).
void SetHolidays(THolidays holidays);
const THolidays& Holidays();

// True when the exchange trades on none of that day: a Saturday, a Sunday or a listed holiday.
bool IsClosedDay(TDateTime dt);

}  // namespace ui
