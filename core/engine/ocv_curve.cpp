#include "core/engine/ocv_curve.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "core/errors.hpp"

namespace cellcore {
namespace {

double sign(double x) { return (x > 0) - (x < 0); }

// Fritsch-Carlson slopes: a weighted harmonic mean of the neighbouring secants where
// they agree in sign, zero at a local extremum, and a shape-preserving three-point
// slope at the ends.
std::vector<double> monotone_slopes(const std::vector<double>& x,
                                    const std::vector<double>& y) {
    const std::size_t n = x.size();
    std::vector<double> d(n, 0.0);
    if (n < 2)
        return d;
    std::vector<double> h(n - 1), s(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        h[k] = x[k + 1] - x[k];
        s[k] = (y[k + 1] - y[k]) / h[k];
    }
    if (n == 2) {
        d[0] = d[1] = s[0];
        return d;
    }
    for (std::size_t k = 1; k + 1 < n; ++k) {
        if (sign(s[k - 1]) * sign(s[k]) <= 0)
            continue;
        const double w1 = 2 * h[k] + h[k - 1], w2 = h[k] + 2 * h[k - 1];
        d[k] = (w1 + w2) / (w1 / s[k - 1] + w2 / s[k]);
    }
    auto end_slope = [](double h0, double h1, double s0, double s1) {
        double e = ((2 * h0 + h1) * s0 - h0 * s1) / (h0 + h1);
        if (sign(e) != sign(s0))
            e = 0.0;
        else if (sign(s0) != sign(s1) && std::fabs(e) > 3 * std::fabs(s0))
            e = 3 * s0;
        return e;
    };
    d[0] = end_slope(h[0], h[1], s[0], s[1]);
    d[n - 1] = end_slope(h[n - 2], h[n - 3], s[n - 2], s[n - 3]);
    return d;
}

} // namespace

OcvCurve::OcvCurve(const std::vector<double>& soc, const std::vector<double>& ocv_v) {
    if (soc.empty() || soc.size() != ocv_v.size())
        throw cellcore::InputError("an OCV curve needs at least one (SOC, OCV) point");
    std::vector<std::size_t> order(soc.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return soc[a] < soc[b]; });
    for (std::size_t k : order) {
        if (!std::isfinite(soc[k]) || !std::isfinite(ocv_v[k]))
            throw cellcore::InputError("an OCV point is not finite");
        if (!soc_.empty() && soc[k] - soc_.back() < 1e-9) {
            // the same state of charge measured twice: keep the later measurement
            ocv_.back() = ocv_v[k];
            continue;
        }
        soc_.push_back(soc[k]);
        ocv_.push_back(ocv_v[k]);
    }
    slope_ = monotone_slopes(soc_, ocv_);
}

double OcvCurve::operator()(double x) const {
    const std::size_t n = soc_.size();
    // NaN compares false both ways: it would fall past the last segment
    if (std::isnan(x))
        return x;
    if (n == 1)
        return ocv_[0];
    if (x <= soc_.front()) // straight on along the first segment
        return ocv_[0] + (x - soc_[0]) * (ocv_[1] - ocv_[0]) / (soc_[1] - soc_[0]);
    if (x >= soc_.back())
        return ocv_[n - 1] + (x - soc_[n - 1]) * (ocv_[n - 1] - ocv_[n - 2]) /
                                 (soc_[n - 1] - soc_[n - 2]);
    const std::size_t k = static_cast<std::size_t>(
        std::upper_bound(soc_.begin(), soc_.end(), x) - soc_.begin() - 1);
    const double h = soc_[k + 1] - soc_[k], u = (x - soc_[k]) / h;
    const double h00 = (1 + 2 * u) * (1 - u) * (1 - u), h10 = u * (1 - u) * (1 - u);
    const double h01 = u * u * (3 - 2 * u), h11 = u * u * (u - 1);
    return h00 * ocv_[k] + h10 * h * slope_[k] + h01 * ocv_[k + 1] +
           h11 * h * slope_[k + 1];
}

} // namespace cellcore
