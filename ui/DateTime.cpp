#include "ui/DateTime.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <cmath>
#include <cstdio>

namespace ui {
namespace {

std::function<TDateTime()>& Clock() {
    static std::function<TDateTime()> clock;
    return clock;
}

const QDate& Epoch() {
    static const QDate epoch(1899, 12, 30);
    return epoch;
}

}  // namespace

TDateTime SystemNow() {
    QDateTime now = QDateTime::currentDateTime();
    return static_cast<double>(Epoch().daysTo(now.date())) + now.time().msecsSinceStartOfDay() / 86400000.0;
}

TDateTime Now() {
    const auto& clock = Clock();
    return clock ? clock() : SystemNow();
}

std::function<TDateTime()> SetClock(std::function<TDateTime()> clock) {
    auto old = Clock();
    Clock() = std::move(clock);
    return old;
}

TDateTime EncodeDate(int year, int month, int day) {
    return static_cast<double>(Epoch().daysTo(QDate(year, month, day)));
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
    return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / 86400000.0;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
    return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, msec);
}

TimeParts DecodeTime(TDateTime dt) {
    double frac = std::fabs(dt - std::trunc(dt));
    long long ms = std::llround(frac * 86400000.0);
    if (ms >= 86400000LL) ms = 86400000LL - 1;
    TimeParts t{};
    t.hour = static_cast<int>(ms / 3600000);
    t.minute = static_cast<int>(ms / 60000 % 60);
    t.second = static_cast<int>(ms / 1000 % 60);
    t.msec = static_cast<int>(ms % 1000);
    return t;
}

std::string FormatHHNN(TDateTime dt) {
    TimeParts t = DecodeTime(dt);
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d:%02d", t.hour, t.minute);
    return buf;
}

std::string FormatHHNNSS(TDateTime dt) {
    TimeParts t = DecodeTime(dt);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return buf;
}

int DayIndex(TDateTime dt) {
    long long days = static_cast<long long>(std::trunc(dt));
    int r = static_cast<int>(days % 7);
    return r < 0 ? r + 7 : r;
}

bool IsWeekendDay(TDateTime dt) {
    int d = DayIndex(dt);
    return d == 0 || d == 1;
}

}  // namespace ui
