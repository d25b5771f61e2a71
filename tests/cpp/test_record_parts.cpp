// Records as cyclers log them: clock-text times, step changes placed by the cycler's
// step clock or its logging intervals, the charge counted across them, and whole test
// files cut to their pulse test.
#include <cmath>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/clock_time.hpp"
#include "core/engine/hold_grid.hpp"
#include "core/engine/step_changes.hpp"
#include "core/engine/test_parts.hpp"

using namespace cellcore;

namespace {

struct Rows {
    std::vector<double> t, v, i;
    void add(double time, double volts, double amps) {
        t.push_back(time), v.push_back(volts), i.push_back(amps);
    }
    /// n rows every dt seconds after the last (or from `from` on an empty record).
    void hold(int n, double dt, double volts, double amps, double from = 0.0) {
        for (int k = 0; k < n; ++k)
            add(t.empty() ? from : t.back() + dt, volts, amps);
    }
};

} // namespace

TEST(clock_texts_read_as_seconds) {
    CHECK_CLOSE(clock_seconds("12:34:56"), 45296.0, 0, 0);
    CHECK_CLOSE(clock_seconds(" 1:02:03.250 "), 3723.25, 0, 1e-12);
    CHECK_CLOSE(clock_seconds("2.03:04:05.5"), 2 * 86400 + 3 * 3600 + 245.5, 0, 1e-9);
    CHECK_CLOSE(clock_seconds("4:05"), 245.0, 0, 0);
    CHECK_CLOSE(clock_seconds("123:00:01"), 123 * 3600 + 1.0, 0, 0); // hours run on
    for (const char* bad : {"12:60:00", "1:00:61", "abc", "1:2:3:4", "", "-1:00:00",
                            "3.5", "1e3:00:00", "1:00:00x", "99999999999999:00:00"})
        CHECK(std::isnan(clock_seconds(bad)));
}

TEST(the_rows_place_a_change_logged_late) {
    // a rest logged every second, then a C/2 step whose first row comes 10 s in
    Rows r;
    r.hold(20, 1.0, 4.0, 0.0);
    r.hold(5, 10.0, 3.9, -1.85);
    CHECK_CLOSE(logged_change_s(r.t, 0, 20, {}), r.t[19], 0, 0); // just after the rest
    // the step's last row at its end, the rest's first a minute later
    r.hold(3, 60.0, 3.95, 0.0);
    CHECK_CLOSE(logged_change_s(r.t, 20, 25, {}), r.t[24], 0, 0);
    // evenly logged: nothing more than the rows
    Rows even;
    even.hold(10, 1.0, 4.0, 0.0);
    even.hold(10, 1.0, 3.9, -1.0);
    CHECK(std::isnan(logged_change_s(even.t, 0, 10, {})));
    // jitter of a few per cent is not a late row
    even.t[10] += 0.03;
    CHECK(std::isnan(logged_change_s(even.t, 0, 10, {})));
}

TEST(the_step_clock_places_a_change) {
    Rows r;
    r.hold(5, 60.0, 4.0, 0.0, 1000.0);
    r.hold(4, 0.25, 3.8, -27.5);
    StepClock clock;
    clock.step_time_s = {60, 120, 180, 240, 300, 0.25, 0.5, 0.75, 1.0};
    clock.step_index = {14, 14, 14, 14, 14, 15, 15, 15, 15};
    r.t[5] = r.t[4] + 0.29; // the step began 0.04 s after the rest's last row
    CHECK_CLOSE(logged_change_s(r.t, 0, 5, clock), r.t[5] - 0.25, 0, 1e-9);
    // a change inside one of the cycler's steps is not a step change of the clock's
    clock.step_index[5] = 14;
    clock.step_time_s[5] = 300 + (r.t[5] - r.t[4]);
    CHECK(std::isnan(logged_change_s(r.t, 0, 5, clock)));
}

TEST(the_grid_counts_charge_across_placed_changes) {
    // 1 A for 10 s logged at 10 s, its last row at the step's end, rest a minute on
    const std::vector<double> t{0, 10, 20, 80}, i{-1, -1, -1, 0};
    const HoldGrid linear = hold_grid(t, i, {});
    CHECK_CLOSE(linear.charge_at(3), -20.0 - 30.0, 0, 1e-12); // trapezoid: 30 A s late
    const std::vector<StepChange> placed{{3, 20.0}};
    const HoldGrid held = hold_grid(t, i, placed);
    CHECK_CLOSE(held.charge_at(3), -20.0, 0, 1e-5);
    CHECK(held.time_s.size() == 5);
    // a change between: the old current up to it, the new one from it
    const HoldGrid between = hold_grid(t, i, std::vector<StepChange>{{3, 50.0}});
    CHECK_CLOSE(between.charge_at(3), -50.0, 0, 1e-5);
}

