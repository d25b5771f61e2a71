// How well a least-squares fit pins its parameters down: the standard errors from the
// Jacobian at the solution. A two-RC fit of a short or noisy record can match the
// voltage with a slow pair it barely sees; its standard errors tell the user so.
#pragma once

#include "core/span.hpp"

namespace cellcore {

/// Standard errors of p fitted parameters: sqrt of the diagonal of s^2 (J^T J)^-1 with
/// s^2 = sum(residual^2) / (m - p). jac is the m x p Jacobian of the residuals at the
/// solution, row-major; residual has m > p entries, out p. A parameter the data
/// cannot determine (J^T J singular in a direction it takes part in) gets +inf.
/// Throws std::invalid_argument.
void parameter_std_errors(Span<const double> jac, Span<const double> residual,
                          Span<double> out);

} // namespace cellcore
