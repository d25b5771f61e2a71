#include "core/segmentation.hpp"

#include <algorithm>

namespace cellcore {

Range slice_range(long long a, long long b, std::size_t n) {
    const long long len = static_cast<long long>(n);
    auto clip = [len](long long x) {
        if (x < 0)
            x += len;
        return std::clamp(x, 0LL, len);
    };
    return {static_cast<std::size_t>(clip(a)), static_cast<std::size_t>(clip(b))};
}

CurrentSteps find_current_steps(Span<const double> current_a, double threshold_a) {
    CurrentSteps steps;
    for (std::size_t k = 0; k + 1 < current_a.size(); ++k) {
        const double d = current_a[k + 1] - current_a[k];
        if (d < -threshold_a)
            steps.rest_ends.push_back(static_cast<long long>(k));
        else if (d > threshold_a)
            steps.load_ends.push_back(static_cast<long long>(k));
    }
    return steps;
}

bool loaded_before(Span<const double> current_a, long long k, double threshold_a) {
    const Range w = slice_range(k - 100, k - 1, current_a.size());
    for (std::size_t j = w.begin; j < w.end; ++j)
        if (!(current_a[j] < -threshold_a))
            return false;
    return true;
}

std::vector<long long> pair_load_ends(Span<const long long> rest_ends,
                                      Span<const long long> load_ends,
                                      long long record_end) {
    std::vector<long long> paired(rest_ends.size(), -1);
    for (std::size_t j = 0; j < rest_ends.size(); ++j) {
        const long long next = j + 1 < rest_ends.size() ? rest_ends[j + 1] : record_end;
        const auto* l =
            std::upper_bound(load_ends.begin(), load_ends.end(), rest_ends[j]);
        if (l != load_ends.end() && *l < next)
            paired[j] = *l;
    }
    return paired;
}

long long pulse_level_bin(Span<const long long> counts, long long min_count) {
    for (long long k = static_cast<long long>(counts.size()) - 2; k >= 0; --k)
        if (counts[static_cast<std::size_t>(k)] > min_count)
            return k;
    return -1;
}

} // namespace cellcore
