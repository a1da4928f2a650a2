#include "ui/core/DateTime.h"

#include <QDate>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

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

// The local clock: the system's real time plus the zone's offset from UTC. Looking the offset up
// (tzset and localtime_r, which stat the zone file) costs many times the clock read itself, so it
// is kept for the quarter hour of UTC it was found in: zones change their offsets only at such
// boundaries, so the answers are those of a fresh look-up every time. A change of TZ is seen at
// once; a new /etc/localtime within the quarter hour.
TDateTime SystemNow() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    constexpr long long Window = 15 * 60;
    static long long cachedWindow = LLONG_MIN;
    static long long cachedOffset = 0;
    static std::string cachedZone;
    const long long window = ts.tv_sec >= 0 ? ts.tv_sec / Window : (ts.tv_sec - Window + 1) / Window;
    const char* zone = std::getenv("TZ");
    if (window != cachedWindow || cachedZone != (zone ? zone : "")) {
        cachedZone = zone ? zone : "";
        ::tzset();
        struct tm local {};
        time_t t = ts.tv_sec;
        cachedOffset = ::localtime_r(&t, &local) ? local.tm_gmtoff : 0;
        cachedWindow = window;
    }
    const long long localMs = (ts.tv_sec + cachedOffset) * 1000LL + ts.tv_nsec / 1000000;
    constexpr long long DayMs = 86400000LL;
    constexpr long long UnixEpochDay = 25569;  // 1 January 1970 in days since 30 December 1899
    long long day = localMs / DayMs, msOfDay = localMs % DayMs;
    if (msOfDay < 0) {
        msOfDay += DayMs;
        --day;
    }
    return static_cast<double>(day + UnixEpochDay) + static_cast<double>(msOfDay) / 86400000.0;
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
