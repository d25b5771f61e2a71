// Rows of a cycler log as they come: cyclers repeat rows, log two rows with one time
// stamp at a step change, and begin some tests with a charge. These helpers find such
// rows so that every reader of a record (the pipeline and the pulse-test engine) treats
// them alike.
#pragma once

#include <vector>

#include "core/span.hpp"

namespace cellcore {

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

} // namespace cellcore
