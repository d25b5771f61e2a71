// Time response of a transfer function to a sampled input. The RC equivalent circuits
// give the voltage a cell adds to its open-circuit voltage as the current filtered by
// R0 + R1/(1 + R1 C1 s) (+ R2/(1 + R2 C2 s)); the fitting solver evaluates that filter
// thousands of times per pulse, so it has to be both fast and exact.
//
// The current is linear between samples (first-order hold), so each step of length h
// is integrated exactly: x_{k+1} = Phi x_k + G1 u_k + G2 u_{k+1}. With the phi
// functions phi_0 = exp, phi_{k+1}(z) = (phi_k(z) - 1/k!)/z, Phi = phi_0(Ah),
// G1 + G2 = h phi_1(Ah) B and G2 = h phi_2(Ah) B. Orders 1 and 2 (the circuits) take
// closed forms in the poles: series where 1 - e^-x would cancel and divided
// differences that never divide by the gap between poles, so stiff, equal and complex
// poles keep full precision for a few exp calls. Higher orders take a Pade exponential
// of the augmented matrix [[Ah, Bh, 0], [0, 0, 1], [0, 0, 0]]. The step matrices of
// the last few step lengths are cached: records are mostly evenly sampled.
#include "core/lsim.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/errors.hpp"

namespace cellcore {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// 1/k! for k = 0..24.
constexpr std::array<double, 25> kInvFactorial = [] {
    std::array<double, 25> f{};
    double v = 1.0;
    for (std::size_t k = 0; k < f.size(); ++k) {
        if (k > 0)
            v /= static_cast<double>(k);
        f[k] = v;
    }
    return f;
}();

// The system in scipy's tf2ss controllable canonical form.

/// x' = A x + e1 u, y = c.x + d u, where A has first row -a and ones below the
/// diagonal.
struct Canonical {
    std::vector<double> a; ///< den[1:] / den[0]; its length is the order
    std::vector<double> c; ///< num[1:] - num[0] den[1:], over den[0]
    double d = 0.0;        ///< num[0] / den[0], the direct feed-through
    std::size_t order() const { return a.size(); }
};

/// p without its leading zeros; keeps the last coefficient even when it is zero.
Span<const double> strip_leading_zeros(Span<const double> p) {
    std::size_t k = 0;
    while (k + 1 < p.size() && p[k] == 0.0)
        ++k;
    return {p.ptr + k, p.size() - k};
}

bool all_finite(Span<const double> v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

/// The denominator without leading zeros, after checking num/den form a proper system.
/// Non-finite coefficients pass (their response is all NaN): a solver that steps
/// into inf * 0 must get NaN back, not an exception.
Span<const double> proper_denominator(Span<const double> num, Span<const double> den) {
    if (num.empty() || den.empty())
        throw cellcore::InputError("lsim: num and den need at least one coefficient");
    const Span<const double> dn = strip_leading_zeros(den);
    if (dn[0] == 0.0)
        throw cellcore::InputError("lsim: the denominator is all zero");
    const std::size_t num_len = strip_leading_zeros(num).size();
    if (num_len > dn.size() && all_finite(num) && all_finite(den))
        throw cellcore::InputError(
            "lsim: improper transfer function: numerator degree " +
            std::to_string(num_len - 1) + " exceeds denominator degree " +
            std::to_string(dn.size() - 1));
    return dn;
}

/// For finite, proper num and den.
Canonical realise(Span<const double> num, Span<const double> den) {
    const Span<const double> dn = proper_denominator(num, den);
    const Span<const double> nm = strip_leading_zeros(num);
    const std::size_t n = dn.size() - 1;
    // numerator right-aligned against the denominator: padded[j] pairs with dn[j]
    std::vector<double> padded(n + 1, 0.0);
    std::copy(nm.begin(), nm.end(),
              padded.end() - static_cast<std::ptrdiff_t>(nm.size()));
    Canonical sys;
    sys.d = padded[0] / dn[0];
    sys.a.resize(n);
    sys.c.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        sys.a[j] = dn[j + 1] / dn[0];
        sys.c[j] = (padded[j + 1] - padded[0] * dn[j + 1] / dn[0]) / dn[0];
    }
    return sys;
}

/// Finite num and den can still overflow when scaled by a tiny den[0].
bool all_finite(const Canonical& sys) {
    return all_finite(sys.a) && all_finite(sys.c) && std::isfinite(sys.d);
}

// Argument checks, all made before any output is written.

void check_lengths(std::size_t order, Span<const double> t, Span<const double> u,
                   Span<const double> x0, Span<double> y, Span<double> x) {
    const std::size_t n = t.size();
    if (n == 0)
        throw cellcore::InputError("lsim: t is empty");
    if (u.size() != n)
        throw cellcore::InputError("lsim: t has " + std::to_string(n) +
                                   " samples but u has " + std::to_string(u.size()));
    if (y.size() != n)
        throw cellcore::InputError("lsim: y has room for " + std::to_string(y.size()) +
                                   " outputs, t has " + std::to_string(n) + " samples");
    if (!x0.empty() && x0.size() != order)
        throw cellcore::InputError("lsim: x0 has " + std::to_string(x0.size()) +
                                   " entries, the system order is " +
                                   std::to_string(order));
    if (!x.empty() && x.size() != n * order)
        throw cellcore::InputError("lsim: x has room for " + std::to_string(x.size()) +
                                   " values, expected " + std::to_string(n) + " x " +
                                   std::to_string(order));
}

/// Every step t[k+1] - t[k] must be a positive finite number (NaN fails too).
void check_times(Span<const double> t) {
    if (!std::isfinite(t[0]))
        throw cellcore::InputError("lsim: t[0] is not finite");
    for (std::size_t k = 0; k + 1 < t.size(); ++k) {
        const double h = t[k + 1] - t[k];
        if (!(h > 0.0 && h <= std::numeric_limits<double>::max()))
            throw cellcore::InputError(
                "lsim: t must be finite and strictly increasing; it is not at index " +
                std::to_string(k + 1));
    }
}

// Scalar phi functions. The series is used where the recurrence
// phi_{k+1} = (phi_k - 1/k!)/z would cancel; past |z| = 1 the recurrence loses at most
// a factor of about 4 to cancellation.

struct ScalarPhis {
    double phi0, phi1, phi2;
    double psi; ///< phi1 - phi2 = sum_j (j+1) z^j/(j+2)!
};

/// sum_j z^j/(j+2)! for |z| < 1, with as many terms as leave a tail below 1e-18.
double phi2_series(double z) {
    const double a = std::abs(z);
    const std::size_t terms = a < 1.0 / 64 ? 7 : (a < 0.125 ? 10 : 18);
    double s = 0.0;
    for (std::size_t j = terms; j-- > 0;)
        s = s * z + kInvFactorial[j + 2];
    return s;
}

/// phi_0..2 and psi at z, with one exp call at most. Below |z| = 1 everything comes
/// from the series, as e^z - 1 = z phi1 would cancel there (the job expm1 does). From
/// |z| = 1 on, |e^z - 1| >= 0.63 is formed from exp without loss, and the recurrence
/// forms do not cancel: for a stiff pole phi1 and phi2 tend to -1/z, psi to 1/z^2.
ScalarPhis scalar_phis(double z) {
    if (std::abs(z) < 1.0) {
        const double phi2 = phi2_series(z);
        const double phi1 = 1.0 + z * phi2;
        return {1.0 + z * phi1, phi1, phi2, phi1 - phi2};
    }
    const double inv_z = 1.0 / z; // one division: they are slow and serial here
    const double phi0 = std::exp(z), phi1 = (phi0 - 1.0) * inv_z;
    return {phi0, phi1, (phi1 - 1.0) * inv_z, (phi0 - phi1) * inv_z};
}

/// sinh(x)/x, also at 0.
double sinhc(double x) { return x == 0.0 ? 1.0 : std::sinh(x) / x; }

/// sin(x)/x, also at 0.
double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(x) / x; }

