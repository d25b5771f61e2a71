// One-sided Jacobi rotations: the singular value decomposition of the few columns a
// circuit fit has (three to five), exact to the last digits. The solver's trust-region
// step and the standard errors of a fit both take their singular values from here.
#pragma once

#include <cstddef>
#include <vector>

namespace cellcore {

/// x . y over len entries, in four partial sums (a single chain of dependent additions
/// over a long column takes four times as long).
double dot4(const double* x, const double* y, std::size_t len);

/// Rotates the columns of a (rows x k, column-major) until they are mutually
/// orthogonal, applying the same rotations to v (k x k, column-major, starts as the
/// identity). Column i then is sigma_i u_i, and v holds the right singular vectors.
void orthogonalise_columns(std::vector<double>& a, std::size_t rows, std::size_t k,
                           std::vector<double>& v);

} // namespace cellcore
