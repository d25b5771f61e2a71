// Fitting R0 and one or two RC pairs to one pulse. The start comes from the pulse
// itself: R0 from the voltage step at its start, the pair from the further drop and
// the time it takes to reach 63 % of it. The solver works on the logarithms of the
// parameters, so resistances of milliohms and capacitances of kilofarads are equally
// well scaled and stay positive; a two-pair fit starts from the one-pair result with
// the pair split into a fast and a slow one.
#pragma once

#include "core/engine/pulse_window.hpp"

namespace cellcore {

/// The solver's stopping tolerances for a pulse fit (in log-parameters).
inline constexpr double kXtol = 1e-8, kFtol = 1e-10, kGtol = 1e-8;

/// Fits the window's pulse. Fills the row's params, std_error, rms_mv and flags, and
/// the fit's step_r0_ohm and evaluations.
void fit_pulse(const PulseWindow& window, const PulseTestOptions& options,
               PulseFit& fit);

/// Where the solver starts: R0, R1, C1[, R2, C2] from the pulse's own shape.
std::vector<double> pulse_fit_start(const PulseWindow& window,
                                    const PulseTestOptions& options);

} // namespace cellcore