// Divided differences phi_k[z1, z2] over the two scaled poles of a second-order system.
// For any function f and a 2x2 matrix Z with eigenvalues z1, z2,
// f(Z) = f(z1) I + f[z1, z2] (Z - z1 I), which holds for equal poles too (the divided
// difference becomes f'(z1)); for the companion matrix this leaves only the divided
// differences of phi_0, phi_1 and phi_2 to compute.

struct DividedPhis {
    double d0, d1, d2; ///< phi_0[z1,z2], phi_1[z1,z2], phi_2[z1,z2]
    double dpsi;       ///< (phi_1 - phi_2)[z1,z2], without their cancellation
};

/// The roots of z^2 - s z + p, described so that no branch divides by their gap.
struct PolePair {
    double mid = 0.0;  ///< (z1 + z2)/2
    double half = 0.0; ///< |z1 - z2|/2: half the gap, or the imaginary part if complex
    bool complex = false; ///< a conjugate pair mid +- i half
    double big = 0.0;     ///< real pair: the root of larger modulus
    double small = 0.0;   ///< real pair: the other root
    double radius = 0.0;  ///< max |z|
};

PolePair pole_pair(double s, double p) {
    PolePair z;
    z.mid = 0.5 * s;
    const double disc = z.mid * z.mid - p; // ((z1 - z2)/2)^2
    z.complex = disc < 0.0;
    z.half = std::sqrt(std::abs(disc));
    if (z.complex) {
        z.radius = std::hypot(z.mid, z.half);
        return z;
    }
    // the larger root adds two terms of one sign; the smaller comes from the product
    z.big = z.mid + std::copysign(z.half, z.mid);
    z.small = z.big != 0.0 ? p / z.big : 0.0;
    z.radius = std::abs(z.big);
    return z;
}

