#include "core/engine/step_window.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/ocv_knots.hpp"

namespace cellcore {

std::vector<std::size_t> gap_ends(Span<const double> time_s) {
    std::vector<std::size_t> ends;
    const double gap_s = gap_threshold_s(time_s);
    for (std::size_t k = 1; k < time_s.size(); ++k)
        if (time_s[k] - time_s[k - 1] > gap_s)
            ends.push_back(k);
    return ends;
}

double shown_start_s(const Step& step, Span<const double> time_s) {
    return step.logged_start ? step.start_s : time_s[step.begin];
}

RowRange judged_rows(const std::vector<Step>& steps, std::size_t s,
                     const std::vector<std::size_t>& gaps) {
    if (s >= steps.size())
        throw std::out_of_range("step " + std::to_string(s) + " of " +
                                std::to_string(steps.size()));
    const Step& step = steps[s];
    RowRange rows{step.begin > 0 ? step.begin - 1 : 0, step.end};
    if (s + 1 < steps.size() && steps[s + 1].kind == StepKind::rest)
        rows.end = steps[s + 1].end;
    const auto gap = std::upper_bound(gaps.begin(), gaps.end(), step.begin);
    if (gap != gaps.end() && *gap < rows.end)
        rows.end = std::max(*gap, step.end);
    return rows;
}

} // namespace cellcore
