// The pulse resistance battery test manuals quote for a current pulse: the voltage
// change from the rested voltage just before the pulse to the voltage a given time
// into it, over the current step. At 1 s it holds the ohmic and charge-transfer drop,
// at 10 s (the figure HPPC manuals tabulate) part of the diffusion too, and at the
// pulse's end all the polarisation the pulse built up. Read from the measured voltage,
// it needs no fitted circuit, so it checks the fits as well as describing the cell.
#pragma once

#include <limits>

#include "core/span.hpp"

namespace cellcore {

/// A pulse of a record: when it starts (its step change, or its first sample) and ends
/// (where the next step starts), in s, and its mean current (A, discharge negative).
struct PulseSpan {
    double start_s = 0.0, end_s = 0.0, current_a = 0.0;
};

/// dV/dI (ohm) at 1 s, 10 s and at the pulse's last sample; NaN where not defined.
struct PulseResistance {
    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    double r_1s_ohm = kNaN, r_10s_ohm = kNaN, r_end_ohm = kNaN;
};

/// dV/dI (ohm) at after_s into the pulse: the voltage then, interpolated linearly
/// between the pulse's samples (those at or after start_s and before end_s), minus
/// the voltage of the last sample before start_s, over the pulse's current minus that
/// sample's current. Positive for a cell whose voltage follows its current. A pulse
/// that lasts after_s but whose last sample comes earlier reads that sample. NaN when
/// the pulse is shorter than after_s, when no sample of it comes at or before after_s
/// (a sparse log), when no sample precedes it, or when the current does not step.
/// time_s increasing; the three spans of one length.
double pulse_resistance_at(Span<const double> time_s, Span<const double> voltage_v,
                           Span<const double> current_a, const PulseSpan& pulse,
                           double after_s);

/// The pulse's resistance at 1 s, 10 s and at its last sample.
PulseResistance pulse_resistance(Span<const double> time_s,
                                 Span<const double> voltage_v,
                                 Span<const double> current_a, const PulseSpan& pulse);

} // namespace cellcore