/// For both poles within the unit disc: phi_k[z1,z2] = sum_{j>=1} h_{j-1}/(j+k)!, where
/// h_j = z1^j + z1^{j-1} z2 + ... + z2^j follows h_j = s h_{j-1} - p h_{j-2}. Real
/// arithmetic for real, equal and complex pairs alike. |h_{j-1}|/j! <= radius^j/j!
/// bounds each term and the tail after it; the term counts keep that below 5e-19.
DividedPhis divided_phis_series(double s, double p, double radius) {
    const std::size_t terms = radius <= 1.0 / 64 ? 8 : (radius <= 0.125 ? 12 : 20);
    DividedPhis q{0.0, 0.0, 0.0, 0.0};
    double h_prev = 0.0, h = 1.0; // h_{j-2}, h_{j-1}
    for (std::size_t j = 1; j <= terms; ++j) {
        q.d0 += h * kInvFactorial[j];
        q.d1 += h * kInvFactorial[j + 1];
        q.d2 += h * kInvFactorial[j + 2];
        const double h_next = s * h - p * h_prev;
        h_prev = h;
        h = h_next;
    }
    q.dpsi = q.d1 - q.d2;
    return q;
}

/// A real pair with |big| > 1. phi_0[] avoids the gap when it is small. Then, from the
/// product rule (z f)[z1,z2] = z1 f[z1,z2] + f(z2) and z phi_{k+1} = phi_k - 1/k!,
/// phi_{k+1}[] = (phi_k[] - phi_{k+1}(small))/big divides by the large pole only;
/// likewise z psi = phi_0 - phi_1 gives psi[].
DividedPhis divided_phis_real(const PolePair& z) {
    const ScalarPhis f = scalar_phis(z.small);
    const double d0 = z.half < 1.0 ? std::exp(z.mid) * sinhc(z.half)
                                   : (std::exp(z.big) - f.phi0) / (z.big - z.small);
    const double inv_big = 1.0 / z.big;
    const double d1 = (d0 - f.phi1) * inv_big;
    const double d2 = (d1 - f.phi2) * inv_big;
    const double dpsi = (d0 - d1 - f.psi) * inv_big;
    return {d0, d1, d2, dpsi};
}

