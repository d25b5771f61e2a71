// A trust-region Levenberg-Marquardt iteration on a box. Each iteration takes the
// Jacobian of the residuals, scales its columns (by their norms, the largest seen so
// far, as in MINPACK, so that ohms and farads weigh alike; or by the caller's sizes)
// and reduces the problem to an n x n triangle (trust_region_step). A parameter on a
// bound whose gradient points out of the box is held there for the step; the others
// take the bounded trust-region step. The step is tried: a trial whose residual or
// Jacobian is not finite (a time constant overflowing, a resistance through zero) is
// rejected like one that raises the cost, and the region shrinks. The radius is then
// updated from the ratio of the actual to the predicted cost decrease, and the
// stopping tests are those of scipy's least_squares: the gradient (here as the cosine
// between each free column and the residual, which has no units), the relative cost
// decrease of a trusted step, and the relative size of the scaled step (tested before
// the trial: a step too small to matter is not worth an evaluation). Every trial
// is evaluated with its Jacobian: most trials are accepted, and the circuit simulator
// gives both in one pass for less than two residuals cost.
#include "core/engine/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/engine/trust_region_step.hpp"
#include "core/errors.hpp"
#include "core/fit_uncertainty.hpp"
#include "core/number_text.hpp"

namespace cellcore {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
// a parameter this close to a bound, relative to the bound, sits on it; the solver
// itself puts a parameter exactly on a bound it runs into
constexpr double kOnBoundRtol = 1e-10;

/// A point of the iteration: parameters, residuals, Jacobian, cost, and the Gram
/// matrix J^T J (upper triangle, row-major) and gradient J^T r.
struct Point {
    std::vector<double> x, r, jac, gram, jtr;
    double cost = 0.0;

    Point(std::vector<double> x0, std::size_t m)
        : x(std::move(x0)), r(m), jac(m * x.size()), gram(x.size() * x.size()),
          jtr(x.size()) {}
};

bool positive_finite(double v) { return v > 0.0 && v < kInf; }

void check_arguments(std::size_t m, const std::vector<double>& x0,
                     const std::vector<double>& lower, const std::vector<double>& upper,
                     const LsqOptions& options) {
    const std::size_t n = x0.size();
    if (n == 0 || m == 0)
        throw cellcore::InputError("least squares: needs at least one parameter and "
                                   "one residual, got " +
                                   std::to_string(n) + " and " + std::to_string(m));
    if (lower.size() != n || upper.size() != n)
        throw cellcore::InputError("least squares: x0 has " + std::to_string(n) +
                                   " parameters, lower " +
                                   std::to_string(lower.size()) + " and upper " +
                                   std::to_string(upper.size()));
    for (std::size_t j = 0; j < n; ++j) {
        if (!std::isfinite(x0[j]))
            throw cellcore::InputError("least squares: x0[" + std::to_string(j) +
                                       "] is " + float_repr(x0[j]));
        if (!(lower[j] <= upper[j]) || lower[j] == kInf || upper[j] == -kInf)
            throw cellcore::InputError("least squares: parameter " + std::to_string(j) +
                                       " has bounds [" + float_repr(lower[j]) + ", " +
                                       float_repr(upper[j]) + "]");
    }
    if (options.max_evaluations < 1 || !(options.xtol >= 0.0) ||
        !(options.ftol >= 0.0) || !(options.gtol >= 0.0))
        throw cellcore::InputError("least squares: max_evaluations must be positive "
                                   "and the tolerances non-negative");
    const std::vector<double>& xs = options.x_scale;
    if (!xs.empty() &&
        (xs.size() != n || !std::all_of(xs.begin(), xs.end(), positive_finite)))
        throw cellcore::InputError("least squares: x_scale needs " + std::to_string(n) +
                                   " positive finite sizes");
}

/// Adds the rows of the m x N Jacobian into gram (upper triangle) and jtr, and returns
/// sum(r^2). N known at compile time keeps the N (N + 3) / 2 running sums in registers.
template <std::size_t N>
double gather_rows(const double* jac, const double* r, std::size_t m, double* gram,
                   double* jtr) {
    double g[N][N] = {}, b[N] = {}, sum = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double* row = jac + i * N;
        sum += r[i] * r[i];
        for (std::size_t j = 0; j < N; ++j) {
            b[j] += row[j] * r[i];
            for (std::size_t l = j; l < N; ++l)
                g[j][l] += row[j] * row[l];
        }
    }
    for (std::size_t j = 0; j < N; ++j) {
        jtr[j] = b[j];
        for (std::size_t l = j; l < N; ++l)
            gram[j * N + l] = g[j][l];
    }
    return sum;
}

