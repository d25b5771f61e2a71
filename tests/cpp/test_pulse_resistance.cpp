// The pulse resistance dV/dI at 1 s, 10 s and the pulse's end, on records whose voltage
// is linear in time under load, so the interpolated values are exact.
#include <cmath>
#include <vector>

#include "check.hpp"
#include "core/pulse_resistance.hpp"

using namespace cellcore;

namespace {

// A rest at 4 V (1 s samples up to t = 9), then from t = 10 a pulse of current_a
// sampled every dt_s for duration_s, whose resistance grows as 20 mOhm + 1 mOhm/s,
// then a rest again.
struct Record {
    std::vector<double> t, v, i;
    PulseSpan pulse;
};

Record linear_pulse(double current_a, double duration_s, double dt_s,
                    double first_after_s = 0.0) {
    Record r;
    for (int k = 0; k < 10; ++k) {
        r.t.push_back(k);
        r.v.push_back(4.0);
        r.i.push_back(0.0);
    }
    const double start = 10.0;
    for (double s = first_after_s; s < duration_s - 1e-9; s += dt_s) {
        r.t.push_back(start + s);
        r.v.push_back(4.0 + current_a * (0.02 + 0.001 * s));
        r.i.push_back(current_a);
    }
    for (int k = 0; k < 5; ++k) {
        r.t.push_back(start + duration_s + k);
        r.v.push_back(3.9);
        r.i.push_back(0.0);
    }
    r.pulse = {start, start + duration_s, current_a};
    return r;
}

PulseResistance of(const Record& r) { return pulse_resistance(r.t, r.v, r.i, r.pulse); }

} // namespace

TEST(discharge_and_charge_pulses_read_the_voltage_between_samples) {
    for (double current : {-5.0, 3.0}) {
        const Record r = linear_pulse(current, 30.0, 0.3);
        const PulseResistance got = of(r);
        CHECK_CLOSE(got.r_1s_ohm, 0.021, 1e-12, 0.0);
        CHECK_CLOSE(got.r_10s_ohm, 0.030, 1e-12, 0.0);
        // the last sample under load is at 29.7 s
        CHECK_CLOSE(got.r_end_ohm, 0.02 + 0.001 * 29.7, 1e-9, 0.0);
    }
}

TEST(the_next_steps_first_sample_is_not_the_pulses_end) {
    // the end as a start plus a duration: rounding puts it a hair past the rest's
    // first sample, which must not count as the pulse's last
    Record r = linear_pulse(-2.0, 30.0, 0.5);
    r.pulse.end_s = std::nextafter(r.pulse.end_s, 1e9);
    CHECK_CLOSE(of(r).r_end_ohm, 0.02 + 0.001 * 29.5, 1e-9, 0.0);
}

TEST(a_pulse_shorter_than_ten_seconds_has_no_ten_second_value) {
    const PulseResistance got = of(linear_pulse(-2.0, 5.0, 0.5));
    CHECK_CLOSE(got.r_1s_ohm, 0.021, 1e-12, 0.0);
    CHECK(std::isnan(got.r_10s_ohm));
    CHECK_CLOSE(got.r_end_ohm, 0.0245, 1e-12, 0.0);
}

TEST(a_ten_second_pulse_reads_its_last_sample_at_ten_seconds) {
    // samples every 0.1 s: the last one under load is at 9.9 s, the pulse ends at 10 s
    const PulseResistance got = of(linear_pulse(4.0, 10.0, 0.1));
    CHECK_CLOSE(got.r_10s_ohm, 0.02 + 0.001 * 9.9, 1e-9, 0.0);
    CHECK_CLOSE(got.r_10s_ohm, got.r_end_ohm, 0.0, 0.0);
}

TEST(no_value_without_a_sample_to_read) {
    // sparsely logged: the first sample under load comes 2 s into the pulse
    const PulseResistance sparse = of(linear_pulse(-2.0, 30.0, 2.0, 2.0));
    CHECK(std::isnan(sparse.r_1s_ohm));
    CHECK_CLOSE(sparse.r_10s_ohm, 0.030, 1e-12, 0.0);
    // a pulse at the record's first sample has no rested voltage before it
    Record first = linear_pulse(-2.0, 30.0, 1.0);
    first.pulse.start_s = 0.0;
    CHECK(std::isnan(of(first).r_1s_ohm));
    CHECK(std::isnan(of(first).r_end_ohm));
    // no current step
    Record flat = linear_pulse(-2.0, 30.0, 1.0);
    flat.pulse.current_a = 0.0;
    CHECK(std::isnan(of(flat).r_10s_ohm));
}
