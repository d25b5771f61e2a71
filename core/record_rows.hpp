// Rows of a cycler log as they come: cyclers repeat rows, log two rows with one time
// stamp at a step change, write metadata lines above the header, write discharge
// current with either sign and begin some tests with a charge. These helpers find such
// rows so that every reader of a record (the pipeline and the pulse-test engine) treats
// them alike.
#pragma once

#include <string>
#include <vector>

#include "core/span.hpp"

namespace cellcore {

/// Magnitudes no cell record reaches: a voltage (V), a current (A, before a conversion
/// from mA), a record's span (s, 30 years). Beyond them a column is wrong or broken,
/// and the arithmetic downstream would overflow rather than say so.
inline constexpr double kLargestVoltage_v = 1000.0, kLargestCurrent_a = 1e6,
                        kLongestRecord_s = 1e9;

/// The rows to keep so that time increases strictly: a row whose time equals the last
/// kept row's is dropped (the first of equal times stays). backwards_row is the first
/// row whose time is below the last kept one (-1 when none): time that goes backwards
/// is an error, not a repeat.
struct TimeOrder {
    std::vector<std::size_t> kept;
    std::size_t repeated = 0;
    long long backwards_row = -1;
};
TimeOrder increasing_time_rows(Span<const double> time_s);

/// A current (A) at or below this magnitude counts as rest: 1 % of the largest current
/// magnitude of the record, and at least 1 mA, above the noise of a cycler's zero.
double rest_current_limit_a(Span<const double> current_a);

/// When the record opens with a charge (the first sample beyond rest_limit_a carries a
/// positive current), the first sample after that charge (normally the first of the
/// rest that follows it); -1 when the record does not open with a charge. The record's
/// length when the charge never ends.
long long rest_after_leading_charge(Span<const double> current_a, double rest_limit_a);

/// The first max_lines lines of a text file, without their line ends and without a
/// UTF-8 byte-order mark, each cut after max_chars characters (the rest of a longer
/// line is skipped, not held); empty when the file cannot be opened.
std::vector<std::string> first_lines(const std::string& path, std::size_t max_lines,
                                     std::size_t max_chars = 1 << 20);

/// The column names of a header line as pandas reads them: the fields between commas,
/// a field in double quotes unquoted ("" inside it is one quote).
std::vector<std::string> header_fields(const std::string& line);

/// The header line among the first lines of a record: line is the first (0-based)
/// that names every one of names, -1 when none does. Then closest is the first line
/// naming the most of them and missing lists what it lacks, in the order of names.
struct HeaderSearch {
    long long line = -1;
    long long closest = 0;
    std::vector<std::string> missing;
};
HeaderSearch find_header_line(const std::vector<std::string>& lines,
                              const std::vector<std::string>& names);

/// The line with the most comma-separated fields (quotes not considered), 1-based,
/// and its field count; read in one pass without holding the lines.
struct WidestLine {
    long long line = 0;
    std::size_t fields = 0;
};
WidestLine widest_line(const std::string& path);

/// The 1-based file line of every data row below the header line (0-based
/// header_line), skipping lines of only spaces and tabs as pandas skips them. Empty
/// when the file cannot be opened.
std::vector<long long> data_row_lines(const std::string& path, long long header_line);

/// How much charge a record moves and which way. Currents in A, negative while
/// discharging; times in s, increasing.
struct CurrentBalance {
    double net_charge_ah = 0.0;    ///< trapezoid integral of the current; > 0 charges
    double largest_charge_a = 0.0; ///< largest current above the rest limit, else 0
    bool discharges = false;       ///< some current is below -rest_limit_a
};
CurrentBalance current_balance(Span<const double> time_s, Span<const double> current_a,
                               double rest_limit_a);

/// True when a discharge record reads as a charge: it carries charge current and either
/// takes in more charge than it gives or never discharges at all. Charge pulses between
/// discharges (as in HPPC tests) alone do not count.
bool sign_looks_reversed(const CurrentBalance& balance);

} // namespace cellcore
