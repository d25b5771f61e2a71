// Each RC pair's voltage x obeys x' = -x/(R C) + u/C. With the current linear over a
// step of length h (first-order hold, as the records are modelled everywhere else),
// the step is integrated exactly:
//   x_{k+1} = a x_k + R (g0 u_k + g1 u_{k+1}),  a = exp(-z), z = h/(R C),
//   g1 = z phi2(-z) = (a - 1 + z)/z,  g0 = (1 - a) - g1,
// phi2 being the second phi function of exponential integrators. Differentiating the
// recursion gives the sensitivities of the discretised output exactly, propagated in
// the same loop:
//   s_{k+1} = a s_k + (da/dp) x_k + d(R g0)/dp u_k + d(R g1)/dp u_{k+1}.
// With dz/dR = -z/R and dz/dC = -z/C the coefficient derivatives reduce to
//   da/dR = a z/R,           da/dC = a z/C,
//   d(R g1)/dR = g1 - g0,    d(R g1)/dC = -(R/C) g0,
//   d(R g0)/dR = 2 g0 - z a, d(R g0)/dC = (R/C)(g0 - z a).
// For slow pairs (small z, the usual case at 1 s sampling) g0, g1, g1 - g0 and
// 2 g0 - z a are all differences of nearly equal terms, so below z = 1 they are summed
// from their power series instead; above it the closed forms through expm1 lose at
// most a few bits. Coefficients are recomputed only when the step length changes by
// more than a relative 1e-9: a record sampled every 0.1 s has times that are not
// multiples of 0.1 in binary, so nearly every step differs from the last by a rounding
// (1e-13 relative at 70 s, 1e-10 at 1e5 s). Such a step taken with the neighbour's
// coefficients is off by a time error far below any logger's resolution, and the
// simulation costs a tenth as much.
#include "core/rc_circuit.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/errors.hpp"

namespace cellcore {
namespace {

// step lengths closer than this, relatively, share their coefficients
constexpr double kSameStepRtol = 1e-9;

/// The step coefficients of one pair for one step length.
struct StepCoefficients {
    double a = 0.0;  ///< exp(-z): decay of the pair voltage over the step
    double b0 = 0.0; ///< R g0: weight of the current at the step's start
    double b1 = 0.0; ///< R g1: weight of the current at the step's end
    double da_dr = 0.0, da_dc = 0.0;
    double db0_dr = 0.0, db0_dc = 0.0;
    double db1_dr = 0.0, db1_dc = 0.0;
};

/// g0, g1, g1 - g0 and 2 g0 - z a for z = h/tau > 0.
struct PhiTerms {
    double g0, g1, g1_minus_g0, two_g0_minus_za;
};

PhiTerms phi_terms(double z) {
    if (z < 1.0) {
        // With c_k = (-1)^k z^(k+1)/(k+2)!, over k >= 0:
        //   g1 = sum c_k, g0 = sum (k+1) c_k, g1 - g0 = -sum k c_k,
        //   2 g0 - z a = -sum k (k+1) c_k.
        // 1/27! is below 1e-28, so 25 terms reach full precision for z < 1; the sum
        // stops earlier once a term of the last two sums, which start at z^2/6, falls
        // below 1e-17 of that (after 4 terms for a pair of a minute at 0.1 s steps)
        double c = z / 2.0;
        PhiTerms p{0.0, 0.0, 0.0, 0.0};
        const double negligible = 1e-17 * z * z;
        for (int k = 0; k < 25; ++k) {
            const double kd = static_cast<double>(k);
            p.g1 += c;
            p.g0 += (kd + 1.0) * c;
            p.g1_minus_g0 -= kd * c;
            p.two_g0_minus_za -= kd * (kd + 1.0) * c;
            if (k >= 2 && std::fabs(kd * (kd + 1.0) * c) <= negligible)
                break;
            c *= -z / (kd + 3.0);
        }
        return p;
    }
    const double a = std::exp(-z);
    const double one_minus_a = -std::expm1(-z);
    const double g1 = 1.0 - one_minus_a / z;
    const double g0 = one_minus_a - g1;
    return {g0, g1, g1 - g0, 2.0 * g0 - z * a};
}

StepCoefficients step_coefficients(const RcPair& pair, double h) {
    const double r = pair.r_ohm, c = pair.c_f;
    const double z = h / (r * c);
    const PhiTerms p = phi_terms(z);
    StepCoefficients s;
    s.a = std::exp(-z);
    s.b0 = r * p.g0;
    s.b1 = r * p.g1;
    s.da_dr = s.a * z / r;
    s.da_dc = s.a * z / c;
    s.db1_dr = p.g1_minus_g0;
    s.db1_dc = -(r / c) * p.g0;
    s.db0_dr = p.two_g0_minus_za;
    // g0 - z a from the two terms already formed: below z = 1 they have opposite
    // signs, so the difference keeps their precision
    s.db0_dc = (r / c) * (p.two_g0_minus_za - p.g0);
    return s;
}

void check_arguments(double r0_ohm, Span<const RcPair> pairs, Span<const double> t,
                     Span<const double> u, Span<double> y, Span<double> jac) {
    const std::size_t n = t.size();
    if (n == 0)
        throw cellcore::InputError("rc circuit: t is empty");
    if (u.size() != n || y.size() != n)
        throw cellcore::InputError("rc circuit: t has " + std::to_string(n) +
                                   " samples, u " + std::to_string(u.size()) +
                                   " and y " + std::to_string(y.size()));
    const std::size_t columns = 1 + 2 * pairs.size();
    if (!jac.empty() && jac.size() != n * columns)
        throw cellcore::InputError("rc circuit: jac has room for " +
                                   std::to_string(jac.size()) + " values, expected " +
                                   std::to_string(n) + " x " + std::to_string(columns));
    if (!std::isfinite(r0_ohm))
        throw cellcore::InputError("rc circuit: R0 is not finite");
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const double r = pairs[p].r_ohm, c = pairs[p].c_f;
        if (!(r > 0.0 && c > 0.0 && std::isfinite(r) && std::isfinite(c)))
            throw cellcore::InputError("rc circuit: pair " + std::to_string(p + 1) +
                                       " needs a positive finite R and C");
    }
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double h = t[k + 1] - t[k];
        if (!(h > 0.0 && std::isfinite(h)))
            throw cellcore::InputError(
                "rc circuit: t must be finite and strictly increasing; it is not at "
                "index " +
                std::to_string(k + 1));
    }
}

} // namespace

