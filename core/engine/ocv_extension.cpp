#include "core/engine/ocv_extension.hpp"

#include <algorithm>
#include <cmath>

#include "core/engine/soc_tables.hpp"
#include "core/rc_circuit.hpp"

namespace cellcore {
namespace {

// The circuit's voltage at the samples [from, to) for the grid's current since history.
std::vector<double> circuit_voltage(const HoldGrid& g, const LoadedStretch& s) {
    const std::size_t g0 = g.at_sample[s.history], g1 = g.at_sample[s.to - 1] + 1;
    const Span<const double> t(g.time_s.data() + g0, g1 - g0);
    const Span<const double> i(g.current_a.data() + g0, g1 - g0);
    std::vector<RcPair> pairs{{s.params[1], s.params[2]}};
    if (std::isfinite(s.params[3]))
        pairs.push_back({s.params[3], s.params[4]});
    std::vector<double> y(g1 - g0);
    rc_circuit_response(s.params[0], pairs, t, i, y, {});
    std::vector<double> at(s.to - s.from);
    for (std::size_t k = s.from; k < s.to; ++k)
        at[k - s.from] = y[g.at_sample[k] - g0];
    return at;
}

bool usable(const std::array<double, 5>& p) {
    const std::size_t n = std::isfinite(p[3]) ? 5 : 3;
    return std::all_of(p.begin(), p.begin() + static_cast<long>(n),
                       [](double x) { return std::isfinite(x) && x > 0; });
}

} // namespace

std::vector<OcvPoint> loaded_ocv_points(const HoldGrid& grid, Span<const double> time_s,
                                        Span<const double> voltage_v,
                                        Span<const double> soc,
                                        const LoadedStretch& stretch,
                                        const std::vector<OcvPoint>& rest_points,
                                        double soc_step) {
    std::vector<OcvPoint> points;
    const LoadedStretch& s = stretch;
    if (rest_points.empty() || !usable(s.params) || !(s.history < s.from) ||
        !(s.from < s.to) || s.to > soc.size())
        return points;
    const auto [lowest, highest] = std::minmax_element(
        rest_points.begin(), rest_points.end(),
        [](const OcvPoint& a, const OcvPoint& b) { return a.soc < b.soc; });
    const std::vector<double> drop = circuit_voltage(grid, s);
    long long bucket = -1;
    for (std::size_t k = s.from; k < s.to; ++k) {
        const bool below = soc[k] < lowest->soc - 0.5 * soc_step;
        const bool above = soc[k] > highest->soc + 0.5 * soc_step;
        const auto b = static_cast<long long>(std::floor(soc[k] / soc_step));
        // the stretch's last sample too: at the cut-off, the curve's end
        const bool last = k + 1 == s.to && b == bucket && !points.empty() &&
                          std::fabs(points.back().soc - soc[k]) > 0.1 * soc_step;
        if ((!below && !above) || (b == bucket && !last) ||
            !std::isfinite(drop[k - s.from]))
            continue;
        bucket = b;
        points.push_back({k, time_s[k], soc[k], voltage_v[k] - drop[k - s.from], true});
    }
    std::sort(points.begin(), points.end(),
              [](const OcvPoint& a, const OcvPoint& b) { return a.soc < b.soc; });
    std::vector<double> ocv;
    for (const OcvPoint& p : points)
        ocv.push_back(p.ocv_v);
    const std::vector<double> rising = nondecreasing_fit(ocv);
    for (std::size_t k = 0; k < points.size(); ++k) {
        const bool below = points[k].soc < lowest->soc;
        points[k].ocv_v = below ? std::min(rising[k], lowest->ocv_v)
                                : std::max(rising[k], highest->ocv_v);
    }
    return points;
}

} // namespace cellcore
