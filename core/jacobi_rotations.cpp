#include "core/jacobi_rotations.hpp"

#include <cmath>
#include <limits>

namespace cellcore {

double dot4(const double* x, const double* y, std::size_t len) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        s0 += x[i] * y[i];
        s1 += x[i + 1] * y[i + 1];
        s2 += x[i + 2] * y[i + 2];
        s3 += x[i + 3] * y[i + 3];
    }
    for (; i < len; ++i)
        s0 += x[i] * y[i];
    return (s0 + s1) + (s2 + s3);
}

void orthogonalise_columns(std::vector<double>& a, std::size_t rows, std::size_t k,
                           std::vector<double>& v) {
    constexpr double eps = std::numeric_limits<double>::epsilon();
    for (int sweep = 0; sweep < 60; ++sweep) {
        bool rotated = false;
        for (std::size_t i = 0; i + 1 < k; ++i) {
            for (std::size_t j = i + 1; j < k; ++j) {
                double* ai = &a[i * rows];
                double* aj = &a[j * rows];
                const double alpha = dot4(ai, ai, rows), beta = dot4(aj, aj, rows);
                const double gamma = dot4(ai, aj, rows);
                if (std::fabs(gamma) <= eps * std::sqrt(alpha * beta))
                    continue;
                rotated = true;
                const double zeta = (beta - alpha) / (2.0 * gamma);
                const double t = std::copysign(1.0, zeta) /
                                 (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
                const double c = 1.0 / std::sqrt(1.0 + t * t), s = c * t;
                for (std::size_t r = 0; r < rows; ++r) {
                    const double x = ai[r], y = aj[r];
                    ai[r] = c * x - s * y;
                    aj[r] = s * x + c * y;
                }
                for (std::size_t r = 0; r < k; ++r) {
                    const double x = v[i * k + r], y = v[j * k + r];
                    v[i * k + r] = c * x - s * y;
                    v[j * k + r] = s * x + c * y;
                }
            }
        }
        if (!rotated)
            return;
    }
}

} // namespace cellcore
