// The pulse-test engine from C++ alone: segmentation with the loggers' quirk rows, the
// OCV curve, and a whole HPPC-like record of a known cell analysed end to end. The last
// test doubles as the example of calling the engine without Python.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/engine/pulse_test.hpp"
#include "core/engine/step_window.hpp"

using namespace cellcore;

namespace {

/// A record built segment by segment, the current held after each sample, simulated
/// exactly for R0 and one RC pair on a straight OCV line.
struct Synthetic {
    std::vector<double> t, v, i;
    double r0 = 0.02, r1 = 0.01, c1 = 500.0, capacity_ah = 2.0;
    double now = 0.0, soc = 1.0, x = 0.0;

    double ocv(double s) const { return 3.5 + 0.6 * s; }
    void segment(double duration_s, double current_a, double dt_s) {
        const auto n = static_cast<int>(std::lround(duration_s / dt_s));
        for (int k = 0; k < n; ++k) {
            t.push_back(now);
            v.push_back(ocv(soc) + r0 * current_a + x);
            i.push_back(current_a);
            const double a = std::exp(-dt_s / (r1 * c1));
            x = a * x + r1 * (1 - a) * current_a;
            soc += current_a * dt_s / 3600.0 / capacity_ah;
            now += dt_s;
        }
    }
};

Synthetic hppc_like() {
    Synthetic s;
    s.segment(1200, 0.0, 10.0);
    for (int block = 0; block < 3; ++block) {
        s.segment(20, -4.0, 0.1); // discharge pulse
        s.segment(40, 0.0, 0.1);
        s.segment(10, 3.0, 0.1); // charge pulse
        s.segment(40, 0.0, 0.1);
        s.segment(720, -1.0, 1.0); // SOC step: 10 %
        s.segment(1200, 0.0, 10.0);
    }
    s.segment(7200, -1.0, 1.0);
    return s;
}

} // namespace

TEST(transition_and_lagging_rows_move_to_their_steps) {
    // rest, a row at the step instant still reading 0 A with the voltage already down,
    // the pulse, a row reading 0 A with the voltage still down, the rest
    std::vector<double> t, v, i;
    for (int k = 0; k < 5; ++k) {
        t.push_back(k);
        v.push_back(4.0);
        i.push_back(0.0);
    }
    t.push_back(5.0), v.push_back(3.9), i.push_back(0.0); // transition row
    for (int k = 0; k < 10; ++k)
        t.push_back(5.1 + 0.1 * k), v.push_back(3.89), i.push_back(-2.0);
    t.push_back(6.05), v.push_back(3.89), i.push_back(0.0); // lagging row
    for (int k = 0; k < 5; ++k)
        t.push_back(7.0 + k), v.push_back(3.99), i.push_back(0.0);
    const Segmentation seg = segment_record(t, v, i);
    CHECK(seg.steps.size() == 3);
    CHECK(seg.quirks.size() == 2);
    CHECK(seg.steps[1].kind == StepKind::discharge_pulse);
    CHECK(seg.steps[1].begin == 5 && seg.steps[1].end == 17);
    CHECK_CLOSE(seg.steps[1].start_s, 5.0, 0, 1e-5); // just before the transition row
    CHECK(seg.steps[2].start_s > 6.05 &&
          seg.steps[2].start_s < 6.05 + 1e-5); // just after the lagging row
    CHECK_CLOSE(seg.current_a[5], -2.0, 0, 0);
    CHECK_CLOSE(seg.current_a[16], -2.0, 0, 0);
}

