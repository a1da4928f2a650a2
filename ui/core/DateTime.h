#pragma once
// Date-times as the program keeps them: a double counting days since 30 December 1899, the
// fraction being the time of day; durations are in days (one second is 1/86400).
//
// The local clock is read only through Now(), which tests replace with SetClock().
#include <functional>
#include <string>

namespace ui {

using TDateTime = double;

constexpr double OneSecond = 1.0 / 86400.0;

// The local date-time now, from the clock in force.
TDateTime Now();

// Replaces the clock (an empty function restores the system's local clock). Returns the old one.
std::function<TDateTime()> SetClock(std::function<TDateTime()> clock);

// The system's local clock, whatever clock is in force.
TDateTime SystemNow();

TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec = 0);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec = 0);

struct TimeParts {
    int hour, minute, second, msec;
};
// The time of day of a date-time, rounded to the millisecond.
TimeParts DecodeTime(TDateTime dt);

// "hh:nn" and "hh:nn:ss": two-digit 24-hour clock, ":" as the time separator.
std::string FormatHHNN(TDateTime dt);
std::string FormatHHNNSS(TDateTime dt);

// Day of the week by the day count: 0 is a Saturday, 1 a Sunday, ... 6 a Friday.
int DayIndex(TDateTime dt);
// True when the date is a Saturday or a Sunday.
bool IsWeekendDay(TDateTime dt);

}  // namespace ui