/// A complex pair with modulus > 1: the same recurrence in complex arithmetic, whose
/// results are real (their imaginary parts are rounding and are dropped).
DividedPhis divided_phis_complex(const PolePair& z) {
    using Complex = std::complex<double>;
    const double d0 = std::exp(z.mid) * sinc(z.half);
    const Complex zc(z.mid, z.half), zbar = std::conj(zc), e = std::exp(zc);
    const Complex phi1 = (e - 1.0) / zc;
    const Complex phi2 = (phi1 - 1.0) / zc;
    const Complex psi = (e - phi1) / zc;
    const double d1 = ((d0 - phi1) / zbar).real();
    const double d2 = ((d1 - phi2) / zbar).real();
    const double dpsi = ((d0 - d1 - psi) / zbar).real();
    return {d0, d1, d2, dpsi};
}

/// phi_0..2 divided over the roots of z^2 - s z + p (s, p: sum and product of the
/// poles times the step).
DividedPhis divided_phis(double s, double p) {
    const PolePair z = pole_pair(s, p);
    if (z.radius <= 1.0)
        return divided_phis_series(s, p, z.radius);
    return z.complex ? divided_phis_complex(z) : divided_phis_real(z);
}

// Step matrices.

/// x_{k+1} = phi x_k + g1 u_k + g2 u_{k+1} for a fixed order N; phi is row-major.
template <std::size_t N> struct FixedStep {
    std::array<double, N * N> phi{};
    std::array<double, N> g1{};
    std::array<double, N> g2{};
};

/// x' = -a x + u over a step h.
FixedStep<1> first_order_step(double a, double h) {
    const double z = -a * h;
    const ScalarPhis f = scalar_phis(z);
    FixedStep<1> st;
    st.phi[0] = f.phi0;
    st.g1[0] = h * f.psi;
    st.g2[0] = h * f.phi2;
    return st;
}

/// x1' = -a1 x1 - a2 x2 + u, x2' = x1 over a step h. With Z = Ah, s = trace Z and
/// p = det Z: Phi = I + Z phi_1(Z), phi_k(Z) e1 = (phi_{k-1}[], h phi_k[]).
FixedStep<2> second_order_step(double a1, double a2, double h) {
    const double s = -a1 * h, p = a2 * h * h;
    const DividedPhis q = divided_phis(s, p);
    FixedStep<2> st;
    st.phi = {1.0 + s * q.d0 - p * q.d1, -a2 * h * q.d0, h * q.d0, 1.0 - p * q.d1};
    st.g2 = {h * q.d1, h * h * q.d2};
    st.g1 = {h * (q.d0 - q.d1), h * h * q.dpsi}; // h psi(Z) e1, psi = phi_1 - phi_2
    return st;
}

/// The same for any order, sized once per call.
struct DynamicStep {
    std::vector<double> phi, g1, g2;
    explicit DynamicStep(std::size_t n) : phi(n * n), g1(n), g2(n) {}
};

// e^M - I for small dense matrices: Pade approximants with scaling and squaring
// (Higham 2005, degrees 3 to 13 chosen by the 1-norm), carried as the difference from
// the identity throughout.

/// C = A B for m x m row-major matrices (C must not alias A or B).
void mat_mul(const double* a, const double* b, double* c, std::size_t m) {
    std::fill(c, c + m * m, 0.0);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t k = 0; k < m; ++k) {
            const double aik = a[i * m + k];
            for (std::size_t j = 0; j < m; ++j)
                c[i * m + j] += aik * b[k * m + j];
        }
}

double norm1(const double* a, std::size_t m) {
    double best = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
        double col = 0.0;
        for (std::size_t i = 0; i < m; ++i)
            col += std::abs(a[i * m + j]);
        best = std::max(best, col);
    }
    return best;
}

