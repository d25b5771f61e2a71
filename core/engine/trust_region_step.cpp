// The trust-region subproblem min |A z + b| with |z| <= radius is solved through the
// singular value decomposition of the small matrix A (one-sided Jacobi rotations, exact
// to the last digits for a few columns): with A = U S V^T every step along the
// Levenberg-Marquardt path is z(lambda) = -V S/(S^2 + lambda) U^T b, so the damping
// that puts the step on the region's edge is found by a scalar Newton iteration on
// 1/|z(lambda)| (nearly linear in lambda, so it converges in a few steps, from below,
// never overshooting). Directions with a singular value at the rounding level of the
// largest are left out: the data cannot move them, and a step along them would only
// follow rounding noise. Bounds are met by fixing the variables that leave the box on
// their bound and solving again for the others, at most once per variable.
#include "core/engine/trust_region_step.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/jacobi_rotations.hpp"

namespace cellcore {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Below this, a pivot of the Cholesky factorisation of the normalised Gram matrix (the
// squared sine of the angle between a column and the span of the ones before it) says
// the normal equations would lose more than half the digits of the step.
constexpr double kMinGramPivot = 1e-8;

/// min |A z + b| over |z| <= radius, A rows x k column-major (consumed), b of length
/// rows.
std::vector<double> trust_region_solution(std::vector<double> a, std::size_t rows,
                                          std::size_t k, const std::vector<double>& b,
                                          double radius) {
    std::vector<double> v(k * k, 0.0);
    for (std::size_t i = 0; i < k; ++i)
        v[i * k + i] = 1.0;
    orthogonalise_columns(a, rows, k, v);
    // column i of the rotated A is sigma_i u_i, so a_i . b = sigma_i (U^T b)_i
    std::vector<double> s2(k), sb(k);
    double s2_max = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        s2[i] = dot4(&a[i * rows], &a[i * rows], rows);
        sb[i] = dot4(&a[i * rows], b.data(), rows);
        s2_max = std::max(s2_max, s2[i]);
    }
    const double tiny = static_cast<double>(std::max(rows, k)) * kEps;
    for (std::size_t i = 0; i < k; ++i) {
        if (!(s2[i] > tiny * tiny * s2_max)) // singular value lost in rounding
            sb[i] = 0.0;
    }
    auto step_norm = [&](double lambda) {
        double sum = 0.0;
        for (std::size_t i = 0; i < k; ++i) {
            if (sb[i] != 0.0)
                sum += std::pow(sb[i] / (s2[i] + lambda), 2);
        }
        return std::sqrt(sum);
    };
    double lambda = 0.0, norm = step_norm(0.0);
    for (int it = 0; it < 40 && norm > 1.01 * radius; ++it) {
        double slope = 0.0; // d(1/|z|)/d(lambda)
        for (std::size_t i = 0; i < k; ++i) {
            if (sb[i] != 0.0)
                slope += sb[i] * sb[i] / std::pow(s2[i] + lambda, 3);
        }
        slope /= norm * norm * norm;
        lambda += (1.0 / radius - 1.0 / norm) / slope;
        norm = step_norm(lambda);
    }
    const double shrink = norm > radius ? radius / norm : 1.0;
    std::vector<double> z(k, 0.0);
    for (std::size_t i = 0; i < k; ++i) {
        if (sb[i] == 0.0)
            continue;
        const double coef = -shrink * sb[i] / (s2[i] + lambda);
        for (std::size_t r = 0; r < k; ++r)
            z[r] += coef * v[i * k + r];
    }
    return z;
}

/// The minimum of the model along the projected steepest descent, inside the region
/// and the box.
std::vector<double> cauchy_step(const LinearModel& model, Span<const double> gradient,
                                Span<const double> lower, Span<const double> upper,
                                const std::vector<bool>& held, double radius) {
    const std::size_t n = model.n;
    std::vector<double> d(n, 0.0);
    for (std::size_t j = 0; j < n; ++j)
        d[j] = held[j] ? 0.0 : -gradient[j];
    const double d2 = dot4(d.data(), d.data(), n);
    if (!(d2 > 0.0))
        return d;
    double rd2 = 0.0; // |R d|^2, the model's curvature along d
    for (std::size_t i = 0; i < n; ++i) {
        const double rd = dot4(&model.r[i * n + i], &d[i], n - i);
        rd2 += rd * rd;
    }
    double t = std::min(rd2 > 0.0 ? d2 / rd2 : kInf, radius / std::sqrt(d2));
    for (std::size_t j = 0; j < n; ++j) {
        if (d[j] < 0.0)
            t = std::min(t, lower[j] / d[j]);
        else if (d[j] > 0.0)
            t = std::min(t, upper[j] / d[j]);
    }
    for (double& dj : d)
        dj *= t;
    return d;
}

} // namespace

