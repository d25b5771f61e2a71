// One step of the bounded least-squares solver: the linear model of the residuals
// around the current parameters, and the step that lowers it most inside the trust
// region and the parameter box. A circuit fit has at most a handful of parameters, so
// the m residuals are first reduced to an n x n triangle; every trial step of the
// iteration then costs only n x n work, however long the pulse. The triangle comes
// from the normal equations when the Jacobian's columns are clearly independent (one
// pass over the Jacobian, which the solver makes anyway) and from a QR factorisation,
// which keeps every digit, when they are not.
#pragma once

#include <cstddef>
#include <vector>

#include "core/span.hpp"

namespace cellcore {

/// The Gauss-Newton model of the residuals in scaled steps y = D dx: after the step the
/// cost is 0.5 |R y + c|^2 plus a constant the step cannot change.
struct LinearModel {
    std::size_t n = 0;
    std::vector<double> r; ///< n x n, upper triangular, row-major
    std::vector<double> c; ///< n
};

/// The model from the normal equations: gram = J^T J (n x n, row-major, the upper
/// triangle is read) and jtr = J^T r of the unscaled Jacobian, the columns of J to be
/// divided by scale (n positive entries), by Cholesky factorisation. Returns false and
/// leaves model alone when the columns of J are too close to dependent for the normal
/// equations to keep the digits a step needs; reduce_to_model then takes over.
bool model_from_gram(Span<const double> gram, Span<const double> jtr,
                     Span<const double> scale, LinearModel& model);

/// The model by Householder QR of the m x n Jacobian (row-major) with its columns
/// divided by scale (n positive entries), and the m residuals. Any m >= 1.
LinearModel reduce_to_model(Span<const double> jac, Span<const double> residual,
                            Span<const double> scale);

/// The decrease 0.5 (|c|^2 - |R y + c|^2) of the model's cost for the scaled step y
/// (n).
double predicted_reduction(const LinearModel& model, Span<const double> y);

/// The scaled step y (n) that lowers the model most with |y| <= radius and
/// lower <= y <= upper (lower <= 0 <= upper, entries may be infinite), y_j = 0 where
/// held[j]. gradient is the model's gradient R^T c, exactly or as J^T r / D. Variables
/// that the unconstrained step would push out of the box are set on their bound and
/// the rest solved again; the result is never worse than the projected steepest
/// descent (Cauchy) step, which keeps the iteration converging.
std::vector<double> bounded_step(const LinearModel& model, Span<const double> gradient,
                                 Span<const double> lower, Span<const double> upper,
                                 const std::vector<bool>& held, double radius);

} // namespace cellcore
