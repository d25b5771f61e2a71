// The bounded nonlinear least-squares solver behind every per-pulse circuit fit. A
// record holds tens of pulses, each fitted with a few parameters against hundreds to
// thousands of samples, so the whole fit runs natively on a residual function with an
// analytic Jacobian. Physical parameters live in a box (a resistance cannot be
// negative, a time constant cannot outlast the record), and a fit that ends on the
// edge of that box is not a measurement: the result says which parameters it holds.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "core/span.hpp"

namespace cellcore {

/// Fills r (m residuals) at x (n parameters) and, when jac is non-empty, jac (m x n,
/// row-major, dr_i/dx_j). A non-finite value marks x as outside the model's domain.
using ResidualFunction =
    std::function<void(Span<const double> x, Span<double> r, Span<double> jac)>;

/// How to measure steps and when to stop. Steps are measured as |D dx| with D either
/// the Jacobian's column norms (the largest seen so far), which makes the iteration
/// independent of the parameters' units, or 1 / x_scale; parameters that already share
/// a natural scale (logarithms of R and C) converge in fewer steps with x_scale = 1.
struct LsqOptions {
    int max_evaluations = 500; ///< residual evaluations, the first one included
    double xtol = 1e-10;       ///< stop when |D dx| < xtol (xtol + |D x|)
    double ftol = 1e-12;       ///< stop when a good step lowers the cost by < ftol cost
    double gtol = 1e-10;       ///< stop when each free column's cosine with r is < gtol
    std::vector<double> x_scale; ///< n positive sizes, or empty for the Jacobian's
};

enum class LsqStatus { gtol, ftol, xtol, max_evaluations, failed };

/// "gtol", "ftol", "xtol", "max_evaluations" or "failed".
const char* status_name(LsqStatus status);

struct LsqResult {
    std::vector<double> x;        ///< n parameters at the solution
    std::vector<double> residual; ///< m residuals at x
    std::vector<double> jac;      ///< m x n Jacobian at x, row-major
    double cost = 0.0;            ///< 0.5 sum(residual^2)
    int evaluations = 0;          ///< residual evaluations
    int jacobian_evaluations = 0; ///< of which also filled the Jacobian
    int iterations = 0;           ///< accepted steps
    LsqStatus status = LsqStatus::failed;
    std::vector<int> at_bound;     ///< per parameter: -1 lower, +1 upper, 0 inside
    std::vector<double> std_error; ///< standard errors at x; NaN when m <= n or failed
    /// True when a tolerance was met (not out of evaluations, not failed).
    bool converged() const;
};

/// Minimises 0.5 |r(x)|^2 subject to lower <= x <= upper (entries may be +-inf, equal
/// bounds fix a parameter) from x0, clipped into the box; f returns m >= 1 residuals.
/// A start whose residual is not finite gives status failed. Throws
/// std::invalid_argument on inconsistent sizes, bounds or options.
LsqResult least_squares_bounded(const ResidualFunction& f, std::size_t m,
                                std::vector<double> x0,
                                const std::vector<double>& lower,
                                const std::vector<double>& upper,
                                const LsqOptions& options = {});

} // namespace cellcore
