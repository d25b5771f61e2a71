// The series resistance and RC pairs of an equivalent circuit simulated pair by pair,
// with the exact sensitivities of the output to every R and C carried along. A joint
// fit of all the circuit's parameters needs those derivatives at every solver step;
// differencing a transfer-function simulation for them would cost one more
// simulation per parameter and lose half the digits.
#pragma once

#include "core/span.hpp"

namespace cellcore {

/// One parallel resistor-capacitor pair: R in ohms, C in farads, both positive.
struct RcPair {
    double r_ohm;
    double c_f;
};

/// Voltage (V) that R0 in series with the RC pairs adds to the open-circuit voltage for
/// the current u (A), linear between the samples at the times t (s), every pair
/// discharged at t[0]: y = R0 u + the sum of the pair voltages. t, u and y have the
/// same n >= 1 entries, t strictly increasing. When jac is non-empty it receives the
/// n x (1 + 2 pairs) derivatives of y, row-major, columns dy/dR0 then dy/dR and dy/dC
/// of each pair in order. Throws std::invalid_argument.
void rc_circuit_response(double r0_ohm, Span<const RcPair> pairs, Span<const double> t,
                         Span<const double> u, Span<double> y, Span<double> jac);

/// As above with a chosen step_rtol: a step whose length is within step_rtol (relative)
/// of the previous one reuses its coefficients. Logged times rounded to the millisecond
/// make every 0.1 s step differ in its last bits, and recomputing the exponentials for
/// each would cost most of the simulation; the version above uses 1e-9, which moves
/// the output by about 1e-11 relative. 0 recomputes whenever a step differs.
void rc_circuit_response(double r0_ohm, Span<const RcPair> pairs, Span<const double> t,
                         Span<const double> u, Span<double> y, Span<double> jac,
                         double step_rtol);

} // namespace cellcore