/// Solves P X = R in place (R becomes X) by Gaussian elimination with partial
/// pivoting; P is destroyed.
void solve_in_place(double* p, double* r, std::size_t m) {
    for (std::size_t c = 0; c < m; ++c) {
        std::size_t piv = c;
        for (std::size_t i = c + 1; i < m; ++i)
            if (std::abs(p[i * m + c]) > std::abs(p[piv * m + c]))
                piv = i;
        if (piv != c)
            for (std::size_t j = 0; j < m; ++j) {
                std::swap(p[c * m + j], p[piv * m + j]);
                std::swap(r[c * m + j], r[piv * m + j]);
            }
        for (std::size_t i = c + 1; i < m; ++i) {
            const double f = p[i * m + c] / p[c * m + c];
            for (std::size_t j = c; j < m; ++j)
                p[i * m + j] -= f * p[c * m + j];
            for (std::size_t j = 0; j < m; ++j)
                r[i * m + j] -= f * r[c * m + j];
        }
    }
    for (std::size_t c = m; c-- > 0;)
        for (std::size_t j = 0; j < m; ++j) {
            double v = r[c * m + j];
            for (std::size_t k = c + 1; k < m; ++k)
                v -= p[c * m + k] * r[k * m + j];
            r[c * m + j] = v / p[c * m + c];
        }
}

/// Scales a (m x m, row-major) into d^-1 a d with d (returned in scale) a diagonal of
/// powers of two chosen so that each row and column carry similar off-diagonal weight
/// (Parlett and Reinsch). A companion matrix of widely spread time constants has
/// entries from 1 to 1e17; balanced, its exponential loses far less to the squarings.
void balance(double* a, double* scale, std::size_t m) {
    std::fill(scale, scale + m, 1.0);
    for (bool changed = true; changed;) {
        changed = false;
        for (std::size_t i = 0; i < m; ++i) {
            double col = 0.0, row = 0.0;
            for (std::size_t j = 0; j < m; ++j)
                if (j != i) {
                    col += std::abs(a[j * m + i]);
                    row += std::abs(a[i * m + j]);
                }
            // nothing to balance, or an overflowed entry that must not stall the loop
            if (!(col > 0.0 && row > 0.0 && std::isfinite(col + row)))
                continue;
            // the power of two f that best equalises col * f and row / f
            int e = 0;
            std::frexp(row / col, &e);
            const int half = e / 2;
            if (half == 0)
                continue;
            const double f = std::ldexp(1.0, half);
            // accept only a clear gain, which also guarantees termination
            if ((col * f + row / f) >= 0.95 * (col + row))
                continue;
            changed = true;
            scale[i] *= f;
            for (std::size_t j = 0; j < m; ++j) {
                a[j * m + i] *= f;
                a[i * m + j] /= f;
            }
        }
    }
}

class PadeExponential {
  public:
    explicit PadeExponential(std::size_t m) : m_(m), work_(8 * m * m) {}

    /// out = e^a - I; a (m x m, row-major) is overwritten. NaN everywhere if a is not
    /// finite.
    void compute(double* a, double* out);

  private:
    double* buf(std::size_t k) { return work_.data() + k * m_ * m_; }
    void pade_terms(const double* a, const double* b, std::size_t degree, double* u,
                    double* v);
    void pade13_terms(const double* a, double* u, double* v);

    std::size_t m_;
    std::vector<double> work_; // a^2, a^4, a^6, a^8, two sums, product, scratch
};

// Pade numerator coefficients b_0..b_m for degrees 3, 5, 7, 9, 13 (Higham 2005).
constexpr double kPade3[] = {120.0, 60.0, 12.0, 1.0};
constexpr double kPade5[] = {30240.0, 15120.0, 3360.0, 420.0, 30.0, 1.0};
constexpr double kPade7[] = {17297280.0, 8648640.0, 1995840.0, 277200.0,
                             25200.0,    1512.0,    56.0,      1.0};
constexpr double kPade9[] = {17643225600.0, 8821612800.0, 2075673600.0, 302702400.0,
                             30270240.0,    2162160.0,    110880.0,     3960.0,
                             90.0,          1.0};
constexpr double kPade13[] = {64764752532480000.0,
                              32382376266240000.0,
                              7771770303897600.0,
                              1187353796428800.0,
                              129060195264000.0,
                              10559470521600.0,
                              670442572800.0,
                              33522128640.0,
                              1323241920.0,
                              40840800.0,
                              960960.0,
                              16380.0,
                              182.0,
                              1.0};
