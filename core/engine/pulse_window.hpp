// What a pulse fit compares: over the pulse and the rest after it, the measured voltage
// minus the open-circuit voltage against the voltage the circuit adds for the current.
// A pulse that follows another one closely, as the charge pulse of an HPPC block
// follows its discharge pulse 40 s later, starts from the polarisation the first one
// left: that decay (the baseline) is taken out of the measured voltage, and the
// circuit answers only the current from the window's start on. (The circuits of the
// two pulses differ, by direction and state of charge, so the decay follows the first
// pulse's own fit.)
#pragma once

#include <vector>

#include "core/engine/pulse_test.hpp"

namespace cellcore {

class PulseWindow {
  public:
    /// Simulates from sample history, compares over [begin, end) where the pulse
    /// ends at pulse_end. Rows the segmentation mended (logged at a step instant, their
    /// current or voltage on the wrong side of the step) are simulated through but not
    /// compared. With flat_ocv the OCV stays at the voltage of sample begin, else it
    /// follows the OCV curve through the counted SOC. baseline_v (empty, or one value
    /// per sample of [begin, end)) is subtracted from the measured voltage.
    PulseWindow(const PulseTestResult& result, Span<const double> voltage_v,
                std::size_t history, std::size_t begin, std::size_t pulse_end,
                std::size_t end, bool flat_ocv, Span<const double> baseline_v = {});

    std::size_t size() const { return target_.size(); }
    /// Compared rows inside the pulse; row 0 is the last sample before it.
    std::size_t pulse_rows() const { return pulse_rows_; }
    /// Record sample of each compared row.
    const std::vector<std::size_t>& samples() const { return samples_; }
    /// The simulation grid (time s, current A) and each compared row's index in it.
    const std::vector<double>& grid_time_s() const { return grid_t_; }
    const std::vector<double>& grid_current_a() const { return grid_i_; }
    const std::vector<std::size_t>& grid_rows() const { return rows_; }
    /// Measured voltage minus OCV (V) at the compared samples.
    const std::vector<double>& target() const { return target_; }
    const std::vector<double>& time_s() const { return time_; }
    const std::vector<double>& current_a() const { return current_; }

    /// The circuit's voltage y (size()) at the compared samples for R0 and the pairs
    /// (params = R0, R1, C1[, R2, C2]); with jac non-empty also dy/dparams, size() x
    /// params, row-major.
    void simulate(Span<const double> params, Span<double> y, Span<double> jac) const;

    /// The fit's residual, simulated minus target, in one pass: r (size()) and, with
    /// jac non-empty, the Jacobian with column c times column_scale[c] (p d/dp is the
    /// derivative with respect to log p).
    void residual(Span<const double> params, Span<const double> column_scale,
                  Span<double> r, Span<double> jac) const;

  private:
    /// The circuit over the whole grid into y_all_ (and jac_all_).
    void simulate_grid(Span<const double> params, bool with_jac) const;

    std::vector<double> grid_t_, grid_i_; ///< the hold grid from history on
    std::vector<std::size_t> rows_;       ///< grid index of each compared sample
    std::vector<std::size_t> samples_;
    std::size_t pulse_rows_ = 0;
    std::vector<double> target_, time_, current_;
    mutable std::vector<double> y_all_, jac_all_;
};

/// The window a pulse of the result was fitted over.
PulseWindow fitted_window(const PulseTestResult& result, const PulseFit& fit);

} // namespace cellcore
