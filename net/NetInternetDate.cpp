#include "net/NetInternetDate.h"
#include "platform/core/Text.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

using asciitext::Trim;
using asciitext::TrimLeft;
using asciitext::Upper;

const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr int64_t kSecondsPerDay = 86400;
// Days from 1970-01-01 back to 1899-12-30, the origin of TNetDateTime.
constexpr int64_t kUnixEpochDays = 25569;

// Cuts the text before the first delimiter off s (all of s when it is absent).
std::string Fetch(std::string& s, char delimiter)
{
    const std::size_t at = s.find(delimiter);
    std::string head;
    if (at == std::string::npos) {
        head.swap(s);
    } else {
        head = s.substr(0, at);
        s.erase(0, at + 1);
    }
    return head;
}

// A whole decimal number with an optional sign and nothing else around it.
bool ToInt(const std::string& text, long& value)
{
    if (text.empty() || text.size() > 18)
        return false;
    std::size_t i = 0;
    if (text[0] == '+' || text[0] == '-')
        i = 1;
    if (i == text.size())
        return false;
    for (std::size_t j = i; j < text.size(); ++j)
        if (!std::isdigit(static_cast<unsigned char>(text[j])))
            return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return true;
}

int MonthIndex(const std::string& token)
{
    if (token.size() < 3)
        return 0;
    const std::string key = Upper(token.substr(0, 3));
    for (int m = 0; m < 12; ++m)
        if (key == Upper(kMonths[m]))
            return m + 1;
    return 0;
}

bool IsWeekday(const std::string& text)
{
    if (text.size() < 3)
        return false;
    const std::string key = Upper(text.substr(0, 3));
    for (const char* day : kWeekdays)
        if (key == Upper(day))
            return true;
    return false;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

bool IsLeap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(long y, int m)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Offset of local time from UTC, in seconds, at the instant t.
long LocalOffsetSeconds(time_t t)
{
    struct tm local {};
    if (!localtime_r(&t, &local))
        throw ENetFailedToRetreiveTimeZoneInfo("Failed attempting to retrieve time zone information.");
    return local.tm_gmtoff;
}

} // namespace

TNetDateTime NetEncodeDateTime(int year, int month, int day, int hour, int minute, int second)
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1
        || day > DaysInMonth(year, month))
        return 0;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return 0;
    const int64_t days = DaysFromCivil(year, month, day) + kUnixEpochDays;
    return static_cast<double>(days)
           + static_cast<double>(hour * 3600 + minute * 60 + second) / kSecondsPerDay;
}

TNetDateTime LocalOffsetFromUTC()
{
    return static_cast<double>(LocalOffsetSeconds(std::time(nullptr))) / kSecondsPerDay;
}

TNetDateTime NetNow()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    const double local = static_cast<double>(ts.tv_sec + LocalOffsetSeconds(ts.tv_sec))
                         + static_cast<double>(ts.tv_nsec) / 1e9;
    return local / kSecondsPerDay + kUnixEpochDays;
}