/// gather_rows for any n.
double gather_rows(const double* jac, const double* r, std::size_t m, std::size_t n,
                   double* gram, double* jtr) {
    switch (n) {
    case 1:
        return gather_rows<1>(jac, r, m, gram, jtr);
    case 2:
        return gather_rows<2>(jac, r, m, gram, jtr);
    case 3:
        return gather_rows<3>(jac, r, m, gram, jtr);
    case 4:
        return gather_rows<4>(jac, r, m, gram, jtr);
    case 5:
        return gather_rows<5>(jac, r, m, gram, jtr);
    case 6:
        return gather_rows<6>(jac, r, m, gram, jtr);
    case 7:
        return gather_rows<7>(jac, r, m, gram, jtr);
    default:
        break;
    }
    std::fill(gram, gram + n * n, 0.0);
    std::fill(jtr, jtr + n, 0.0);
    double sum = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double* row = jac + i * n;
        sum += r[i] * r[i];
        for (std::size_t j = 0; j < n; ++j) {
            jtr[j] += row[j] * r[i];
            for (std::size_t l = j; l < n; ++l)
                gram[j * n + l] += row[j] * row[l];
        }
    }
    return sum;
}

/// Fills p.r, p.jac, p.cost, p.gram and p.jtr at p.x; false when any is not finite.
bool evaluate(const ResidualFunction& f, Point& p) {
    f(Span<const double>(p.x), Span<double>(p.r), Span<double>(p.jac));
    // one pass over the rows gathers all the iteration needs from them; a non-finite
    // entry of J shows in the diagonal of J^T J
    const std::size_t n = p.x.size();
    p.cost = 0.5 * gather_rows(p.jac.data(), p.r.data(), p.r.size(), n, p.gram.data(),
                               p.jtr.data());
    bool finite = std::isfinite(p.cost);
    for (std::size_t j = 0; j < n; ++j)
        finite = finite && std::isfinite(p.gram[j * n + j]) && std::isfinite(p.jtr[j]);
    return finite;
}

/// Column norms of the Jacobian into norm; without x_scale, scale keeps the largest
/// seen (1 while a column has been zero throughout).
void update_scale(const Point& p, const LsqOptions& options, std::vector<double>& scale,
                  std::vector<double>& norm) {
    const std::size_t n = scale.size();
    for (std::size_t j = 0; j < n; ++j) {
        norm[j] = std::sqrt(p.gram[j * n + j]);
        if (!options.x_scale.empty())
            scale[j] = 1.0 / options.x_scale[j];
        else if (norm[j] > 0.0)
            scale[j] = std::max(scale[j], norm[j]);
        else if (scale[j] == 0.0)
            scale[j] = 1.0;
    }
}

/// Parameters on a bound whose descent direction (-g) leaves the box.
std::vector<bool> held_on_bounds(const std::vector<double>& x,
                                 const std::vector<double>& lower,
                                 const std::vector<double>& upper,
                                 const std::vector<double>& g) {
    std::vector<bool> held(x.size(), false);
    for (std::size_t j = 0; j < x.size(); ++j)
        held[j] =
            (x[j] <= lower[j] && g[j] >= 0.0) || (x[j] >= upper[j] && g[j] <= 0.0);
    return held;
}

/// True when every free column of J is within gtol of orthogonal to the residual.
bool gradient_converged(const Point& p, const std::vector<double>& norm,
                        const std::vector<bool>& held, double gtol) {
    const double r_norm = std::sqrt(2.0 * p.cost);
    if (r_norm == 0.0)
        return true;
    for (std::size_t j = 0; j < norm.size(); ++j) {
        if (!held[j] && std::fabs(p.jtr[j]) > gtol * norm[j] * r_norm)
            return false;
    }
    return true;
}

double norm2(const std::vector<double>& v) {
    double sum = 0.0;
    for (double vj : v)
        sum += vj * vj;
    return std::sqrt(sum);
}

/// x + y / scale, put exactly on a bound the scaled step y reaches (ylo, yhi being
/// the box in scaled steps), and never outside the box.
void take_step(const std::vector<double>& x, const std::vector<double>& y,
               const std::vector<double>& scale, const std::vector<double>& ylo,
               const std::vector<double>& yhi, const std::vector<double>& lower,
               const std::vector<double>& upper, std::vector<double>& out) {
    for (std::size_t j = 0; j < x.size(); ++j) {
        if (y[j] <= ylo[j])
            out[j] = lower[j];
        else if (y[j] >= yhi[j])
            out[j] = upper[j];
        else
            out[j] = std::clamp(x[j] + y[j] / scale[j], lower[j], upper[j]);
    }
}

/// actual / predicted cost decrease, as scipy takes it when the prediction is not
/// positive.
double reduction_ratio(double actual, double predicted) {
    if (predicted > 0.0)
        return actual / predicted;
    return predicted == 0.0 && actual == 0.0 ? 1.0 : 0.0;
}

/// The first region: one characteristic size when the caller gives the sizes (the
/// start's distance from zero means nothing for logarithms), else as far as the start
/// is from zero, as MINPACK and scipy take it.
double first_radius(double x_norm, const LsqOptions& options) {
    if (!options.x_scale.empty() || !(x_norm > 0.0))
        return 1.0;
    return x_norm;
}

