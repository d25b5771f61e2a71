// Float texts laid out as the interpreter lays them out. std::to_chars gives the
// shortest round-trip digits (the same digits as the interpreter's repr: both pick the
// shortest decimal that reads back, and of those the nearest) and correctly rounded
// fixed-point texts; this file only arranges them the way repr and str.format do.
#include "core/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/errors.hpp"

namespace cellcore {
namespace {

// np.log10(2) as numpy returns it: the double nearest log10(2).
constexpr double kLog10Of2 = 0.30102999566398120;

// Shortest round-trip digits of a finite, non-zero |x| and its decimal exponent: x
// reads d.ddd × 10^exponent.
struct ShortestDigits {
    std::string digits;
    int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
    char buf[64];
    const auto res =
        std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    const std::string text(buf, res.ptr);
    const std::size_t e = text.find('e');
    ShortestDigits out;
    for (std::size_t i = 0; i < e; ++i)
        if (text[i] != '.')
            out.digits += text[i];
    out.exponent = std::atoi(text.c_str() + e + 1);
    return out;
}

// Plain notation: "0.000123", "12.5", "1000.0".
std::string plain_layout(const ShortestDigits& d) {
    const int ndigits = static_cast<int>(d.digits.size());
    const int point = d.exponent + 1; // digits before the decimal point
    if (point <= 0)
        return "0." + std::string(static_cast<std::size_t>(-point), '0') + d.digits;
    if (point >= ndigits)
        return d.digits + std::string(static_cast<std::size_t>(point - ndigits), '0') +
               ".0";
    return d.digits.substr(0, static_cast<std::size_t>(point)) + "." +
           d.digits.substr(static_cast<std::size_t>(point));
}

// Exponent notation: "1e-05", "2.5e-07", "1.7976931348623157e+308".
std::string exponent_layout(const ShortestDigits& d) {
    std::string out = d.digits.substr(0, 1);
    if (d.digits.size() > 1)
        out += "." + d.digits.substr(1);
    const int magnitude = std::abs(d.exponent);
    out += d.exponent < 0 ? "e-" : "e+";
    if (magnitude < 10)
        out += '0';
    return out + std::to_string(magnitude);
}

} // namespace

std::string float_repr(double x) {
    if (std::isnan(x))
        return "nan";
    if (std::isinf(x))
        return x < 0 ? "-inf" : "inf";
    if (x == 0.0)
        return std::signbit(x) ? "-0.0" : "0.0";
    const ShortestDigits d = shortest_digits(std::fabs(x));
    const std::string sign = x < 0 ? "-" : "";
    // repr switches to exponent notation below 1e-4 and from 1e16 on
    if (d.exponent < -4 || d.exponent >= 16)
        return sign + exponent_layout(d);
    return sign + plain_layout(d);
}

std::string fixed_text(double x, int decimals) {
    if (decimals < 0)
        throw cellcore::InputError("fixed_text: negative number of decimals");
    if (!std::isfinite(x))
        return float_repr(x);
    // at most 309 integer digits, a sign and a point besides the decimals
    std::vector<char> buf(static_cast<std::size_t>(decimals) + 320);
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), x,
                                   std::chars_format::fixed, decimals);
    if (res.ec != std::errc())
        throw std::runtime_error("fixed_text: buffer too small");
    return std::string(buf.data(), res.ptr);
}

std::string model_number_text(double x) {
    std::string text = float_repr(x);
    if (text.find('e') == std::string::npos)
        return text;
    // Decimals from the binary exponent: |floor(exp2 × log10 2)| + 3 places keep about
    // three significant digits of a small number (x = m × 2^exp2, 0.5 <= |m| < 1).
    int exp2 = 0;
    std::frexp(x, &exp2);
    const double decimal_exponent = std::floor(exp2 * kLog10Of2);
    const int decimals = static_cast<int>(std::fabs(decimal_exponent)) + 3;
    return fixed_text(x, decimals);
}

} // namespace cellcore
