// Which rows a pulse is judged over. A pulse shows its circuit twice: in the step, as
// the voltage falls (or rises) from where it stood, and in the rest after it, as the
// voltage relaxes back. The fits, the curves of a fit and the report's figures all
// take a pulse over the same rows: from the row before the step to the last row of the
// rest after it.
#pragma once

#include <vector>

#include "core/engine/steps.hpp"
#include "core/span.hpp"

namespace cellcore {

/// The rows after a gap in a record's log: a time step longer than ten minutes and a
/// hundred median logging intervals. The charge passed in a gap is unknown.
std::vector<std::size_t> gap_ends(Span<const double> time_s);

/// When a step began, as a table shows it: where the cycler's clock or logging put it,
/// else at its first row.
double shown_start_s(const Step& step, Span<const double> time_s);

/// The rows step s is judged over: from the row before it (the first step: its own
/// first row) to the last row of the rest after it, or to its own end when another load
/// step follows at once; cut at the first gap after the step begins (but not inside
/// the step), whatever happened in the gap being unknown. gaps: gap_ends of the record.
RowRange judged_rows(const std::vector<Step>& steps, std::size_t s,
                     const std::vector<std::size_t>& gaps);

} // namespace cellcore
