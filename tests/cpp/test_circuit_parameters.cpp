// What every part of the system shares about the circuit and the record's end: the
// rule for a fitted value on a bound, the pulses table's flags from it, the cut-off
// search, and the wording of an error about a record.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/circuit_parameters.hpp"
#include "core/cutoff.hpp"
#include "core/errors.hpp"
#include "core/pulse_table.hpp"

using namespace cellcore;

TEST(a_value_on_a_bound_within_the_tolerance_and_no_further) {
    CHECK(on_bound(kFitLowerBound) && on_bound(kFitUpperBound));
    CHECK(on_bound(kFitLowerBound * (1 + 0.9 * kOnBoundTolerance)));
    CHECK(on_bound(kFitUpperBound * (1 - 0.9 * kOnBoundTolerance)));
    CHECK(!on_bound(kFitLowerBound * (1 + 2 * kOnBoundTolerance)));
    CHECK(!on_bound(kFitUpperBound * (1 - 2 * kOnBoundTolerance)));
    CHECK(!on_bound(0.05) && !on_bound(std::nan("")));
}

TEST(bound_flags_name_the_parameters_on_a_bound) {
    const double nan = std::nan("");
    CHECK(bound_flags({0.03, 0.01, 2000, nan, nan}) == 0);
    CHECK(pulse_flag_text(bound_flags({kFitLowerBound, 0.01, 2000, 0.02,
                                       kFitUpperBound})) == "R0_at_bound;C2_at_bound");
}

TEST(fits_on_a_bound_or_unconverged_are_the_ones_to_check) {
    PulseRow row;
    CHECK(!fit_to_check(row));
    for (const char* flags :
         {"C2_at_bound", "not_converged;R0_at_step", "R1_at_bound;tau1_at_limit"}) {
        row.flags = pulse_flags_of(flags);
        CHECK(pulse_flag_text(row.flags) == flags); // the table's text reads back
        CHECK(fit_to_check(row));
    }
    for (const char* flags :
         {"R0_at_step", "tau2_at_limit", "_at_bound", "not_converged_"}) {
        row.flags = pulse_flags_of(flags);
        CHECK(!fit_to_check(row));
    }
    CHECK(std::isnan(PulseRow().params[kC2])); // a pair not fitted has no value
}

TEST(the_cutoff_is_the_first_sample_strictly_below_it) {
    const std::vector<double> v = {4.1, 3.0, 3.2, 2.99, 2.5};
    CHECK(first_below_cutoff(v, 3.0) == 3);                 // 3.0 itself is not below
    CHECK(first_below_cutoff(v, 2.0) == v.size());          // never reached
    CHECK(first_below_cutoff(v, std::nan("")) == v.size()); // no cut-off given
    CHECK(first_below_cutoff(v, 3.1, 2) == 3);              // searched from sample 2 on
    CHECK(first_below_cutoff(v, 3.1, 2, 3) == 3); // not within [2, 3): the range's end
    CHECK(first_below_cutoff(v, 3.1, 0, 99) == 1);
}

TEST(an_error_about_a_record_names_it_first) {
    const InputError e = record_error("cell_Tp25.csv", "no rest after pulse 3");
    CHECK(std::string(e.what()) == "cell_Tp25.csv: no rest after pulse 3");
    CHECK_THROWS(throw e, std::invalid_argument); // a ValueError in Python
}