bool model_from_gram(Span<const double> gram, Span<const double> jtr,
                     Span<const double> scale, LinearModel& model) {
    const std::size_t n = scale.size();
    std::vector<double> norm(n), r(n * n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        norm[j] = std::sqrt(gram[j * n + j]);
        if (!(norm[j] > 0.0))
            return false;
    }
    // Cholesky factor of the Gram matrix of the unit-length columns, row by row
    for (std::size_t k = 0; k < n; ++k) {
        double pivot = 1.0;
        for (std::size_t i = 0; i < k; ++i)
            pivot -= r[i * n + k] * r[i * n + k];
        if (!(pivot >= kMinGramPivot))
            return false;
        r[k * n + k] = std::sqrt(pivot);
        for (std::size_t j = k + 1; j < n; ++j) {
            double v = gram[k * n + j] / (norm[k] * norm[j]);
            for (std::size_t i = 0; i < k; ++i)
                v -= r[i * n + k] * r[i * n + j];
            r[k * n + j] = v / r[k * n + k];
        }
    }
    // J / scale = (J / norm) (norm / scale): the same columns rescaled; then
    // R^T c = (J / scale)^T r by forward substitution
    std::vector<double> c(n);
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = 0; i <= j; ++i)
            r[i * n + j] *= norm[j] / scale[j];
        double v = jtr[j] / scale[j];
        for (std::size_t i = 0; i < j; ++i)
            v -= r[i * n + j] * c[i];
        c[j] = v / r[j * n + j];
    }
    model.n = n;
    model.r = std::move(r);
    model.c = std::move(c);
    return true;
}

LinearModel reduce_to_model(Span<const double> jac, Span<const double> residual,
                            Span<const double> scale) {
    const std::size_t m = residual.size(), n = scale.size();
    // rows beyond m (when m < n) are zero residuals: they leave the cost unchanged
    const std::size_t rows = std::max(m, n);
    std::vector<double> a(rows * n, 0.0), rhs(rows, 0.0), inv(n);
    for (std::size_t j = 0; j < n; ++j)
        inv[j] = 1.0 / scale[j];
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            a[j * rows + i] = jac[i * n + j] * inv[j];
        rhs[i] = residual[i];
    }
    LinearModel model;
    model.n = n;
    model.r.assign(n * n, 0.0);
    model.c.assign(n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
        double* col = &a[k * rows];
        const double norm = std::sqrt(dot4(col + k, col + k, rows - k));
        if (norm == 0.0)
            continue; // the diagonal stays zero: the column is dependent on the earlier
        const double alpha = col[k] >= 0.0 ? -norm : norm;
        col[k] -= alpha; // the reflector's vector, in place
        const double vv = dot4(col + k, col + k, rows - k);
        for (std::size_t j = k + 1; j < n; ++j) {
            double* other = &a[j * rows];
            const double f = 2.0 * dot4(col + k, other + k, rows - k) / vv;
            for (std::size_t i = k; i < rows; ++i)
                other[i] -= f * col[i];
        }
        const double f = 2.0 * dot4(col + k, &rhs[k], rows - k) / vv;
        for (std::size_t i = k; i < rows; ++i)
            rhs[i] -= f * col[i];
        col[k] = alpha;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j)
            model.r[i * n + j] = a[j * rows + i];
        model.c[i] = rhs[i];
    }
    return model;
}

double predicted_reduction(const LinearModel& model, Span<const double> y) {
    const std::size_t n = model.n;
    double before = 0.0, after = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double ri = dot4(&model.r[i * n + i], &y[i], n - i) + model.c[i];
        before += model.c[i] * model.c[i];
        after += ri * ri;
    }
    return 0.5 * (before - after);
}

std::vector<double> bounded_step(const LinearModel& model, Span<const double> gradient,
                                 Span<const double> lower, Span<const double> upper,
                                 const std::vector<bool>& held, double radius) {
    const std::size_t n = model.n;
    std::vector<double> y(n, 0.0);
    std::vector<bool> fixed = held;
    for (std::size_t pass = 0; pass <= n; ++pass) {
        std::vector<std::size_t> free;
        for (std::size_t j = 0; j < n; ++j) {
            if (!fixed[j])
                free.push_back(j);
        }
        // what the fixed variables' moves leave for the free ones
        std::vector<double> b = model.c;
        double radius2 = radius * radius;
        for (std::size_t j = 0; j < n; ++j) {
            if (!fixed[j] || y[j] == 0.0)
                continue;
            for (std::size_t i = 0; i <= j; ++i)
                b[i] += model.r[i * n + j] * y[j];
            radius2 -= y[j] * y[j];
        }
        if (free.empty() || !(radius2 > 0.0))
            break;
        std::vector<double> a(n * free.size());
        for (std::size_t f = 0; f < free.size(); ++f) {
            for (std::size_t i = 0; i < n; ++i)
                a[f * n + i] = model.r[i * n + free[f]];
        }
        const std::vector<double> z =
            trust_region_solution(std::move(a), n, free.size(), b, std::sqrt(radius2));
        bool clipped = false;
        for (std::size_t f = 0; f < free.size(); ++f) {
            const std::size_t j = free[f];
            if (z[f] < lower[j] || z[f] > upper[j]) {
                y[j] = z[f] < lower[j] ? lower[j] : upper[j];
                fixed[j] = true;
                clipped = true;
            }
        }
        if (!clipped) {
            for (std::size_t f = 0; f < free.size(); ++f)
                y[free[f]] = z[f];
            break;
        }
    }
    std::vector<double> cauchy =
        cauchy_step(model, gradient, lower, upper, held, radius);
    if (predicted_reduction(model, cauchy) > predicted_reduction(model, y))
        return cauchy;
    return y;
}

} // namespace cellcore
