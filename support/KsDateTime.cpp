#include "support/KsDateTime.hpp"

#include <chrono>
#include <cmath>
#include <ctime>

namespace ks {

namespace {

constexpr double kSecondsPerDay = 86400.0;

TDateTime FromTimePoint(std::chrono::system_clock::time_point tp, bool local) {
  using namespace std::chrono;
  auto micros = duration_cast<microseconds>(tp.time_since_epoch()).count();
  double seconds = static_cast<double>(micros) / 1e6;
  if (local) {
    std::time_t t = static_cast<std::time_t>(std::floor(seconds));
    std::tm tmLocal{};
    localtime_r(&t, &tmLocal);
    seconds += static_cast<double>(tmLocal.tm_gmtoff);
  }
  return seconds / kSecondsPerDay + kUnixEpochDateTime;
}

}  // namespace

TDateTime NowUTC() { return FromTimePoint(std::chrono::system_clock::now(), false); }

TDateTime NowLocal() { return FromTimePoint(std::chrono::system_clock::now(), true); }

TDateTime LocalDateTimeOf(std::chrono::system_clock::time_point moment) { return FromTimePoint(moment, true); }

TDateTime UnixMillisToDateTime(std::int64_t millis) {
  return static_cast<double>(millis) / 1000.0 / kSecondsPerDay + kUnixEpochDateTime;
}

std::string DateTimeToString(TDateTime value) {
  // Split into whole seconds since 1970 and render through gmtime, since the
  // value already holds the wall-clock time it stands for.
  double seconds = std::floor((value - kUnixEpochDateTime) * kSecondsPerDay + 0.5e-6);
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[128];
  std::size_t n;
  if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) {
    n = std::strftime(buffer, sizeof buffer, "%x", &tm);
  } else {
    n = std::strftime(buffer, sizeof buffer, "%x %X", &tm);
  }
  return std::string(buffer, n);
}

}  // namespace ks