TNetDateTime ParseInternetDate(std::string& s)
{
    s = Trim(s);
    if (s.empty())
        return 0;

    if (IsWeekday(s)) {
        Fetch(s, ' ');
        s = TrimLeft(s);
    }

    // "06-Nov-94" separates its parts with "-"; the other forms with blanks.
    char separator = ' ';
    const std::size_t dash = s.find('-');
    const std::size_t blank = s.find(' ');
    if (dash != std::string::npos && dash != 0 && (blank == std::string::npos || dash < blank))
        separator = '-';

    auto readPart = [&s, separator]() {
        std::string part = Fetch(s, separator);
        s = TrimLeft(s);
        return part;
    };

    long day = 1;
    int month = 0;
    std::string first = readPart();
    if (MonthIndex(first) != 0) {
        month = MonthIndex(first);
        if (!ToInt(readPart(), day))
            day = 1;
    } else {
        if (!ToInt(first, day))
            day = 1;
        month = MonthIndex(readPart());
    }

    long year = 0;
    std::string yearText = Fetch(s, ' ');
    if (!ToInt(yearText, year)) {
        // asctime form: the time stands where the year would, the year last.
        std::string rest = Trim(s);
        const std::string yearField = Fetch(rest, ' ');
        if (!ToInt(yearField, year))
            return 0;
        s = yearText + (rest.empty() ? "" : " " + rest);
    }
    if (year < 80)
        year += 2000;
    else if (year < 100)
        year += 1900;
    if (day < 1 || day > 31 || year > 9999 || year < 1)
        return 0;

    TNetDateTime result = NetEncodeDateTime(static_cast<int>(year), month, static_cast<int>(day));
    if (result == 0)
        return 0;

    s = TrimLeft(s);
    if (s.find(':') != std::string::npos) {
        std::string clock = Fetch(s, ' ');
        long hms[3] = {0, 0, 0};
        for (long& part : hms) {
            if (!ToInt(Fetch(clock, ':'), part))
                part = 0;
        }
        if (hms[0] < 0 || hms[0] > 23 || hms[1] < 0 || hms[1] > 59 || hms[2] < 0 || hms[2] > 59)
            return 0;
        result += static_cast<double>(hms[0] * 3600 + hms[1] * 60 + hms[2]) / kSecondsPerDay;
    }
    s = TrimLeft(s);
    return result;
}

TNetDateTime InternetDateToLocal(const std::string& text)
{
    std::string zone = text;
    TNetDateTime result = ParseInternetDate(zone);
    if (result == 0)
        return 0;
    zone = Trim(zone);
    if (zone.size() > 4) {
        const std::string offset = zone.substr(0, 5);
        bool digits = offset[0] == '+' || offset[0] == '-';
        for (std::size_t i = 1; i < 5 && digits; ++i)
            digits = std::isdigit(static_cast<unsigned char>(offset[i])) != 0;
        if (digits) {
            const long hours = std::strtol(offset.substr(1, 2).c_str(), nullptr, 10);
            const long minutes = std::strtol(offset.substr(3, 2).c_str(), nullptr, 10);
            const double span = static_cast<double>(hours * 3600 + minutes * 60) / kSecondsPerDay;
            result -= offset[0] == '-' ? -span : span;
        }
    }
    return result + LocalOffsetFromUTC();
}

std::string FormatInternetDate(TNetDateTime value)
{
    // Stay inside the years 1..9999 so the calendar arithmetic cannot overflow.
    if (!std::isfinite(value) || value < -693593.0 || value > 2958465.0)
        value = 0;
    // Whole seconds, cut rather than rounded (a time is never written as later
    // than it is); the small allowance absorbs the binary fraction error of
    // an exact second.
    const int64_t totalSeconds = static_cast<int64_t>(std::floor(value * kSecondsPerDay + 1e-4));
    int64_t days = totalSeconds / kSecondsPerDay;
    int64_t secondsOfDay = totalSeconds % kSecondsPerDay;
    if (secondsOfDay < 0) {
        secondsOfDay += kSecondsPerDay;
        --days;
    }
    int year = 0;
    int month = 1;
    int day = 1;
    CivilFromDays(days - kUnixEpochDays, year, month, day);
    // 30 December 1899 was a Saturday.
    const int weekday = static_cast<int>(((days % 7) + 7 + 6) % 7);

    const long offset = LocalOffsetSeconds(std::time(nullptr));
    const long absOffset = std::labs(offset);
    char zone[32];
    std::snprintf(zone, sizeof zone, "%c%02ld%02ld", offset < 0 ? '-' : '+', absOffset / 3600,
                  (absOffset % 3600) / 60);
    char clock[32];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", static_cast<int>(secondsOfDay / 3600),
                  static_cast<int>((secondsOfDay % 3600) / 60), static_cast<int>(secondsOfDay % 60));
    return Format("%s, %d %s %d %s %s", kWeekdays[weekday], day, kMonths[month - 1], year, clock,
                  zone);
}