// largest 1-norm for which each degree reaches double precision
constexpr double kTheta3 = 1.495585217958292e-2;
constexpr double kTheta5 = 2.539398330063230e-1;
constexpr double kTheta7 = 9.504178996162932e-1;
constexpr double kTheta9 = 2.097847961257068e0;
constexpr double kTheta13 = 5.371920351148152e0;

/// u = a (b1 I + b3 a^2 + ...), v = b0 I + b2 a^2 + ... for degree <= 9, using the even
/// powers a^2, a^4, ... kept in buf(0..3).
void PadeExponential::pade_terms(const double* a, const double* b, std::size_t degree,
                                 double* u, double* v) {
    const std::size_t mm = m_ * m_;
    double* odd = buf(6);
    std::fill(odd, odd + mm, 0.0);
    std::fill(v, v + mm, 0.0);
    for (std::size_t i = 0; i < m_; ++i) {
        odd[i * m_ + i] = b[1];
        v[i * m_ + i] = b[0];
    }
    for (std::size_t k = 1; 2 * k <= degree; ++k) {
        const double* pw = buf(k - 1);
        for (std::size_t e = 0; e < mm; ++e) {
            odd[e] += b[2 * k + 1] * pw[e];
            v[e] += b[2 * k] * pw[e];
        }
    }
    mat_mul(a, odd, u, m_);
}

/// The degree-13 terms in Higham's nested form (a^2, a^4, a^6 in buf(0..2)).
void PadeExponential::pade13_terms(const double* a, double* u, double* v) {
    const std::size_t mm = m_ * m_;
    const double *a2 = buf(0), *a4 = buf(1), *a6 = buf(2);
    const double* b = kPade13;
    double *inner = buf(6), *tmp = buf(7);
    for (std::size_t e = 0; e < mm; ++e)
        inner[e] = b[13] * a6[e] + b[11] * a4[e] + b[9] * a2[e];
    mat_mul(a6, inner, tmp, m_);
    for (std::size_t e = 0; e < mm; ++e)
        tmp[e] += b[7] * a6[e] + b[5] * a4[e] + b[3] * a2[e];
    for (std::size_t i = 0; i < m_; ++i)
        tmp[i * m_ + i] += b[1];
    mat_mul(a, tmp, u, m_);
    for (std::size_t e = 0; e < mm; ++e)
        inner[e] = b[12] * a6[e] + b[10] * a4[e] + b[8] * a2[e];
    mat_mul(a6, inner, v, m_);
    for (std::size_t e = 0; e < mm; ++e)
        v[e] += b[6] * a6[e] + b[4] * a4[e] + b[2] * a2[e];
    for (std::size_t i = 0; i < m_; ++i)
        v[i * m_ + i] += b[0];
}

void PadeExponential::compute(double* a, double* out) {
    const std::size_t mm = m_ * m_;
    const double norm = norm1(a, m_);
    if (!std::isfinite(norm)) {
        std::fill(out, out + mm, kNaN);
        return;
    }
    int squarings = 0;
    if (norm > kTheta13) {
        squarings = static_cast<int>(std::ceil(std::log2(norm / kTheta13)));
        const double scale = std::ldexp(1.0, -squarings);
        for (std::size_t e = 0; e < mm; ++e)
            a[e] *= scale;
    }
    const double scaled = std::ldexp(norm, -squarings);
    mat_mul(a, a, buf(0), m_);
    mat_mul(buf(0), buf(0), buf(1), m_);
    mat_mul(buf(0), buf(1), buf(2), m_);
    double *u = buf(4), *v = buf(5);
    if (scaled <= kTheta3)
        pade_terms(a, kPade3, 3, u, v);
    else if (scaled <= kTheta5)
        pade_terms(a, kPade5, 5, u, v);
    else if (scaled <= kTheta7)
        pade_terms(a, kPade7, 7, u, v);
    else if (scaled <= kTheta9) {
        mat_mul(buf(1), buf(1), buf(3), m_);
        pade_terms(a, kPade9, 9, u, v);
    } else
        pade13_terms(a, u, v);
    // The Pade approximant is r = (v - u)^-1 (v + u); r - I = 2 (v - u)^-1 u keeps the
    // small steps of slow modes that r itself would round away against the identity.
    for (std::size_t e = 0; e < mm; ++e) {
        out[e] = 2.0 * u[e];
        v[e] -= u[e];
    }
    solve_in_place(v, out, m_);
    // squaring in the same form: (I + e)^2 - I = 2 e + e^2
    for (int k = 0; k < squarings; ++k) {
        mat_mul(out, out, buf(7), m_);
        for (std::size_t e = 0; e < mm; ++e)
            out[e] = 2.0 * out[e] + buf(7)[e];
    }
}

