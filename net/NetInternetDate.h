#pragma once
// Internet dates as the HTTP headers carry them, and the date-time type the
// header records use: days since 30 December 1899 (local time), the fraction
// being the time of day. 0 means "no date".

#include "net/NetStack.h"

#include <string>

using TNetDateTime = double;

class ENetFailedToRetreiveTimeZoneInfo : public ENetException {
public:
    using ENetException::ENetException;
};

// Reads "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT" or
// "Sun Nov  6 08:49:37 1994" as given (no zone applied). Leaves the zone text
// in its argument. Anything it cannot read gives 0.
TNetDateTime ParseInternetDate(std::string& text);
// ParseInternetDate, then the "+hhmm"/"-hhmm" zone taken off and the local
// offset added. Zone names ("GMT", "UTC") count as offset 0.
TNetDateTime InternetDateToLocal(const std::string& text);
// "Sun, 6 Nov 1994 08:49:37 +0100": the local time with the local offset.
std::string FormatInternetDate(TNetDateTime value);
// The local zone's current offset from UTC, as a span of days.
TNetDateTime LocalOffsetFromUTC();

// The current local date and time.
TNetDateTime NetNow();
// The calendar date and time of day, or 0 when they do not form a valid
// date-time (month 1..12, day within the month, time within the day).
TNetDateTime NetEncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                               int second = 0);
