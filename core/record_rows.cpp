#include "core/record_rows.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>

namespace cellcore {

TimeOrder increasing_time_rows(Span<const double> time_s) {
    TimeOrder order;
    order.kept.reserve(time_s.size());
    for (std::size_t k = 0; k < time_s.size(); ++k) {
        if (!order.kept.empty()) {
            const double last = time_s[order.kept.back()];
            if (time_s[k] == last) {
                ++order.repeated;
                continue;
            }
            if (time_s[k] < last) {
                if (order.backwards_row < 0)
                    order.backwards_row = static_cast<long long>(k);
                continue;
            }
        }
        order.kept.push_back(k);
    }
    return order;
}

double rest_current_limit_a(Span<const double> current_a) {
    double largest = 0.0;
    for (double i : current_a)
        if (std::isfinite(i))
            largest = std::max(largest, std::fabs(i));
    return std::max(0.01 * largest, 1e-3);
}

long long rest_after_leading_charge(Span<const double> current_a, double rest_limit_a) {
    const std::size_t n = current_a.size();
    std::size_t k = 0;
    while (k < n && std::fabs(current_a[k]) <= rest_limit_a)
        ++k;
    if (k == n || !(current_a[k] > 0.0))
        return -1;
    while (k < n && current_a[k] > rest_limit_a)
        ++k;
    return static_cast<long long>(k);
}

namespace {

void drop_line_end(std::string& line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
}

} // namespace

std::vector<std::string> first_lines(const std::string& path, std::size_t max_lines,
                                     std::size_t max_chars) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    for (int c; lines.size() < max_lines && (c = in.get()) != EOF;) {
        if (c != '\n') {
            if (line.size() < max_chars)
                line += static_cast<char>(c);
            continue;
        }
        drop_line_end(line);
        lines.push_back(std::move(line));
        line.clear();
    }
    if (lines.size() < max_lines && !line.empty()) { // a last line without its end
        drop_line_end(line);
        lines.push_back(line);
    }
    if (!lines.empty() && lines[0].rfind("\xEF\xBB\xBF", 0) == 0)
        lines[0].erase(0, 3);
    return lines;
}

std::vector<std::string> header_fields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t k = 0; k < line.size(); ++k) {
        const char c = line[k];
        if (c == '"' && quoted && k + 1 < line.size() && line[k + 1] == '"') {
            fields.back() += '"';
            ++k;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

HeaderSearch find_header_line(const std::vector<std::string>& lines,
                              const std::vector<std::string>& names) {
    HeaderSearch search;
    std::size_t most = 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const std::vector<std::string> fields = header_fields(lines[k]);
        std::vector<std::string> missing;
        for (const std::string& name : names)
            if (std::find(fields.begin(), fields.end(), name) == fields.end())
                missing.push_back(name);
        if (missing.empty()) {
            search.line = static_cast<long long>(k);
            search.closest = search.line;
            search.missing.clear();
            return search;
        }
        const std::size_t named = names.size() - missing.size();
        if (k == 0 || named > most) {
            most = named;
            search.closest = static_cast<long long>(k);
            search.missing = missing;
        }
    }
    if (lines.empty())
        search.missing = names;
    return search;
}

WidestLine widest_line(const std::string& path) {
    WidestLine widest;
    std::ifstream in(path, std::ios::binary);
    long long number = 1;
    std::size_t fields = 1;
    for (int c; (c = in.get()) != EOF;) {
        if (c == ',') {
            ++fields;
        } else if (c == '\n') {
            if (fields > widest.fields)
                widest = {number, fields};
            ++number;
            fields = 1;
        }
    }
    if (fields > widest.fields)
        widest = {number, fields};
    return widest;
}

std::vector<long long> data_row_lines(const std::string& path, long long header_line) {
    std::vector<long long> rows;
    std::ifstream in(path, std::ios::binary);
    long long number = 1;
    bool blank_so_far = true; // only spaces, tabs and a carriage return so far
    const auto end_line = [&] {
        if (number > header_line + 1 && !blank_so_far)
            rows.push_back(number);
        ++number;
        blank_so_far = true;
    };
    for (int c; (c = in.get()) != EOF;) {
        if (c == '\n')
            end_line();
        else if (c != ' ' && c != '\t' && c != '\r')
            blank_so_far = false;
    }
    if (!blank_so_far)
        end_line();
    return rows;
}

CurrentBalance current_balance(Span<const double> time_s, Span<const double> current_a,
                               double rest_limit_a) {
    CurrentBalance balance;
    double charge_as = 0.0;
    for (std::size_t k = 0; k < current_a.size(); ++k) {
        if (current_a[k] > rest_limit_a)
            balance.largest_charge_a = std::max(balance.largest_charge_a, current_a[k]);
        if (current_a[k] < -rest_limit_a)
            balance.discharges = true;
        if (k > 0)
            charge_as +=
                0.5 * (current_a[k] + current_a[k - 1]) * (time_s[k] - time_s[k - 1]);
    }
    balance.net_charge_ah = charge_as / 3600.0;
    return balance;
}

bool sign_looks_reversed(const CurrentBalance& balance) {
    return balance.largest_charge_a > 0.0 &&
           (balance.net_charge_ah > 0.0 || !balance.discharges);
}

} // namespace cellcore
