// Time response of a linear single-input, single-output system given as a transfer
// function, by exact discretisation of a piecewise-linear input (first-order hold).
#pragma once

#include "core/span.hpp"

namespace cellcore {

/// Simulates num(s)/den(s) (coefficients in descending powers of s, deg num <= deg den,
/// den[0] != 0) driven by u, linear between samples, starting from state x0 (empty:
/// zero) at t[0]. Fills y (n outputs at the times t) and, when x is non-empty, x (n
/// rows of the state, row-major, in the controllable canonical coordinates of scipy's
/// tf2ss). t, u and y have n >= 1 entries; t strictly increasing. Throws
/// std::invalid_argument.
void lsim_foh(Span<const double> num, Span<const double> den, Span<const double> t,
              Span<const double> u, Span<const double> x0, Span<double> y,
              Span<double> x);

/// The state dimension lsim_foh uses for this denominator (leading zeros stripped).
std::size_t lsim_order(Span<const double> num, Span<const double> den);

} // namespace cellcore
