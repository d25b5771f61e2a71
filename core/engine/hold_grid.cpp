#include "core/engine/hold_grid.hpp"

namespace cellcore {
namespace {

void push(HoldGrid& g, double t, double i) {
    g.time_s.push_back(t);
    g.current_a.push_back(i);
}

} // namespace

HoldGrid hold_grid(Span<const double> time_s, const Segmentation& seg) {
    const std::size_t n = time_s.size();
    HoldGrid g;
    g.time_s.reserve(n + seg.steps.size());
    g.current_a.reserve(n + seg.steps.size());
    g.at_sample.resize(n);
    std::size_t next_step = 1;
    for (std::size_t k = 0; k < n; ++k) {
        const bool change_before =
            next_step < seg.steps.size() && seg.steps[next_step].begin == k;
        if (change_before) {
            const double change_s = seg.steps[next_step].start_s;
            // the old current holds up to the change, the new one from it on
            if (seg.step_after[next_step])
                push(g, change_s, seg.current_a[k]);
            else
                push(g, change_s, seg.current_a[k - 1]);
            ++next_step;
        }
        g.at_sample[k] = g.time_s.size();
        push(g, time_s[k], seg.current_a[k]);
    }
    g.charge_as.assign(g.time_s.size(), 0.0);
    for (std::size_t j = 1; j < g.time_s.size(); ++j)
        g.charge_as[j] =
            g.charge_as[j - 1] + 0.5 * (g.current_a[j] + g.current_a[j - 1]) *
                                     (g.time_s[j] - g.time_s[j - 1]);
    return g;
}

} // namespace cellcore