TEST(epoch_like_times_keep_the_grid_increasing) {
    // times of 2^34 s and more, a microsecond apart or closer than the doubles allow
    const double t0 = std::ldexp(1.0, 34);
    std::vector<double> t{t0, t0 + 1, t0 + 2, std::nextafter(t0 + 2, 1e300), t0 + 3};
    const std::vector<double> i{0, -1, -1, 0, 0};
    std::vector<StepChange> changes{{1, t[1] - 1e-6}, {3, t[2]}, {4, t[3] + 0.5}};
    const HoldGrid g = hold_grid(t, i, changes);
    for (std::size_t k = 1; k < g.time_s.size(); ++k)
        CHECK(g.time_s[k] > g.time_s[k - 1]);
    CHECK(std::isnan(step_instant(t[2], t[3], false))); // no double fits between
    CHECK(step_instant(t[0], t[1], false) < t[1]);
    // a rest logged once a minute, then 4 A from the pulse's first row: the charge is
    // the same at 2^34 s as from zero, not a minute of ramp before the row
    for (const double start : {0.0, t0}) {
        const std::vector<double> rows{start, start + 60, start + 60.1, start + 60.2};
        const std::vector<double> amps{0, -4, -4, -4};
        const HoldGrid at = hold_grid(
            rows, amps,
            std::vector<StepChange>{{1, step_instant(rows[0], rows[1], false)}});
        CHECK_CLOSE(at.charge_at(3), -0.8, 0, 1e-4);
    }
}

TEST(a_whole_test_file_is_cut_to_its_pulse_test) {
    Rows r;
    r.hold(60, 60.0, 3.77, 0.0);  // rest
    r.hold(120, 60.0, 4.3, 1.85); // charge to full: 2 h
    r.hold(60, 60.0, 4.3, 0.0);   // rest
    const std::size_t check_begin = r.t.size();
    r.hold(100, 60.0, 3.7, -1.85);       // capacity check...
    r.add(r.t.back() + 60, 2.99, -1.85); // ...to the cut-off
    r.hold(60, 60.0, 3.2, 0.0);
    r.hold(130, 60.0, 4.3, 1.85); // recharge
    const std::size_t test_begin = r.t.size();
    r.hold(60, 60.0, 4.3, 0.0); // the pulse test
    for (int block = 0; block < 3; ++block) {
        r.hold(10, 1.0, 4.0, -27.5);
        r.hold(40, 60.0, 4.1, 0.0);
    }
    r.hold(30, 1.0, 3.1, -27.5);
    r.add(r.t.back() + 1, 2.95, -27.5); // the cut-off
    const std::size_t cutoff_row = r.t.size() - 1;
    r.hold(30, 60.0, 3.5, 0.0);
    r.hold(130, 60.0, 4.3, 1.85); // a second series after it
    r.hold(10, 1.0, 4.0, -55.0);
    r.hold(10, 60.0, 4.1, 0.0);

    const PulseTestPart part = find_pulse_test(r.t, r.v, r.i, 3.0, 0.3);
    CHECK(part.begin == test_begin);
    CHECK(part.end == cutoff_row + 1);
    CHECK(part.crossed && part.recharged_after);
    CHECK(part.capacity_checks.size() == 1);
    const CapacityCheck& c = part.capacity_checks.front();
    CHECK(c.begin == check_begin);
    CHECK_CLOSE(c.charge_ah, 1.85 * 100 * 60 / 3600.0, 0, 1e-9);

    // a capacity check and nothing after it: the error names the setting
    Rows only_check;
    only_check.hold(10, 60.0, 4.2, 0.0);
    only_check.hold(100, 60.0, 3.7, -1.85);
    only_check.add(only_check.t.back() + 60, 2.99, -1.85);
    bool named = false;
    try {
        find_pulse_test(only_check.t, only_check.v, only_check.i, 3.0, 0.02);
    } catch (const std::invalid_argument& e) {
        named = std::string(e.what()).find("\"section\"") != std::string::npos;
    }
    CHECK(named);

    // a plain pulse record is all pulse test
    Rows plain;
    plain.hold(10, 1.0, 4.0, 0.0);
    for (int k = 0; k < 3; ++k)
        plain.hold(100, 1.0, 3.8, -2.0), plain.hold(100, 1.0, 3.9, 0.0);
    plain.add(plain.t.back() + 1, 2.9, -2.0);
    const PulseTestPart whole = find_pulse_test(plain.t, plain.v, plain.i, 3.0, 0.02);
    CHECK(whole.begin == 0 && whole.end == plain.t.size() && whole.crossed);
    CHECK(whole.capacity_checks.empty() && !whole.recharged_after);
}

TEST(a_section_by_time_or_step_number) {
    const std::vector<double> index{1, 1, 2, 2, 3, 3, 4};
    const RowRange r = rows_in_range(index, 2, 3);
    CHECK(r.begin == 2 && r.end == 6);
    CHECK_THROWS(rows_in_range(index, 7, 9), std::invalid_argument);
}
