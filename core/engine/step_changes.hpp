// When a cycler switched from one step to the next. The two rows on either side of a
// change in the current say only that it happened somewhere between them, and with a
// rest logged once a minute that is a minute of the wrong current, for the circuit and
// for the charge count alike. The cycler usually tells more:
// - its export may carry each row's time since its step began (Arbin's Step_Time(s),
//   with Step_Index): the step began at the row's time minus that;
// - without it, the rows tell. A cycler logs on a clock inside each step, and a row
// when
//   a step ends: had the old step gone on, its next row would have come one logging
//   interval after its last. An interval across the change clearly longer (by a tenth
//   and a millisecond) than the logging interval of the step before it therefore means
//   that step ended at its last row: a C/2 step's last row with the rest's first a
//   minute later, a rest logged every second with a C/2 step's first row 10 s in.
//   Otherwise, as on evenly logged records, the rows say nothing more, and the change
//   is taken where the new step's first row is.
#pragma once

#include <vector>

#include "core/span.hpp"

namespace cellcore {

/// The cycler's own bookkeeping of its steps, row by row, where the export has it:
/// the seconds since the row's step began and the step's number. Either is empty when
/// the record does not carry it; a carried one has a value for every row.
struct StepClock {
    std::vector<double> step_time_s;
    std::vector<double> step_index;
    bool empty() const { return step_time_s.empty(); }
    /// The rows kept, in order (a record with rows dropped keeps its clock aligned).
    StepClock rows(const std::vector<std::size_t>& kept) const;
    /// The first n rows.
    void truncate(std::size_t n);
};

/// When the current that changes between rows q - 1 and q changed: a time in
/// [t[q-1], t[q]] when the clock or the rows say it, NaN when they don't. The rows of
/// the old current start at old_begin (for its logging interval).
double logged_change_s(Span<const double> time_s, std::size_t old_begin, std::size_t q,
                       const StepClock& clock);

/// How long a switch at a step change takes on the grid: a microsecond, above the
/// rounding of any logged time, and at most a quarter of the rows' interval b - a.
double switch_span_s(double a, double b);

/// t moved strictly inside (a, b); NaN when no double lies between them (epoch-like
/// times a microsecond apart).
double time_strictly_between(double a, double b, double t);

/// Where a change between the rows at times a and b goes when the rows alone give its
/// side: just after a (`after`: a lagging row), else just before b; NaN when nothing
/// fits between them.
double step_instant(double a, double b, bool after);

} // namespace cellcore