TEST(soc_steps_and_tapers_are_not_pulses) {
    // 10 s pulses between 400 s SOC steps, and a taper: a pulse may last any time, so
    // what makes the long steps SOC steps is that they are long beside the pulses
    std::vector<double> t, v, i;
    double now = 0.0;
    const auto hold = [&](double seconds, double current) {
        for (int k = 0; k < static_cast<int>(seconds); ++k, now += 1.0)
            t.push_back(now), v.push_back(3.8), i.push_back(current);
    };
    hold(10, 0.0);
    for (int block = 0; block < 3; ++block) {
        hold(10, -2.0), hold(60, 0.0), hold(400, -1.0), hold(60, 0.0);
    }
    for (int k = 0; k < 90; ++k, now += 1.0) // a constant-voltage taper
        t.push_back(now), v.push_back(3.8), i.push_back(1.0 - k / 100.0);
    hold(60, 0.0);
    const Segmentation seg = segment_record(t, v, i);
    CHECK(seg.count(StepKind::discharge_pulse) == 3);
    CHECK(seg.count(StepKind::discharge) == 3);
    CHECK(seg.count(StepKind::charge) == 1);
    CHECK(seg.count(StepKind::charge_pulse) == 0);
}

TEST(ocv_curve_passes_its_points_and_keeps_their_shape) {
    const std::vector<double> soc{1.0, 0.8, 0.5, 0.3, 0.1},
        ocv{4.1, 3.95, 3.7, 3.6, 3.3};
    const OcvCurve curve(soc, ocv);
    for (std::size_t k = 0; k < soc.size(); ++k)
        CHECK_CLOSE(curve(soc[k]), ocv[k], 0, 1e-15);
    double last = curve(0.1);
    for (double s = 0.1; s <= 1.0; s += 0.001) { // rising points, rising curve
        CHECK(curve(s) >= last - 1e-15);
        last = curve(s);
    }
    // beyond the points: straight on along the end segments
    CHECK_CLOSE(curve(0.0), 3.3 - 0.1 * (3.6 - 3.3) / 0.2, 0, 1e-12);
    CHECK_CLOSE(curve(1.1), 4.1 + 0.1 * (4.1 - 3.95) / 0.2, 0, 1e-12);
    CHECK_THROWS(OcvCurve({}, {}), std::invalid_argument);
}

TEST(a_pulse_is_judged_from_the_row_before_to_the_end_of_its_rest) {
    // rest [0, 10), pulse [10, 20), rest [20, 50), pulse [50, 60), pulse [60, 70)
    const auto step = [](std::size_t b, std::size_t e, StepKind k) {
        Step s;
        s.begin = b, s.end = e, s.kind = k;
        return s;
    };
    const std::vector<Step> steps{
        step(0, 10, StepKind::rest), step(10, 20, StepKind::discharge_pulse),
        step(20, 50, StepKind::rest), step(50, 60, StepKind::discharge_pulse),
        step(60, 70, StepKind::charge_pulse)};
    using Rows = std::pair<std::size_t, std::size_t>;
    const auto rows = [&](std::size_t s, std::vector<std::size_t> gaps) {
        const RowRange r = judged_rows(steps, s, gaps);
        return Rows(r.begin, r.end);
    };
    CHECK(rows(1, {}) == Rows(9, 50));
    CHECK(rows(3, {}) == Rows(49, 60)); // load next
    CHECK(rows(0, {}) == Rows(0, 10));
    // a gap in the rest cuts it there; one inside the step does not cut the step
    CHECK(rows(1, {30}) == Rows(9, 30));
    CHECK(rows(1, {15}) == Rows(9, 20));
    CHECK_THROWS(judged_rows(steps, 5, {}), std::out_of_range);
}

TEST(a_rest_as_long_as_the_minimum_gives_an_ocv_point) {
    // 150 s pulses and rests of exactly the 600 s minimum: every rest a discharge
    // ends counts, whatever rounding the placed step starts carry
    Synthetic s;
    s.segment(60, 0.0, 1.0);
    for (int block = 0; block < 6; ++block) {
        s.segment(150, -2.0, 1.0);
        s.segment(600, 0.0, 1.0);
    }
    s.segment(3000, -2.0, 1.0);
    PulseTestOptions options;
    options.rc_pairs = 1;
    const PulseTestResult r = analyse_pulse_test(s.t, s.v, s.i, options);
    const auto rests = std::count_if(r.ocv_points.begin(), r.ocv_points.end(),
                                     [](const OcvPoint& p) { return !p.loaded; });
    CHECK(rests == 7); // the opening rest and all six after a pulse
}