/// Step matrices for any order from e^M - I, M = [[Ah, Bh, 0], [0, 0, 1], [0, 0, 0]]:
/// e^M = [[Phi, h phi_1(Ah) B, h phi_2(Ah) B], [0, 1, 1], [0, 0, 1]].
class PadeStepper {
  public:
    explicit PadeStepper(const Canonical& sys)
        : n_(sys.order()), m_(n_ + 2), a_(sys.a), exp_(m_), aug_(m_ * m_),
          out_(m_ * m_), scale_(m_) {}

    void operator()(double h, DynamicStep& st) {
        std::fill(aug_.begin(), aug_.end(), 0.0);
        for (std::size_t j = 0; j < n_; ++j)
            aug_[j] = -a_[j] * h;
        for (std::size_t i = 1; i < n_; ++i)
            aug_[i * m_ + i - 1] = h;
        aug_[n_] = h;                 // B h, B = e1
        aug_[n_ * m_ + n_ + 1] = 1.0; // drives the ramp of the input
        balance(aug_.data(), scale_.data(), m_);
        exp_.compute(aug_.data(), out_.data());
        // undo the balancing: e^{D^-1 M D} = D^-1 e^M D
        for (std::size_t i = 0; i < m_; ++i)
            for (std::size_t j = 0; j < m_; ++j)
                out_[i * m_ + j] *= scale_[i] / scale_[j];
        for (std::size_t i = 0; i < n_; ++i) {
            for (std::size_t j = 0; j < n_; ++j)
                st.phi[i * n_ + j] = (i == j ? 1.0 : 0.0) + out_[i * m_ + j];
            st.g2[i] = out_[i * m_ + n_ + 1];
            st.g1[i] = out_[i * m_ + n_] - st.g2[i];
        }
    }

  private:
    std::size_t n_, m_;
    std::vector<double> a_;
    PadeExponential exp_;
    std::vector<double> aug_, out_, scale_;
};

// The time loop.

/// The step matrices of the last few distinct step lengths. Keys are exact: a step
/// length that differs in the last bit gets its own exact matrices.
template <typename Step> class StepCache {
  public:
    explicit StepCache(const Step& blank) : steps_{blank, blank, blank, blank} {
        keys_.fill(kNaN); // NaN never matches a step length
    }

    template <typename Make> const Step& get(double h, Make& make) {
        if (h == keys_[last_])
            return steps_[last_];
        for (std::size_t i = 0; i < kSlots; ++i)
            if (h == keys_[i]) {
                last_ = i;
                return steps_[i];
            }
        last_ = next_;
        next_ = (next_ + 1) % kSlots;
        make(h, steps_[last_]);
        keys_[last_] = h;
        return steps_[last_];
    }

  private:
    static constexpr std::size_t kSlots = 4;
    std::array<double, kSlots> keys_;
    std::array<Step, kSlots> steps_;
    std::size_t last_ = 0, next_ = 0;
};

