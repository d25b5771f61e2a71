#include "core/record_rows.hpp"

#include <algorithm>
#include <cmath>

namespace cellcore {

TimeOrder increasing_time_rows(Span<const double> time_s) {
    TimeOrder order;
    order.kept.reserve(time_s.size());
    for (std::size_t k = 0; k < time_s.size(); ++k) {
        if (!order.kept.empty()) {
            const double last = time_s[order.kept.back()];
            if (time_s[k] == last) {
                ++order.repeated;
                continue;
            }
            if (time_s[k] < last) {
                if (order.backwards_row < 0)
                    order.backwards_row = static_cast<long long>(k);
                continue;
            }
        }
        order.kept.push_back(k);
    }
    return order;
}

double rest_current_limit_a(Span<const double> current_a) {
    double largest = 0.0;
    for (double i : current_a)
        if (std::isfinite(i))
            largest = std::max(largest, std::fabs(i));
    return std::max(0.01 * largest, 1e-3);
}

long long rest_after_leading_charge(Span<const double> current_a, double rest_limit_a) {
    const std::size_t n = current_a.size();
    std::size_t k = 0;
    while (k < n && std::fabs(current_a[k]) <= rest_limit_a)
        ++k;
    if (k == n || !(current_a[k] > 0.0))
        return -1;
    while (k < n && current_a[k] > rest_limit_a)
        ++k;
    return static_cast<long long>(k);
}

} // namespace cellcore