/// Trust-region iterations from the evaluated start cur until a stopping test holds.
LsqStatus iterate(const ResidualFunction& f, const std::vector<double>& lower,
                  const std::vector<double>& upper, const LsqOptions& options,
                  Point& cur, LsqResult& res) {
    const std::size_t n = cur.x.size();
    Point trial = cur;
    std::vector<double> scale(n, 0.0), norm(n), x_scaled(n), ylo(n), yhi(n);
    double radius = -1.0; // set at the first iteration, once the scales are known
    for (;;) {
        update_scale(cur, options, scale, norm);
        std::vector<double> g(n);
        for (std::size_t j = 0; j < n; ++j)
            g[j] = cur.jtr[j] / scale[j];
        const std::vector<bool> held = held_on_bounds(cur.x, lower, upper, g);
        if (gradient_converged(cur, norm, held, options.gtol))
            return LsqStatus::gtol;
        LinearModel model;
        if (!model_from_gram(cur.gram, cur.jtr, scale, model))
            model = reduce_to_model(cur.jac, cur.r, scale);
        for (std::size_t j = 0; j < n; ++j) {
            x_scaled[j] = cur.x[j] * scale[j];
            ylo[j] = (lower[j] - cur.x[j]) * scale[j];
            yhi[j] = (upper[j] - cur.x[j]) * scale[j];
        }
        const double x_norm = norm2(x_scaled);
        if (radius < 0.0)
            radius = first_radius(x_norm, options);
        for (;;) {
            if (res.evaluations >= options.max_evaluations)
                return LsqStatus::max_evaluations;
            const std::vector<double> y =
                bounded_step(model, g, ylo, yhi, held, radius);
            // a step below the tolerance cannot move x by more than the tolerance,
            // whatever its trial would give: x is the answer already
            const double y_norm = norm2(y);
            if (y_norm < options.xtol * (options.xtol + x_norm))
                return LsqStatus::xtol;
            take_step(cur.x, y, scale, ylo, yhi, lower, upper, trial.x);
            ++res.evaluations;
            ++res.jacobian_evaluations;
            const bool finite = evaluate(f, trial);
            const double actual = finite ? cur.cost - trial.cost : -kInf;
            const double ratio = reduction_ratio(actual, predicted_reduction(model, y));
            if (ratio < 0.25)
                radius = 0.25 * y_norm;
            else if (ratio > 0.75 && y_norm >= 0.95 * radius)
                radius *= 2.0;
            const bool accepted = finite && actual > 0.0 && ratio > 1e-4;
            const bool ftol_met = actual < options.ftol * cur.cost && ratio > 0.25;
            if (accepted) {
                std::swap(cur, trial);
                ++res.iterations;
            }
            if (ftol_met)
                return LsqStatus::ftol;
            if (accepted)
                break;
        }
    }
}

bool on_bound(double x, double bound) {
    return std::isfinite(bound) &&
           std::fabs(x - bound) <= kOnBoundRtol * std::fabs(bound);
}

int bound_side(double x, double lower, double upper) {
    if (on_bound(x, lower))
        return -1;
    return on_bound(x, upper) ? 1 : 0;
}

} // namespace

const char* status_name(LsqStatus status) {
    switch (status) {
    case LsqStatus::gtol:
        return "gtol";
    case LsqStatus::ftol:
        return "ftol";
    case LsqStatus::xtol:
        return "xtol";
    case LsqStatus::max_evaluations:
        return "max_evaluations";
    case LsqStatus::failed:
        break;
    }
    return "failed";
}

bool LsqResult::converged() const {
    return status == LsqStatus::gtol || status == LsqStatus::ftol ||
           status == LsqStatus::xtol;
}

LsqResult least_squares_bounded(const ResidualFunction& f, std::size_t m,
                                std::vector<double> x0,
                                const std::vector<double>& lower,
                                const std::vector<double>& upper,
                                const LsqOptions& options) {
    check_arguments(m, x0, lower, upper, options);
    const std::size_t n = x0.size();
    for (std::size_t j = 0; j < n; ++j)
        x0[j] = std::clamp(x0[j], lower[j], upper[j]);
    Point cur(std::move(x0), m);
    LsqResult res;
    res.evaluations = res.jacobian_evaluations = 1;
    if (evaluate(f, cur))
        res.status = iterate(f, lower, upper, options, cur, res);
    res.at_bound.resize(n);
    for (std::size_t j = 0; j < n; ++j)
        res.at_bound[j] = bound_side(cur.x[j], lower[j], upper[j]);
    res.std_error.assign(n, kNan);
    if (res.status != LsqStatus::failed && m > n)
        parameter_std_errors(cur.jac, cur.r, res.std_error);
    res.x = std::move(cur.x);
    res.residual = std::move(cur.r);
    res.jac = std::move(cur.jac);
    res.cost = cur.cost;
    return res;
}

} // namespace cellcore