/// Orders 1 and 2: the state and the current step matrices live in registers. Steps
/// come in runs of one length (the whole record, when it is evenly sampled); the
/// cache is consulted once per run.
template <std::size_t N, typename Make>
void run_fixed(const Canonical& sys, Make make, Span<const double> t,
               Span<const double> u, Span<const double> x0, Span<double> y,
               Span<double> x) {
    std::array<double, N> c{}, xs{};
    std::copy(sys.c.begin(), sys.c.end(), c.begin());
    if (!x0.empty())
        std::copy(x0.begin(), x0.end(), xs.begin());
    const double d = sys.d;
    const bool keep_x = !x.empty();
    auto emit = [&](std::size_t k) {
        double yk = d * u[k];
        for (std::size_t i = 0; i < N; ++i) {
            yk += c[i] * xs[i];
            if (keep_x)
                x[k * N + i] = xs[i];
        }
        y[k] = yk;
    };
    StepCache<FixedStep<N>> cache{FixedStep<N>{}};
    auto make_step = [&](double h, FixedStep<N>& st) { st = make(h); };
    const std::size_t n = t.size();
    std::size_t k = 0;
    emit(0);
    while (k + 1 < n) {
        const double h = t[k + 1] - t[k];
        const FixedStep<N> st = cache.get(h, make_step);
        do {
            std::array<double, N> next;
            for (std::size_t i = 0; i < N; ++i) {
                double v = st.g1[i] * u[k] + st.g2[i] * u[k + 1];
                for (std::size_t j = 0; j < N; ++j)
                    v += st.phi[i * N + j] * xs[j];
                next[i] = v;
            }
            xs = next;
            emit(++k);
        } while (k + 1 < n && t[k + 1] - t[k] == h);
    }
}

/// Any order, through the Pade stepper; buffers are sized once per call.
void run_general(const Canonical& sys, Span<const double> t, Span<const double> u,
                 Span<const double> x0, Span<double> y, Span<double> x) {
    const std::size_t order = sys.order();
    std::vector<double> xs(order, 0.0), next(order);
    if (!x0.empty())
        std::copy(x0.begin(), x0.end(), xs.begin());
    PadeStepper make(sys);
    StepCache<DynamicStep> cache{DynamicStep(order)};
    const std::size_t n = t.size();
    for (std::size_t k = 0;; ++k) {
        double yk = sys.d * u[k];
        for (std::size_t i = 0; i < order; ++i)
            yk += sys.c[i] * xs[i];
        y[k] = yk;
        if (!x.empty())
            std::copy(xs.begin(), xs.end(), x.begin() + k * order);
        if (k + 1 == n)
            break;
        const DynamicStep& st = cache.get(t[k + 1] - t[k], make);
        for (std::size_t i = 0; i < order; ++i) {
            double v = st.g1[i] * u[k] + st.g2[i] * u[k + 1];
            for (std::size_t j = 0; j < order; ++j)
                v += st.phi[i * order + j] * xs[j];
            next[i] = v;
        }
        xs.swap(next);
    }
}

void fill_nan(Span<double> y, Span<double> x) {
    std::fill(y.begin(), y.end(), kNaN);
    std::fill(x.begin(), x.end(), kNaN);
}

/// A pure gain: y = d u.
void run_static(const Canonical& sys, Span<const double> u, Span<double> y) {
    for (std::size_t k = 0; k < u.size(); ++k)
        y[k] = sys.d * u[k];
}

} // namespace

std::size_t lsim_order(Span<const double> num, Span<const double> den) {
    return proper_denominator(num, den).size() - 1;
}

void lsim_foh(Span<const double> num, Span<const double> den, Span<const double> t,
              Span<const double> u, Span<const double> x0, Span<double> y,
              Span<double> x) {
    check_lengths(lsim_order(num, den), t, u, x0, y, x);
    check_times(t);
    // a non-finite parameter makes every output meaningless; say so with NaN rather
    // than an exception, so that a least-squares solver probing it can step back
    if (!all_finite(num) || !all_finite(den) || !all_finite(x0)) {
        fill_nan(y, x);
        return;
    }
    const Canonical sys = realise(num, den);
    if (!all_finite(sys)) {
        fill_nan(y, x);
        return;
    }
    switch (sys.order()) {
    case 0:
        run_static(sys, u, y);
        return;
    case 1:
        run_fixed<1>(
            sys, [a = sys.a[0]](double h) { return first_order_step(a, h); }, t, u, x0,
            y, x);
        return;
    case 2:
        run_fixed<2>(
            sys,
            [a1 = sys.a[0], a2 = sys.a[1]](double h) {
                return second_order_step(a1, a2, h);
            },
            t, u, x0, y, x);
        return;
    default:
        run_general(sys, t, u, x0, y, x);
    }
}

} // namespace cellcore
