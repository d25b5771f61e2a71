// Times some cyclers write as a clock instead of seconds: "12:34:56", "1:02:03.250", or
// with days in front, "2.03:04:05.123" (two days, three hours ...).
#pragma once

#include <string>

namespace cellcore {

/// The seconds a clock text stands for: [d.]h:mm:ss[.fff] or m:ss[.fff], hours and
/// minutes whole numbers, minutes and seconds below 60 after a larger field, spaces
/// around allowed. NaN when the text is not such a clock.
double clock_seconds(const std::string& text);

} // namespace cellcore
