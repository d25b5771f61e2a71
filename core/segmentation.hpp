// Finding the pulses of a pulse-discharge record: the current steps that open and close
// every discharge pulse, and the check that a pulse was loaded long enough to count.
#pragma once

#include <vector>

#include "core/span.hpp"

namespace cellcore {

/// A resolved half-open index range [begin, end); empty when begin >= end.
struct Range {
    std::size_t begin = 0, end = 0;
    std::size_t size() const { return end > begin ? end - begin : 0; }
};

/// [a, b) over a vector of n entries with Python's slice rule: a negative bound counts
/// from the end (n is added), bounds beyond either end are clipped.
Range slice_range(long long a, long long b, std::size_t n);

/// Samples k where the current falls (rest_ends) or rises (load_ends) by more than
/// threshold to the next sample, ascending. Strict comparisons.
struct CurrentSteps {
    std::vector<long long> rest_ends, load_ends;
};
CurrentSteps find_current_steps(Span<const double> current_a, double threshold_a);

/// True when every sample of [k - 100, k - 1) carries a discharge current beyond
/// threshold (current < -threshold); an empty window passes.
bool loaded_before(Span<const double> current_a, long long k, double threshold_a);

/// For each pulse j, opened by rest end j and ended by the next rest end (or record_end
/// for the last), the first load end strictly between the two; -1 when it has none.
std::vector<long long> pair_load_ends(Span<const long long> rest_ends,
                                      Span<const long long> load_ends,
                                      long long record_end);

/// The highest histogram bin among all but the last whose count exceeds min_count;
/// -1 when there is none.
long long pulse_level_bin(Span<const long long> counts, long long min_count);

} // namespace cellcore
