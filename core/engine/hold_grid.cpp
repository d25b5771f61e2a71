#include "core/engine/hold_grid.hpp"

#include "core/engine/step_changes.hpp"

#include <cmath>

namespace cellcore {
namespace {

void push(HoldGrid& g, double t, double i) {
    g.time_s.push_back(t);
    g.current_a.push_back(i);
}

// The grid points of a change at c between rows (a, i_old) and (b, i_new), each a
// representable time strictly between the rows (at epoch-like times a microsecond is
// below the doubles' spacing).
void push_change(HoldGrid& g, double a, double b, double c, double i_old,
                 double i_new) {
    const double d = switch_span_s(a, b);
    const double before_b = time_strictly_between(a, b, b - d);
    const double after_a = time_strictly_between(a, b, a + d);
    if (std::isnan(before_b)) // no time between the rows: the switch is the interval
        return;
    if (c >= before_b) { // at the new row: the old current up to just before it
        push(g, before_b, i_old);
    } else if (c <= after_a) { // at the old row: the new current from just after it
        push(g, after_a, i_new);
    } else { // in between: the old current up to c, the new one a moment later
        push(g, c, i_old);
        const double t = time_strictly_between(c, b, c + d);
        if (!std::isnan(t))
            push(g, t, i_new);
    }
}

} // namespace

HoldGrid hold_grid(Span<const double> time_s, Span<const double> current_a,
                   Span<const StepChange> changes) {
    const std::size_t n = time_s.size();
    HoldGrid g;
    g.time_s.reserve(n + 2 * changes.size());
    g.current_a.reserve(n + 2 * changes.size());
    g.at_sample.resize(n);
    std::size_t next = 0;
    for (std::size_t k = 0; k < n; ++k) {
        while (next < changes.size() && changes[next].q < k)
            ++next; // a change at row 0 has nothing before it
        if (k > 0 && next < changes.size() && changes[next].q == k &&
            std::isfinite(changes[next].at_s))
            push_change(g, time_s[k - 1], time_s[k], changes[next].at_s,
                        current_a[k - 1], current_a[k]);
        g.at_sample[k] = g.time_s.size();
        push(g, time_s[k], current_a[k]);
    }
    g.charge_as.assign(g.time_s.size(), 0.0);
    for (std::size_t j = 1; j < g.time_s.size(); ++j)
        g.charge_as[j] =
            g.charge_as[j - 1] + 0.5 * (g.current_a[j] + g.current_a[j - 1]) *
                                     (g.time_s[j] - g.time_s[j - 1]);
    return g;
}

HoldGrid hold_grid(Span<const double> time_s, const Segmentation& seg) {
    std::vector<StepChange> changes;
    for (std::size_t r = 1; r < seg.steps.size(); ++r)
        changes.push_back({seg.steps[r].begin, seg.steps[r].start_s});
    return hold_grid(time_s, seg.current_a, changes);
}

} // namespace cellcore
