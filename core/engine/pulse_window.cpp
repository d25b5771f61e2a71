#include "core/engine/pulse_window.hpp"

#include <algorithm>

#include "core/rc_circuit.hpp"

namespace cellcore {
namespace {

// logged times are rounded (to the millisecond, say): steps that differ only in their
// last bits share one set of step coefficients
constexpr double kStepRtol = 1e-9;

} // namespace

PulseWindow::PulseWindow(const PulseTestResult& result, Span<const double> voltage_v,
                         std::size_t history, std::size_t begin, std::size_t pulse_end,
                         std::size_t end, bool flat_ocv,
                         Span<const double> baseline_v) {
    const auto& mended = result.segmentation.quirks; // ascending
    const HoldGrid& g = result.grid;
    const std::size_t g0 = g.at_sample[history], g1 = g.at_sample[end - 1] + 1;
    grid_t_.assign(g.time_s.begin() + static_cast<long>(g0),
                   g.time_s.begin() + static_cast<long>(g1));
    grid_i_.assign(g.current_a.begin() + static_cast<long>(g0),
                   g.current_a.begin() + static_cast<long>(g1));
    const double rested_v = voltage_v[begin];
    for (std::size_t k = begin; k < end; ++k) {
        if (std::binary_search(mended.begin(), mended.end(), static_cast<long long>(k)))
            continue;
        if (k > begin && k < pulse_end)
            ++pulse_rows_;
        samples_.push_back(k);
        rows_.push_back(g.at_sample[k] - g0);
        const double ocv = flat_ocv ? rested_v : result.ocv(result.soc[k]);
        const double base = baseline_v.empty() ? 0.0 : baseline_v[k - begin];
        target_.push_back(voltage_v[k] - ocv - base);
        time_.push_back(g.time_s[g.at_sample[k]]);
        current_.push_back(g.current_a[g.at_sample[k]]);
    }
}

void PulseWindow::simulate_grid(Span<const double> params, bool with_jac) const {
    const std::size_t pairs = (params.size() - 1) / 2;
    RcPair pair_values[2];
    for (std::size_t p = 0; p < pairs; ++p)
        pair_values[p] = {params[1 + 2 * p], params[2 + 2 * p]};
    y_all_.resize(grid_t_.size());
    jac_all_.resize(with_jac ? grid_t_.size() * params.size() : 0);
    rc_circuit_response(params[0], {pair_values, pairs}, grid_t_, grid_i_, y_all_,
                        jac_all_, kStepRtol);
}

void PulseWindow::simulate(Span<const double> params, Span<double> y,
                           Span<double> jac) const {
    const std::size_t columns = params.size();
    simulate_grid(params, !jac.empty());
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        y[r] = y_all_[rows_[r]];
        if (!jac.empty())
            for (std::size_t c = 0; c < columns; ++c)
                jac[r * columns + c] = jac_all_[rows_[r] * columns + c];
    }
}

void PulseWindow::residual(Span<const double> params, Span<const double> column_scale,
                           Span<double> r, Span<double> jac) const {
    const std::size_t columns = params.size();
    simulate_grid(params, !jac.empty());
    for (std::size_t k = 0; k < rows_.size(); ++k) {
        r[k] = y_all_[rows_[k]] - target_[k];
        if (jac.empty())
            continue;
        const double* from = &jac_all_[rows_[k] * columns];
        double* to = &jac[k * columns];
        for (std::size_t c = 0; c < columns; ++c)
            to[c] = from[c] * column_scale[c];
    }
}

PulseWindow fitted_window(const PulseTestResult& result, const PulseFit& fit) {
    return PulseWindow(result, result.voltage_v, fit.history, fit.begin,
                       result.segmentation.steps[fit.step].end, fit.end,
                       !result.gaps.empty(), fit.baseline_v);
}

} // namespace cellcore
