// The covariance is formed from a singular value decomposition of the Jacobian rather
// than by inverting J^T J: the circuit's parameters differ by six orders of magnitude
// (ohms against farads) and the two pairs' columns are nearly parallel when their time
// constants are close, so J^T J would square an already large condition number. The
// columns are first scaled to unit length, which removes the units from the problem,
// and reduced to the triangle R of a Householder QR factorisation, which has their
// singular values and right singular vectors (so the m rows are passed over once, not
// once per sweep below); R is then orthogonalised by one-sided Jacobi rotations,
// accurate to the last digits for the handful of columns a circuit has. With
// J D^-1 = U S V^T the covariance is s^2 D^-1 V S^-2 V^T D^-1; a singular value at
// the rounding level of the largest marks a direction the data does not constrain.
#include "core/fit_uncertainty.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/jacobi_rotations.hpp"

namespace cellcore {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();

/// The p x p upper triangle R (column-major) of the QR factorisation of a (m x p,
/// column-major; overwritten), by Householder reflections.
std::vector<double> triangle_of(std::vector<double>& a, std::size_t m, std::size_t p) {
    // x . y over rows from..m-1
    auto dot = [m](const double* x, const double* y, std::size_t from) {
        return dot4(x + from, y + from, m - from);
    };

    for (std::size_t j = 0; j < p; ++j) {
        double* col = &a[j * m];
        const double norm = std::sqrt(dot(col, col, j));
        if (norm == 0.0)
            continue;
        const double alpha = col[j] >= 0.0 ? -norm : norm;
        col[j] -= alpha; // the reflector's vector, in place
        const double vv = dot(col, col, j);
        for (std::size_t l = j + 1; l < p; ++l) {
            double* other = &a[l * m];
            const double f = 2.0 * dot(col, other, j) / vv;
            for (std::size_t k = j; k < m; ++k)
                other[k] -= f * col[k];
        }
        col[j] = alpha;
    }
    std::vector<double> r(p * p, 0.0);
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t i = 0; i <= j; ++i)
            r[j * p + i] = a[j * m + i];
    }
    return r;
}

} // namespace

void parameter_std_errors(Span<const double> jac, Span<const double> residual,
                          Span<double> out) {
    const std::size_t m = residual.size(), p = out.size();
    if (p == 0 || m <= p)
        throw cellcore::InputError("std errors: " + std::to_string(m) +
                                   " residuals cannot judge " + std::to_string(p) +
                                   " parameters");
    if (jac.size() != m * p)
        throw cellcore::InputError("std errors: the Jacobian has " +
                                   std::to_string(jac.size()) + " entries, expected " +
                                   std::to_string(m) + " x " + std::to_string(p));
    double sum_sq = 0.0;
    for (double r : residual)
        sum_sq += r * r;
    const double s2 = sum_sq / static_cast<double>(m - p);

    // unit columns, stored column-major for the rotations
    std::vector<double> scale(p, 0.0), a(m * p), v(p * p, 0.0);
    for (std::size_t j = 0; j < p; ++j) {
        double norm2 = 0.0;
        for (std::size_t k = 0; k < m; ++k)
            norm2 += jac[k * p + j] * jac[k * p + j];
        scale[j] = std::sqrt(norm2);
        const double inv = scale[j] > 0.0 ? 1.0 / scale[j] : 0.0;
        for (std::size_t k = 0; k < m; ++k)
            a[j * m + k] = jac[k * p + j] * inv;
        v[j * p + j] = 1.0;
    }
    std::vector<double> r = triangle_of(a, m, p);
    orthogonalise_columns(r, p, p, v);

    std::vector<double> sigma(p);
    double sigma_max = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
        double norm2 = 0.0;
        for (std::size_t k = 0; k < p; ++k)
            norm2 += r[i * p + k] * r[i * p + k];
        sigma[i] = std::sqrt(norm2);
        sigma_max = std::max(sigma_max, sigma[i]);
    }
    // numpy's matrix_rank rule for a singular value lost in rounding
    const double tiny = sigma_max * static_cast<double>(m) * kEps;
    for (std::size_t j = 0; j < p; ++j) {
        if (!(scale[j] > 0.0)) {
            out[j] = kInf;
            continue;
        }
        double var = 0.0;
        for (std::size_t i = 0; i < p; ++i) {
            const double vji = v[i * p + j]; // row j of V, column i
            if (sigma[i] > tiny) {
                var += vji * vji / (sigma[i] * sigma[i]);
            } else if (vji * vji > kEps) { // an unconstrained direction moves it
                var = kInf;
                break;
            }
        }
        out[j] = std::sqrt(s2 * var) / scale[j];
    }
}

} // namespace cellcore
