// Tick counters on the monotonic clock, and "now" as a date-time value.
#include "archive/platform/clock.h"

#include <chrono>
#include <ctime>

namespace qmx {

namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::uint32_t TickCount() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<std::uint32_t>(ms.count());  // wraps like the original
}

std::int64_t PerformanceCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double NowAsDateTime() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  struct tm lt;
  if (!::localtime_r(&t, &lt)) return 0.0;
  const std::int64_t days = DaysFromCivil(lt.tm_year + 1900, static_cast<unsigned>(lt.tm_mon + 1),
                                          static_cast<unsigned>(lt.tm_mday)) -
                            DaysFromCivil(1899, 12, 30);
  const double secs = lt.tm_hour * 3600.0 + lt.tm_min * 60.0 + lt.tm_sec + ms / 1000.0;
  return static_cast<double>(days) + secs / 86400.0;
}

}  // namespace qmx
