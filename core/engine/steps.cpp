#include "core/engine/steps.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/errors.hpp"
#include "core/record_rows.hpp"

namespace cellcore {
namespace {

int current_class(double i, double limit) {
    if (std::fabs(i) <= limit)
        return 0;
    return i > 0 ? 1 : -1;
}

// A new step starts where the current changes class (rest, charge, discharge) or, under
// load, jumps by more than level_change of its size and by more than five rest limits:
// one pulse straight after another of a different height is two steps, a
// constant-voltage taper is one down to its last milliamperes.
std::vector<std::size_t> run_starts(Span<const double> current_a, double limit,
                                    double level_change) {
    std::vector<std::size_t> starts{0};
    for (std::size_t k = 1; k < current_a.size(); ++k) {
        const double a = current_a[k - 1], b = current_a[k], d = std::fabs(b - a);
        const int ca = current_class(a, limit), cb = current_class(b, limit);
        const bool jump = cb != 0 && d > 5 * limit &&
                          d > level_change * std::max(std::fabs(a), std::fabs(b));
        if (ca != cb || jump)
            starts.push_back(k);
    }
    return starts;
}

struct Boundary {
    std::size_t p, q;   // last sample of the old step, first of the new
    std::size_t p_prev; // p - 1 when it is in the old step, else p
    std::size_t q_next; // q + 1 when it is in the new step, else q
};

// Moves quirk rows to the step they belong to. A transition row (the old step's last
// row) whose voltage has already made most of the jump to the new step carries the
// new current; a lagging row (the new step's first) whose voltage has made almost
// none of it carries the old current, and the change is placed just after it.
void mend_quirks(Span<const double> voltage_v, std::vector<double>& current,
                 const std::vector<std::size_t>& starts, std::vector<char>& lag_row,
                 std::vector<long long>& quirks, const SegmentationOptions& o) {
    const std::size_t n = current.size();
    for (std::size_t r = 1; r < starts.size(); ++r) {
        const std::size_t old_begin = starts[r - 1];
        const std::size_t new_end = r + 1 < starts.size() ? starts[r + 1] : n;
        Boundary b{starts[r] - 1, starts[r], 0, 0};
        b.p_prev = b.p > old_begin ? b.p - 1 : b.p;
        b.q_next = b.q + 1 < new_end ? b.q + 1 : b.q;
        const double di = current[b.q_next] - current[b.p_prev];
        const double sign = di > 0 ? 1.0 : -1.0;
        if (b.p_prev < b.p) {
            const double total = voltage_v[b.q] - voltage_v[b.p_prev];
            const double moved = voltage_v[b.p] - voltage_v[b.p_prev];
            if (sign * moved > 0 && std::fabs(total) >= o.quirk_min_v &&
                std::fabs(moved) >= o.quirk_fraction * std::fabs(total)) {
                current[b.p] = current[b.q_next];
                quirks.push_back(static_cast<long long>(b.p));
                continue;
            }
        }
        if (b.q < b.q_next) {
            const double total = voltage_v[b.q_next] - voltage_v[b.p];
            const double later = voltage_v[b.q_next] - voltage_v[b.q];
            if (sign * later > 0 && std::fabs(total) >= o.quirk_min_v &&
                std::fabs(later) >= o.quirk_fraction * std::fabs(total)) {
                current[b.q] = current[b.p_prev];
                lag_row[b.q] = 1;
                quirks.push_back(static_cast<long long>(b.q));
            }
        }
    }
}

// Constant current: a pulse holds its level within 15 %, where a taper or a ramp does
// not.
bool holds_its_level(const std::vector<double>& current, std::size_t begin,
                     std::size_t end) {
    const auto [lo, hi] =
        std::minmax_element(current.begin() + static_cast<long>(begin),
                            current.begin() + static_cast<long>(end));
    const double mid = 0.5 * (std::fabs(*lo) + std::fabs(*hi));
    return std::fabs(*hi - *lo) <= 0.15 * mid;
}

StepKind load_kind(double mean_a, double duration_s, std::size_t samples, bool constant,
                   const SegmentationOptions& o) {
    // two samples or fewer are a blip, not a pulse with a shape to fit
    // (a millisecond of slack: a 300 s pulse logged at 300.0000001 s is still one)
    const bool pulse = duration_s <= o.pulse_max_s + 1e-3 && constant && samples >= 3;

    if (mean_a < 0)
        return pulse ? StepKind::discharge_pulse : StepKind::discharge;
    return pulse ? StepKind::charge_pulse : StepKind::charge;
}

// Some HPPC protocols step the SOC with discharges short enough to pass for pulses
// (5 % at 2C: 90 s, beside 10 s pulses), and a pulse may last any time. When the
// pulses of one direction fall into two groups of at least two, the longer lasting
// five times the shorter or more, the longer ones are SOC steps (discharges) or charge
// phases. The last step is left out: the cut-off ends it early.
void separate_long_steps(std::vector<Step>& steps, StepKind pulse, StepKind longer) {
    std::vector<double> durations;
    for (std::size_t k = 0; k + 1 < steps.size(); ++k)
        if (steps[k].kind == pulse)
            durations.push_back(steps[k].duration_s());
    std::sort(durations.begin(), durations.end());
    double split = 0.0, widest = 5.0;
    for (std::size_t k = 2; k + 1 < durations.size(); ++k) // two or more on each side
        if (durations[k - 1] > 0 && durations[k] / durations[k - 1] >= widest) {
            widest = durations[k] / durations[k - 1];
            split = durations[k - 1];
        }
    if (split > 0)
        for (Step& s : steps)
            if (s.kind == pulse && s.duration_s() > split)
                s.kind = longer;
}

// Where step s (its rows known) began: after a lagging row or before a transition row
// as the voltage says, else where the cycler's clock or logging places it, else just
// before its first row.
void place_step_start(Span<const double> t, const Segmentation& seg,
                      std::size_t old_begin, Step& s, bool after_lagging_row,
                      const StepClock& clock) {
    const std::size_t q = s.begin;
    const bool transition_row = std::binary_search(seg.quirks.begin(), seg.quirks.end(),
                                                   static_cast<long long>(q));
    if (!after_lagging_row && !transition_row) {
        const double logged = logged_change_s(t, old_begin, q, clock);
        if (std::isfinite(logged)) {
            s.start_s = logged;
            s.logged_start = true;
            return;
        }
    }
    const double at = step_instant(t[q - 1], t[q], after_lagging_row);
    s.start_s = std::isnan(at) ? t[q] : at;
}

} // namespace

const char* step_kind_name(StepKind kind) {

    switch (kind) {
    case StepKind::rest:
        return "rest";
    case StepKind::discharge_pulse:
        return "discharge pulse";
    case StepKind::charge_pulse:
        return "charge pulse";
    case StepKind::discharge:
        return "discharge";
    case StepKind::charge:
        return "charge";
    }
    return "?";
}

std::size_t Segmentation::count(StepKind kind) const {
    return static_cast<std::size_t>(std::count_if(
        steps.begin(), steps.end(), [kind](const Step& s) { return s.kind == kind; }));
}

Segmentation segment_record(Span<const double> time_s, Span<const double> voltage_v,
                            Span<const double> current_a,
                            const SegmentationOptions& options,
                            const StepClock& clock) {
    const std::size_t n = time_s.size();
    if (voltage_v.size() != n || current_a.size() != n)
        throw cellcore::InputError("time, voltage and current differ in length");
    if (n < 2)
        throw cellcore::InputError("a record needs at least 2 samples");
    const bool clock_fits =
        (clock.step_time_s.empty() || clock.step_time_s.size() == n) &&
        (clock.step_index.empty() || clock.step_index.size() == n);
    if (!clock_fits)
        throw cellcore::InputError("the step clock and the record differ in length");
    Segmentation seg;
    seg.rest_limit_a = options.rest_limit_a >= 0 ? options.rest_limit_a
                                                 : rest_current_limit_a(current_a);
    seg.current_a.assign(current_a.begin(), current_a.end());
    std::vector<char> lag_row(n, 0);
    mend_quirks(voltage_v, seg.current_a,
                run_starts(current_a, seg.rest_limit_a, options.level_change), lag_row,
                seg.quirks, options);

    const std::vector<std::size_t> starts =
        run_starts(seg.current_a, seg.rest_limit_a, options.level_change);
    for (std::size_t r = 0; r < starts.size(); ++r) {
        Step s;
        s.begin = starts[r];
        s.end = r + 1 < starts.size() ? starts[r + 1] : n;
        if (r == 0) {
            s.start_s = time_s[0];
        } else {
            place_step_start(time_s, seg, starts[r - 1], s, lag_row[s.begin - 1],
                             clock);
            seg.steps.back().end_s = s.start_s;
        }
        s.end_s = time_s[s.end - 1];
        seg.steps.push_back(s);
    }
    for (Step& s : seg.steps) {
        double sum = 0.0;
        for (std::size_t k = s.begin; k < s.end; ++k)
            sum += seg.current_a[k];
        const double mean = sum / static_cast<double>(s.end - s.begin);
        if (current_class(mean, seg.rest_limit_a) == 0)
            continue; // a rest
        s.mean_current_a = mean;
        s.kind = load_kind(mean, s.duration_s(), s.end - s.begin,
                           holds_its_level(seg.current_a, s.begin, s.end), options);
    }
    separate_long_steps(seg.steps, StepKind::discharge_pulse, StepKind::discharge);
    separate_long_steps(seg.steps, StepKind::charge_pulse, StepKind::charge);
    return seg;
}

} // namespace cellcore
