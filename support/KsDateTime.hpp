// KsDateTime: the library's date-time value and the clock.
//
// TDateTime counts days since 1899-12-30 00:00:00 as a double; the fraction is
// the time of day. 0 means "not set" where a message field uses it.
//
// Thread safety: all functions are reentrant.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "KsExport.hpp"

namespace ks {

// Days since 1899-12-30 (see above).
using TDateTime = double;

// Days between 1899-12-30 and 1970-01-01.
inline constexpr double kUnixEpochDateTime = 25569.0;
// Milliseconds in a day.
inline constexpr double kMillisecondsPerDay = 86400000.0;

// The current UTC time of the system clock.
KS_API TDateTime NowUTC();

// The current local time.
KS_API TDateTime NowLocal();

// The local time of a moment of the system clock (NowLocal is this of now).
KS_API TDateTime LocalDateTimeOf(std::chrono::system_clock::time_point moment);

// Renders a date-time in the current locale: short date (strftime "%x"), a
// blank and long time ("%X"); the blank and the time are left out when hours,
// minutes and seconds are all 0.
KS_API std::string DateTimeToString(TDateTime value);

// Converts between date-times and milliseconds since 1970-01-01 (no time zone
// is applied either way).
KS_API TDateTime UnixMillisToDateTime(std::int64_t millis);

}  // namespace ks