void rc_circuit_response(double r0_ohm, Span<const RcPair> pairs, Span<const double> t,
                         Span<const double> u, Span<double> y, Span<double> jac) {
    rc_circuit_response(r0_ohm, pairs, t, u, y, jac, kSameStepRtol);
}

void rc_circuit_response(double r0_ohm, Span<const RcPair> pairs, Span<const double> t,
                         Span<const double> u, Span<double> y, Span<double> jac,
                         double step_rtol) {
    check_arguments(r0_ohm, pairs, t, u, y, jac);
    const std::size_t n = t.size(), np = pairs.size(), columns = 1 + 2 * np;
    const bool with_jac = !jac.empty();
    std::vector<double> x(np, 0.0), s_r(np, 0.0), s_c(np, 0.0);
    std::vector<StepCoefficients> coef(np);
    double h_coef = -1.0; // no step length yet

    y[0] = r0_ohm * u[0];
    if (with_jac) {
        jac[0] = u[0];
        for (std::size_t j = 1; j < columns; ++j)
            jac[j] = 0.0;
    }
    for (std::size_t k = 1; k < n; ++k) {
        const double h = t[k] - t[k - 1];
        if (std::fabs(h - h_coef) > step_rtol * h) {
            for (std::size_t p = 0; p < np; ++p)
                coef[p] = step_coefficients(pairs[p], h);
            h_coef = h;
        }
        const double u0 = u[k - 1], u1 = u[k];
        double out = r0_ohm * u1;
        double* row = with_jac ? &jac[k * columns] : nullptr;
        if (with_jac)
            row[0] = u1;
        for (std::size_t p = 0; p < np; ++p) {
            const StepCoefficients& s = coef[p];
            if (with_jac) {
                // from the state before the step: the derivative of a x_k needs x_k
                s_r[p] = s.a * s_r[p] + s.da_dr * x[p] + s.db0_dr * u0 + s.db1_dr * u1;
                s_c[p] = s.a * s_c[p] + s.da_dc * x[p] + s.db0_dc * u0 + s.db1_dc * u1;
                row[1 + 2 * p] = s_r[p];
                row[2 + 2 * p] = s_c[p];
            }
            x[p] = s.a * x[p] + s.b0 * u0 + s.b1 * u1;
            out += x[p];
        }
        y[k] = out;
    }
}

} // namespace cellcore