TEST(steps_handed_in_are_the_steps_fitted) {
    const Synthetic s = hppc_like();
    PulseTestOptions options;
    options.rc_pairs = 1;
    const PulseTestResult own = analyse_pulse_test(s.t, s.v, s.i, options);
    const Segmentation steps = segment_record(s.t, s.v, s.i);
    const PulseTestResult given = analyse_pulse_test(s.t, s.v, s.i, steps, options);
    CHECK(given.pulses.size() == own.pulses.size() && !own.pulses.empty());
    for (std::size_t k = 0; k < own.pulses.size(); ++k)
        for (std::size_t c = 0; c < 3; ++c) // one pair: R2, C2 are NaN in both
            CHECK(given.pulses[k].row.params[c] == own.pulses[k].row.params[c]);
    // steps short of the last row, or rows the cut-off takes away: not these rows'
    // steps
    Segmentation short_steps = steps;
    short_steps.steps.back().end -= 1;
    CHECK_THROWS(analyse_pulse_test(s.t, s.v, s.i, short_steps, options),
                 std::invalid_argument);
    options.cutoff_v = 3.45;
    CHECK_THROWS(analyse_pulse_test(s.t, s.v, s.i, steps, options),
                 std::invalid_argument);
}

TEST(hppc_record_of_a_known_cell) {
    const Synthetic s = hppc_like();
    PulseTestOptions options;
    options.rc_pairs = 1;
    options.cutoff_v = 3.45;
    const PulseTestResult r = analyse_pulse_test(s.t, s.v, s.i, options);
    CHECK(r.count(PulseKind::discharge) == 3);
    CHECK(r.count(PulseKind::charge) == 3);
    const auto rests = std::count_if(r.ocv_points.begin(), r.ocv_points.end(),
                                     [](const OcvPoint& p) { return !p.loaded; });
    CHECK(rests == 4); // the opening rest and after every SOC step
    for (const PulseFit& fit : r.pulses) {
        const PulseRow& p = fit.row;
        CHECK(p.flags == 0);
        CHECK_CLOSE(p.params[0], s.r0, 1e-6, 0);
        CHECK_CLOSE(p.params[1], s.r1, 1e-6, 0);
        CHECK_CLOSE(p.params[2], s.c1, 1e-6, 0);
        CHECK(p.rms_mv < 1e-3);
    }
    // below the lowest rest the OCV comes from the final discharge, its circuit drop
    // taken out: the cell's own line, down to the cut-off at SOC 0
    const double lowest_rest = r.ocv_points[static_cast<std::size_t>(rests) - 1].soc;
    CHECK(r.ocv_points.back().loaded && r.ocv.min_soc() < 0.01);
    for (double soc = 0.0; soc < lowest_rest; soc += 0.02) {
        // the counted SOC runs to 0 at the cut-off, the cell's own a little past it
        const double cell_soc = 1.0 - (1.0 - soc) * r.capacity_ah / s.capacity_ah;
        CHECK_CLOSE(r.ocv(soc), s.ocv(cell_soc), 0, 2e-4);
    }
    // net charge to the cut-off, counted with the steps where they happened
    double net_as = 0.0;
    for (std::size_t k = 0; k + 1 < r.samples; ++k)
        net_as += s.i[k] * (s.t[k + 1] - s.t[k]);
    CHECK_CLOSE(r.capacity_ah, -net_as / 3600.0, 1e-3, 0);
}

