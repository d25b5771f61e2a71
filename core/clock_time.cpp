#include "core/clock_time.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace cellcore {
namespace {

constexpr double kNotClock = std::numeric_limits<double>::quiet_NaN();

bool all_digits(const std::string& s) {
    if (s.empty() || s.size() > 12)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

double whole(const std::string& s) { return all_digits(s) ? std::stod(s) : kNotClock; }

// Seconds with an optional fraction: "05", "05.125".
double seconds_field(const std::string& s) {
    const std::size_t dot = s.find('.');
    if (dot == std::string::npos)
        return whole(s);
    const std::string fraction = s.substr(dot + 1);
    if (!all_digits(s.substr(0, dot)) || !all_digits(fraction))
        return kNotClock;
    return std::stod(s);
}

std::string trimmed(const std::string& text) {
    const std::size_t a = text.find_first_not_of(" \t");
    if (a == std::string::npos)
        return {};
    return text.substr(a, text.find_last_not_of(" \t") - a + 1);
}

} // namespace

double clock_seconds(const std::string& text) {
    const std::string s = trimmed(text);
    std::vector<std::string> fields(1);
    for (char c : s) {
        if (c == ':')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() < 2 || fields.size() > 3)
        return kNotClock;
    double days = 0.0;
    std::string& lead = fields.front();
    const std::size_t dot = lead.find('.');
    if (dot != std::string::npos) { // days before the hours
        if (fields.size() != 3)
            return kNotClock;
        days = whole(lead.substr(0, dot));
        lead = lead.substr(dot + 1);
    }
    const double sec = seconds_field(fields.back());
    double total = days * 86400.0 + whole(lead) * (fields.size() == 3 ? 3600.0 : 60.0);
    if (fields.size() == 3) {
        const double min = whole(fields[1]);
        if (!(min < 60))
            return kNotClock;
        total += 60.0 * min;
    }
    if (!(sec < 60) || !std::isfinite(total))
        return kNotClock;
    return total + sec;
}

} // namespace cellcore
