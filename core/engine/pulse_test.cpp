#include "core/engine/pulse_test.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/cutoff.hpp"
#include "core/engine/ocv_extension.hpp"
#include "core/engine/pulse_fit.hpp"
#include "core/engine/pulse_window.hpp"
#include "core/engine/step_window.hpp"
#include "core/errors.hpp"
#include "core/number_text.hpp"
#include "core/ocv_knots.hpp"
#include "core/rc_circuit.hpp"
#include "core/record_rows.hpp"

namespace cellcore {
namespace {

// Keeps the rows whose time increases, up to the first voltage below the cut-off.
void take_record(PulseTestResult& r, Span<const double> time_s,
                 Span<const double> voltage_v, Span<const double> current_a,
                 const StepClock& clock) {
    const TimeOrder order = increasing_time_rows(time_s);
    if (order.backwards_row >= 0) {
        const auto k = static_cast<std::size_t>(order.backwards_row);
        throw cellcore::InputError("time goes backwards at row " + std::to_string(k) +
                                   " (" + float_repr(time_s[k]) + " s after " +
                                   float_repr(time_s[k - 1]) + " s)");
    }
    r.repeated_rows = order.repeated;
    if (!order.kept.empty() &&
        time_s[order.kept.back()] - time_s[order.kept.front()] > kLongestRecord_s)
        throw cellcore::InputError("the record spans more than 30 years: is its time "
                                   "in seconds?");
    r.clock = clock.rows(order.kept);
    for (std::size_t k : order.kept) {
        for (double x : {time_s[k], voltage_v[k], current_a[k]})
            if (!std::isfinite(x))
                throw cellcore::InputError("row " + std::to_string(k) +
                                           " holds a value that is not a number");
        if (std::fabs(voltage_v[k]) > kLargestVoltage_v ||
            std::fabs(current_a[k]) > kLargestCurrent_a)
            throw cellcore::InputError(
                "row " + std::to_string(k) + " holds " + float_repr(voltage_v[k]) +
                " V, " + float_repr(current_a[k]) + " A, beyond any cell's");
        r.time_s.push_back(time_s[k]);
        r.voltage_v.push_back(voltage_v[k]);
        r.current_a.push_back(current_a[k]);
    }
}

// Options a caller may set wrongly (NaN, negative) are refused before they reach the
// arithmetic.
void check_options(const PulseTestOptions& o) {
    const auto bad = [](const std::string& name, double value) {
        throw cellcore::InputError(name + " must be a positive number, not " +
                                   float_repr(value));
    };
    if (o.rc_pairs != 1 && o.rc_pairs != 2)
        throw cellcore::InputError("the circuit has one or two RC pairs");
    if (!(o.segmentation.pulse_max_s > 0))
        bad("pulse_max_s", o.segmentation.pulse_max_s);
    if (!(o.ocv_rest_min_s >= 0) || !std::isfinite(o.ocv_rest_min_s))
        bad("ocv_rest_min_s", o.ocv_rest_min_s);
    if (std::isnan(o.segmentation.rest_limit_a) ||
        std::isinf(o.segmentation.rest_limit_a))
        bad("rest_limit_a", o.segmentation.rest_limit_a);
    if (!(o.lower > 0 && o.lower < o.upper && std::isfinite(o.upper)))
        throw cellcore::InputError(
            "the parameter bounds must satisfy 0 < lower < upper");
    if (std::isinf(o.cutoff_v))
        bad("cutoff_v", o.cutoff_v);
}

// With a cut-off, the first pulse test of a record that holds more.
void take_pulse_test_part(PulseTestResult& r, double cutoff_v) {
    r.part.end = r.time_s.size();
    if (std::isnan(cutoff_v) || r.time_s.size() < 2)
        return;
    r.part = find_pulse_test(r.time_s, r.voltage_v, r.current_a, cutoff_v,
                             rest_current_limit_a(r.current_a));
    for (std::vector<double>* column : {&r.time_s, &r.voltage_v, &r.current_a}) {
        column->resize(r.part.end);
        column->erase(column->begin(),
                      column->begin() + static_cast<long>(r.part.begin));
    }
    std::vector<std::size_t> kept;
    for (std::size_t k = r.part.begin; k < r.part.end; ++k)
        kept.push_back(k);
    if (!r.clock.empty())
        r.clock = r.clock.rows(kept);
}

// SOC counts down from 1 at the start to 0 at the deepest discharge: the cut-off, or
// the most discharged sample of a record that stops before it (a final rest or charge
// after it must not push the SOC below 0).
void count_charge(PulseTestResult& r) {
    double deepest_as = 0.0;
    for (std::size_t k = 0; k < r.samples; ++k)
        deepest_as = std::min(deepest_as, r.grid.charge_at(k));
    if (!(deepest_as < 0) || !(r.grid.charge_at(r.samples - 1) < 0))
        throw cellcore::InputError(
            "no net discharge: the record puts as much charge into the cell as it "
            "takes out (is the current sign reversed?)");
    r.capacity_ah = -deepest_as / 3600.0;
    r.soc.resize(r.samples);
    for (std::size_t k = 0; k < r.samples; ++k)
        r.soc[k] = 1.0 + r.grid.charge_at(k) / -deepest_as;
}

bool is_discharge(StepKind kind) {
    return kind == StepKind::discharge_pulse || kind == StepKind::discharge;
}

// A rest counts as ending near equilibrium when it lasts ocv_rest_min_s, or when it
// opens the record (logging starts on a rested cell).
bool relaxed_rest(const std::vector<Step>& steps, std::size_t s, double min_s) {
    // to the millisecond, as cyclers log time: a rest programmed as long as the
    // minimum counts, whatever rounding its placed start and end carry
    constexpr double kLoggedTimeResolution_s = 1e-3;
    return steps[s].kind == StepKind::rest &&
           (s == 0 || steps[s].duration_s() >= min_s - kLoggedTimeResolution_s);
}

// "10" for 600 s, "2.5" for 150 s.
std::string minutes_text(double seconds) {
    const double minutes = seconds / 60.0;
    if (minutes == std::floor(minutes) && minutes < 1e15)
        return std::to_string(static_cast<long long>(minutes));
    return float_repr(minutes);
}

// OCV points: the last voltage of every relaxed rest that a discharge ends. Rests
// before a charge sit on the charge branch of the cell's hysteresis and are left out.
void find_ocv_points(PulseTestResult& r, Span<const double> time_s,
                     Span<const double> voltage_v, const PulseTestOptions& o) {
    const auto& steps = r.segmentation.steps;
    std::vector<double> soc, ocv;
    for (std::size_t s = 0; s + 1 < steps.size(); ++s) {
        if (!relaxed_rest(steps, s, o.ocv_rest_min_s) ||
            !is_discharge(steps[s + 1].kind))
            continue;
        const std::size_t k = steps[s].end - 1;
        r.ocv_points.push_back({k, time_s[k], r.soc[k], voltage_v[k]});
        soc.push_back(r.soc[k]);
        ocv.push_back(voltage_v[k]);
    }
    if (r.ocv_points.size() < 2)
        throw cellcore::InputError(
            "an OCV curve needs rests of at least " + minutes_text(o.ocv_rest_min_s) +
            " minutes that end in a discharge; the record has " +
            std::to_string(r.ocv_points.size()) + ", at least 2 are needed");
    r.ocv = OcvCurve(soc, ocv);
}

// The sample where the RC pairs were last relaxed before step s: the end of the last
// relaxed rest before it, else the record's start.
std::size_t relaxed_before(const std::vector<Step>& steps, std::size_t s,
                           double min_s) {
    for (std::size_t j = s; j-- > 0;)
        if (relaxed_rest(steps, j, min_s))
            return steps[j].end - 1;
    return 0;
}

// The voltage the current before sample begin (since the relaxed sample history) keeps
// adding over [begin, end), through the circuit of an earlier pulse's fit.
std::vector<double> decay_baseline(const PulseTestResult& r, const PulseFit& earlier,
                                   std::size_t history, std::size_t begin,
                                   std::size_t end) {
    const HoldGrid& g = r.grid;
    const std::size_t g0 = g.at_sample[history], gb = g.at_sample[begin],
                      g1 = g.at_sample[end - 1] + 1;
    std::vector<double> t(g.time_s.begin() + static_cast<long>(g0),
                          g.time_s.begin() + static_cast<long>(g1));
    std::vector<double> i(g1 - g0, 0.0);
    std::copy(g.current_a.begin() + static_cast<long>(g0),
              g.current_a.begin() + static_cast<long>(gb + 1), i.begin());
    std::vector<RcPair> pairs{{earlier.row.params[1], earlier.row.params[2]}};
    if (!std::isnan(earlier.row.params[3]))
        pairs.push_back({earlier.row.params[3], earlier.row.params[4]});
    std::vector<double> y(t.size());
    rc_circuit_response(earlier.row.params[0], pairs, t, i, y, {}, 1e-9);
    std::vector<double> base;
    for (std::size_t k = begin; k < end; ++k)
        base.push_back(y[g.at_sample[k] - g0]);
    return base;
}

// The current more than twenty of the earlier fit's slowest time constants before
// sample `begin` has decayed below 3e-9 of its voltage: the decay needs the current
// from there on only, so a train of pulses after one long rest costs each pulse a
// bounded span, not everything since that rest.
std::size_t decayed_before(const PulseTestResult& r, const PulseFit& earlier,
                           std::size_t begin) {
    double slowest = earlier.row.params[1] * earlier.row.params[2];
    if (std::isfinite(earlier.row.params[3]))
        slowest = std::max(slowest, earlier.row.params[3] * earlier.row.params[4]);
    const double from_s = r.time_s[begin] - 20.0 * slowest;
    const auto at =
        std::lower_bound(r.time_s.begin(), r.time_s.begin() + begin, from_s);
    return static_cast<std::size_t>(at - r.time_s.begin());
}

bool usable(const PulseFit& fit) {
    const auto& params = fit.row.params;
    const std::size_t n = std::isnan(params[3]) ? 3 : 5;
    return std::all_of(params.begin(), params.begin() + static_cast<long>(n),
                       [](double p) { return std::isfinite(p) && p > 0; });
}

bool fittable(const std::vector<Step>& steps, std::size_t s, std::size_t samples) {
    const Step& step = steps[s];
    // a pulse the cut-off ends has no rest to fit; one or two samples carry no shape
    return step.is_pulse() && s > 0 && step.end < samples && step.end - step.begin >= 2;
}

PulseFit fit_step(const PulseTestResult& r, Span<const double> voltage_v, std::size_t s,
                  const PulseTestOptions& o) {
    const auto& steps = r.segmentation.steps;
    const Step& step = steps[s];
    const bool flat = !r.gaps.empty();
    PulseFit fit;
    fit.step = s;
    PulseRow& row = fit.row;
    row.pulse = static_cast<long long>(r.pulses.size() + 1);
    row.kind =
        step.kind == StepKind::charge_pulse ? PulseKind::charge : PulseKind::discharge;
    // from the pulse's start to the next step's, to the microsecond
    row.start_s = shown_start_s(step, r.time_s);
    row.duration_s =
        std::round((shown_start_s(steps[s + 1], r.time_s) - row.start_s) * 1e6) / 1e6;
    row.current_a = step.mean_current_a;
    const RowRange rows = judged_rows(steps, s, r.gaps);
    fit.begin = rows.begin;
    fit.end = rows.end;
    row.soc = r.soc[fit.begin];
    // from a relaxed cell, after an earlier pulse (its decay taken out), or, when an
    // unfitted step came between, simulated from the last relaxed sample
    const std::size_t relaxed = relaxed_before(steps, s, o.ocv_rest_min_s);
    fit.history = flat ? fit.begin : relaxed;
    if (fit.history < fit.begin && !r.pulses.empty() &&
        r.pulses.back().begin >= relaxed && usable(r.pulses.back())) {
        const PulseFit& earlier = r.pulses.back();
        fit.baseline_v = decay_baseline(
            r, earlier, std::max(relaxed, decayed_before(r, earlier, fit.begin)),
            fit.begin, fit.end);
        fit.history = fit.begin;
    }
    const PulseWindow window(r, voltage_v, fit.history, fit.begin, step.end, fit.end,
                             flat, fit.baseline_v);
    fit_pulse(window, o, fit);
    // the pulse's own start, passed on: where it sits is the engine's to say
    row.measured =
        pulse_resistance(r.time_s, r.voltage_v, r.segmentation.current_a,
                         {row.start_s, row.start_s + row.duration_s, row.current_a});
    return fit;
}

const PulseFit* nearest_discharge_fit(const std::vector<PulseFit>& pulses, bool last) {
    const PulseFit* found = nullptr;
    for (const PulseFit& p : pulses)
        if (p.row.kind == PulseKind::discharge && usable(p) && (last || !found))
            found = &p;
    return found;
}

// Below the lowest rest the OCV comes from the final discharge to the cut-off, and
// above the highest from a discharge the record opens with, each corrected by the
// circuit of the discharge pulse nearest to it. A record with gaps is left as it is:
// the charge passed in a gap is unknown, so the SOC of the loaded samples is too.
void extend_ocv(PulseTestResult& r, const PulseTestOptions& o) {
    const auto& steps = r.segmentation.steps;
    if (!r.gaps.empty() || steps.size() < 2)
        return;
    std::vector<LoadedStretch> stretches;
    const std::size_t last = steps.size() - 1;
    if (const PulseFit* p = nearest_discharge_fit(r.pulses, true);
        p && is_discharge(steps[last].kind))
        stretches.push_back({relaxed_before(steps, last, o.ocv_rest_min_s),
                             steps[last].begin, steps[last].end, p->row.params});
    if (const PulseFit* p = nearest_discharge_fit(r.pulses, false);
        p && is_discharge(steps[0].kind))
        stretches.push_back({0, 1, steps[0].end, p->row.params});
    std::vector<OcvPoint> points = r.ocv_points;
    for (const LoadedStretch& stretch : stretches) {
        const std::vector<OcvPoint> loaded = loaded_ocv_points(
            r.grid, r.time_s, r.voltage_v, r.soc, stretch, r.ocv_points);
        points.insert(points.end(), loaded.begin(), loaded.end());
    }
    if (points.size() == r.ocv_points.size())
        return;
    std::sort(points.begin(), points.end(),
              [](const OcvPoint& a, const OcvPoint& b) { return a.sample < b.sample; });
    std::vector<double> soc, ocv;
    for (const OcvPoint& p : points)
        soc.push_back(p.soc), ocv.push_back(p.ocv_v);
    r.ocv_points = points;
    r.ocv = OcvCurve(soc, ocv);
}

// The rows the engine analyses: repeated times dropped, with a cut-off the first pulse
// test up to its first voltage below the cut-off.
PulseTestResult taken_rows(Span<const double> time_s, Span<const double> voltage_v,
                           Span<const double> current_a,
                           const PulseTestOptions& options, const StepClock& clock) {
    check_options(options);
    const std::size_t n = time_s.size();
    if (voltage_v.size() != n || current_a.size() != n)
        throw cellcore::InputError("time, voltage and current differ in length");
    if ((!clock.step_time_s.empty() && clock.step_time_s.size() != n) ||
        (!clock.step_index.empty() && clock.step_index.size() != n))
        throw cellcore::InputError("the step clock and the record differ in length");
    PulseTestResult r;
    take_record(r, time_s, voltage_v, current_a, clock);
    take_pulse_test_part(r, options.cutoff_v);
    if (r.time_s.size() < 2)
        throw cellcore::InputError("a record needs at least 2 samples, it has " +
                                   std::to_string(r.time_s.size()));
    r.samples = first_below_cutoff(r.voltage_v, options.cutoff_v);
    r.reached_cutoff = r.samples < r.voltage_v.size();
    if (r.samples < 2)
        throw cellcore::InputError(
            r.samples == 0
                ? "the voltage is below the cut-off from the start"
                : "the voltage falls below the cut-off at the second sample");
    r.time_s.resize(r.samples);
    r.voltage_v.resize(r.samples);
    r.current_a.resize(r.samples);
    r.clock.truncate(r.samples);
    return r;
}

// Steps handed in from outside cover the rows in order, each step at least one row,
// with a mended current per row.
void check_steps(const Segmentation& s, std::size_t rows) {
    bool covered = !s.steps.empty() && s.current_a.size() == rows;
    std::size_t next = 0;
    for (const Step& step : s.steps) {
        covered = covered && step.begin == next && step.end > step.begin;
        next = step.end;
    }
    if (!covered || next != rows)
        throw cellcore::InputError("the steps given do not cover the record's " +
                                   std::to_string(rows) + " rows in order");
}

// Everything after the segmentation: the charge, the OCV curve and the pulse fits.
void analyse_steps(PulseTestResult& r, const PulseTestOptions& options) {
    const Span<const double> t{r.time_s}, v{r.voltage_v};
    r.grid = hold_grid(t, r.segmentation);
    count_charge(r);
    r.gaps = gap_ends(t);
    find_ocv_points(r, t, v, options);
    const auto& steps = r.segmentation.steps;
    for (std::size_t s = 0; s < steps.size(); ++s)
        if (fittable(steps, s, r.samples))
            r.pulses.push_back(fit_step(r, v, s, options));
    extend_ocv(r, options);
    if (r.pulses.empty())
        throw cellcore::InputError(
            "no pulse to fit: no discharge or charge step" +
            (std::isfinite(options.segmentation.pulse_max_s)
                 ? " of at most " + float_repr(options.segmentation.pulse_max_s) + " s"
                 : std::string()) +
            " at constant current with a rest or step after it");
}

} // namespace

std::size_t PulseTestResult::count(PulseKind kind) const {
    return static_cast<std::size_t>(
        std::count_if(pulses.begin(), pulses.end(),
                      [kind](const PulseFit& p) { return p.row.kind == kind; }));
}

PulseTestResult analyse_pulse_test(Span<const double> time_s,
                                   Span<const double> voltage_v,
                                   Span<const double> current_a,
                                   const PulseTestOptions& options,
                                   const StepClock& clock) {
    PulseTestResult r = taken_rows(time_s, voltage_v, current_a, options, clock);
    r.segmentation = segment_record(r.time_s, r.voltage_v, r.current_a,
                                    options.segmentation, r.clock);
    analyse_steps(r, options);
    return r;
}

PulseTestResult
analyse_pulse_test(Span<const double> time_s, Span<const double> voltage_v,
                   Span<const double> current_a, Segmentation segmentation,
                   const PulseTestOptions& options, const StepClock& clock) {
    PulseTestResult r = taken_rows(time_s, voltage_v, current_a, options, clock);
    if (r.samples != time_s.size())
        throw cellcore::InputError(
            "steps given for a record that loses rows to a repeated time or the "
            "cut-off: they would not match the rows analysed");
    check_steps(segmentation, r.samples);
    r.segmentation = std::move(segmentation);
    analyse_steps(r, options);
    return r;
}

PulseCurve pulse_curve(const PulseTestResult& result, const PulseFit& fit,
                       const std::array<double, 5>& params) {
    const Span<const double> voltage_v{result.voltage_v};
    const PulseWindow window = fitted_window(result, fit);
    const std::size_t np = std::isnan(params[3]) ? 3 : 5;
    PulseCurve c;
    c.time_s = window.time_s();
    c.model_v.resize(window.size());
    window.simulate({params.data(), np}, c.model_v, {});
    for (std::size_t r = 0; r < window.size(); ++r) {
        const double measured = voltage_v[window.samples()[r]];
        c.measured_v.push_back(measured);
        c.model_v[r] += measured - window.target()[r]; // + OCV and an earlier decay
    }
    return c;
}

} // namespace cellcore