TEST(records_without_what_the_engine_needs) {
    Synthetic rests_too_short;
    rests_too_short.segment(60, 0.0, 1.0);
    for (int k = 0; k < 4; ++k) {
        rests_too_short.segment(10, -2.0, 0.1);
        rests_too_short.segment(60, 0.0, 1.0);
    }
    CHECK_THROWS(
        analyse_pulse_test(rests_too_short.t, rests_too_short.v, rests_too_short.i),
        std::invalid_argument);
    Synthetic no_rest_after_steps; // steps straight into steps: nothing relaxes
    no_rest_after_steps.segment(1200, 0.0, 10.0);
    for (int k = 0; k < 6; ++k)
        no_rest_after_steps.segment(720, k % 2 ? -1.0 : -2.0, 1.0);
    CHECK_THROWS(analyse_pulse_test(no_rest_after_steps.t, no_rest_after_steps.v,
                                    no_rest_after_steps.i),
                 std::invalid_argument);
}

namespace {

/// A one-RC cell driven by steps of constant current, logged as an Arbin cycler logs:
/// rows every dt of each step from dt in, and one more at the step's end; the step
/// clock (seconds since the step began, the step's number) beside them.
struct ArbinLog {
    std::vector<double> t, v, i;
    StepClock clock;
    double r0 = 0.02, r1 = 0.01, c1 = 500.0, capacity_ah = 2.0;
    double now = 1000.0, soc = 1.0, x = 0.0, drawn_as = 0.0;
    int step = 0;

    double ocv(double s) const { return 3.5 + 0.6 * s; }
    void log_row(double at, double current) {
        t.push_back(now + at);
        const double a = std::exp(-at / (r1 * c1));
        const double xs = a * x + r1 * (1 - a) * current;
        v.push_back(ocv(soc + current * at / 3600.0 / capacity_ah) + r0 * current + xs);
        i.push_back(current);
        clock.step_time_s.push_back(at);
        clock.step_index.push_back(step);
    }
    void run(double duration_s, double current_a, double dt_s) {
        ++step;
        for (double at = dt_s; at < duration_s - 1e-9; at += dt_s)
            log_row(at, current_a);
        log_row(duration_s, current_a);
        const double a = std::exp(-duration_s / (r1 * c1));
        x = a * x + r1 * (1 - a) * current_a;
        soc += current_a * duration_s / 3600.0 / capacity_ah;
        drawn_as -= current_a * duration_s;
        now += duration_s;
    }
};

} // namespace

TEST(arbin_logging_with_and_without_the_step_clock) {
    ArbinLog a;
    a.run(3600, 0.0, 300.0);
    for (int block = 0; block < 4; ++block) {
        a.run(240, 0.0, 60.0);
        a.run(10, -10.0, 0.25); // pulse
        a.run(40, 0.0, 1.0);
        a.run(10, 5.0, 0.25); // charge pulse
        a.run(40, 0.0, 1.0);
        a.run(360, -1.0, 10.0); // a 5 % SOC step; the rest's first row a minute on
        a.run(1800, 0.0, 60.0);
    }
    PulseTestOptions options;
    options.rc_pairs = 1;
    for (const bool with_clock : {true, false}) {
        const PulseTestResult r = analyse_pulse_test(
            a.t, a.v, a.i, options, with_clock ? a.clock : StepClock{});
        // the charge the cycler passed, not a minute of C/2 after each step; without
        // the clock a pulse whose first row comes 0.25 s in starts at that row
        CHECK_CLOSE(r.capacity_ah, a.drawn_as / 3600.0, with_clock ? 1e-9 : 5e-3, 0);
        CHECK(r.count(PulseKind::discharge) == 4);
        for (const PulseFit& fit : r.pulses) {
            const PulseRow& p = fit.row;
            CHECK(p.params[0] <=
                  fit.step_r0_ohm * 1.0001 + 1e-6); // never above the step
            CHECK_CLOSE(p.params[0], a.r0, with_clock ? 2e-3 : 0.1, 0);
        }
    }
}
