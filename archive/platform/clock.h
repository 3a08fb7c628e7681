// Millisecond tick counter, high-resolution counter and the current time.
#pragma once

#include <cstdint>

namespace qmx {

std::uint32_t TickCount();            // milliseconds, steady, wraps at 2^32
std::int64_t PerformanceCounter();    // nanoseconds, steady
double NowAsDateTime();               // local date-time (days since 1899-12-30)

}  // namespace qmx
