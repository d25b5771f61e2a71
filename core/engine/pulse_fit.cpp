#include "core/engine/pulse_fit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "core/engine/least_squares.hpp"
#include "core/fit_uncertainty.hpp"
#include "core/logging_interval.hpp"

namespace cellcore {
namespace {

// The slowest time constant a window resolves, in window lengths: a pair three times
// slower still bends the voltage visibly over the window (by 28 % of its own voltage);
// a slower one is a straight line.
constexpr double kTauPerSpan = 3.0;
// The fastest time constant (s) a pulse logged without a usable interval resolves.
constexpr double kShortestTau_s = 1e-4;

struct StartValues {
    double r0_ohm, r1_ohm, tau_s;
    double step_r0_ohm;
};

// The window's sample 0 is the last one before the pulse, samples 1..n_pulse are
// loaded.
StartValues start_from_pulse(const PulseWindow& w, std::size_t n_pulse) {
    const auto& e = w.target();
    const auto& t = w.time_s();
    const auto& i = w.current_a();
    double mean_i = 0.0;
    for (std::size_t k = 1; k <= n_pulse; ++k)
        mean_i += i[k];
    mean_i /= static_cast<double>(n_pulse);
    StartValues s{};
    s.step_r0_ohm = (e[1] - e[0]) / (i[1] - i[0]);
    s.r0_ohm = s.step_r0_ohm > 0 && std::isfinite(s.step_r0_ohm) ? s.step_r0_ohm : 1e-3;
    const double further = e[n_pulse] - e[1];
    s.r1_ohm = further / mean_i;
    if (!(s.r1_ohm > 0.05 * s.r0_ohm))
        s.r1_ohm = 0.2 * s.r0_ohm;
    // time to 63 % of the further drop, at least one logging interval
    std::size_t k63 = n_pulse;
    for (std::size_t k = 1; k <= n_pulse; ++k)
        if ((e[k] - e[1]) / further >= 0.632) {
            k63 = k;
            break;
        }
    const double dt = t[std::min<std::size_t>(2, n_pulse)] - t[1];
    s.tau_s = std::max(t[k63] - t[1], dt > 0 ? dt : 1e-3);
    return s;
}

// The solver's parameters: log R0, then log R and log tau of each pair. Bounding a
// pair's time constant by the window keeps it to what the window can resolve: a pair
// slower than the window shows only as a straight line, whose slope fixes C alone,
// and R would run off to ohms to fit a slow drift of the OCV.
std::vector<double> to_solver(const std::vector<double>& p) {
    std::vector<double> q{std::log(p[0])};
    for (std::size_t k = 1; k + 1 < p.size(); k += 2) {
        q.push_back(std::log(p[k]));
        q.push_back(std::log(p[k] * p[k + 1]));
    }
    return q;
}

void from_solver(Span<const double> q, double* p) {
    p[0] = std::exp(q[0]);
    for (std::size_t k = 1; k + 1 < q.size(); k += 2) {
        p[k] = std::exp(q[k]);
        p[k + 1] = std::exp(q[k + 1]) / p[k];
    }
}

// Jacobian columns with respect to (log R, log C) of a pair into those with respect
// to (log R, log tau): d/dlogR at fixed tau = d/dlogR - d/dlogC, d/dlogtau = d/dlogC;
// and back (inverse = false).
void pair_columns(Span<double> jac, std::size_t m, std::size_t np, bool to_tau) {
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t k = 1; k + 1 < np; k += 2) {
            double* row = &jac[r * np];
            row[k] += (to_tau ? -1.0 : 1.0) * row[k + 1];
        }
}

// Residuals over the solver's parameters: r = model - measured.
ResidualFunction log_residual(const PulseWindow& w) {
    return [&w](Span<const double> q, Span<double> r, Span<double> jac) {
        const std::size_t np = q.size();
        double p[5];
        from_solver(q, p);
        w.residual({p, np}, {p, np}, r, jac); // columns d/dlog p
        if (!jac.empty())
            pair_columns(jac, r.size(), np, true);
    };
}

// Bounds of the fit: every R in [lower, upper], R0 also at most r0_max_ohm, every
// time constant in [tau_min_s, tau_max_s].
struct FitBounds {
    double r0_max_ohm, tau_min_s, tau_max_s;
};

LsqResult solve(const PulseWindow& w, const std::vector<double>& start,
                const PulseTestOptions& o, const FitBounds& b) {
    std::vector<double> q0 = to_solver(start), lo, hi;
    for (std::size_t k = 0; k < q0.size(); ++k) {
        const bool tau = k >= 2 && k % 2 == 0;
        lo.push_back(std::log(tau ? b.tau_min_s : o.lower));
        hi.push_back(std::log(tau      ? b.tau_max_s
                              : k == 0 ? std::min(o.upper, b.r0_max_ohm)
                                       : o.upper));
        q0[k] = std::clamp(q0[k], lo[k], hi[k]);
    }
    // logarithms of R and tau share one natural scale; a relative step of 1e-8 in them
    // is far below any parameter's standard error
    LsqOptions options;
    options.x_scale.assign(q0.size(), 1.0);
    options.xtol = kXtol;
    options.ftol = kFtol;
    options.gtol = kGtol;
    return least_squares_bounded(log_residual(w), w.size(), q0, lo, hi, options);
}

// Time constants from the fastest the logging resolves to three window lengths,
// three per decade, at most sixteen decades of them.
std::vector<double> tau_grid(const PulseWindow& w) {
    const auto& t = w.time_s();
    const double span = t.back() - t.front();
    double min_dt = span;
    for (std::size_t k = 1; k < t.size(); ++k)
        if (t[k] > t[k - 1])
            min_dt = std::min(min_dt, t[k] - t[k - 1]);
    const double lo = std::max(min_dt, 1e-3), hi = kTauPerSpan * span;
    std::vector<double> grid{lo};
    for (double tau = lo * 2.15443469003; tau <= hi && grid.size() < 48;
         tau *= 2.15443469003)
        grid.push_back(tau);
    return grid;
}

// Solves the k x k system a c = b in place (Gaussian elimination, k <= 3); false when
// it is singular.
bool solve_small(double a[3][3], double b[3], int k) {
    for (int c = 0; c < k; ++c) {
        int piv = c;
        for (int r = c + 1; r < k; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[piv][c]))
                piv = r;
        if (!(std::fabs(a[piv][c]) > 0))
            return false;
        std::swap(a[c], a[piv]);
        std::swap(b[c], b[piv]);
        for (int r = c + 1; r < k; ++r) {
            const double f = a[r][c] / a[c][c];
            for (int j = c; j < k; ++j)
                a[r][j] -= f * a[c][j];
            b[r] -= f * b[c];
        }
    }
    for (int c = k - 1; c >= 0; --c) {
        for (int j = c + 1; j < k; ++j)
            b[c] -= a[c][j] * b[j];
        b[c] /= a[c][c];
    }
    return true;
}

// The start of the nonlinear fit. With the time constants fixed the circuit's voltage
// is linear in R0 and the pair resistances, so every combination of time constants
// from a grid gets its exact best resistances; the combination that fits best, with
// all resistances positive, is where the solver starts. One pass of least squares per
// combination on a precomputed Gram matrix: a start from the pulse's own shape, no
// search over nonlinear fits.
std::vector<double> linear_start(const PulseWindow& w, int pairs) {
    const std::vector<double> taus = tau_grid(w);
    const std::size_t m = w.size(), g = taus.size(), nc = g + 1;
    std::vector<double> cols(nc * m);
    std::copy(w.current_a().begin(), w.current_a().end(), cols.begin());
    for (std::size_t j = 0; j < g; ++j) {
        const double unit[3] = {0.0, 1.0, taus[j]};
        w.simulate({unit, 3}, {cols.data() + (j + 1) * m, m}, {});
    }
    // a start needs the shape, not every sample: the first 40 rows (the step and the
    // fastest relaxation) and about 160 more spread over the rest
    std::vector<std::size_t> rows;
    const std::size_t stride = m > 200 ? (m - 40) / 160 : 1;
    for (std::size_t k = 0; k < m; k += k < 40 ? 1 : stride)
        rows.push_back(k);
    std::vector<double> gram(nc * nc), rhs(nc);
    for (std::size_t a = 0; a < nc; ++a) {
        for (std::size_t b = a; b < nc; ++b) {
            double sum = 0.0;
            for (std::size_t k : rows)
                sum += cols[a * m + k] * cols[b * m + k];
            gram[a * nc + b] = gram[b * nc + a] = sum;
        }
        double sum = 0.0;
        for (std::size_t k : rows)
            sum += cols[a * m + k] * w.target()[k];
        rhs[a] = sum;
    }
    double best = std::numeric_limits<double>::infinity();
    std::vector<double> start;
    auto consider = [&](std::size_t j1, std::size_t j2) {
        const std::size_t idx[3] = {0, j1 + 1, j2 + 1};
        const int k = pairs == 1 ? 2 : 3;
        double a[3][3], c[3];
        for (int r = 0; r < k; ++r) {
            c[r] = rhs[idx[r]];
            for (int q = 0; q < k; ++q)
                a[r][q] = gram[idx[r] * nc + idx[q]];
        }
        if (!solve_small(a, c, k) || !(c[0] > 0 && c[1] > 0 && (k == 2 || c[2] > 0)))
            return;
        // the cost up to a constant: -2 c.b + c.G c = -c.b at the least-squares c
        double fit = 0.0;
        for (int r = 0; r < k; ++r)
            fit -= c[r] * rhs[idx[r]];
        if (fit < best) {
            best = fit;
            start = {c[0], c[1], taus[j1] / c[1]};
            if (k == 3) {
                start.push_back(c[2]);
                start.push_back(taus[j2] / c[2]);
            }
        }
    };
    for (std::size_t j1 = 0; j1 < g; ++j1)
        for (std::size_t j2 = pairs == 1 ? j1 : j1 + 1; j2 < (pairs == 1 ? j1 + 1 : g);
             ++j2)
            consider(j1, j2);
    return start;
}

// Standard errors of R and C (not tau) from the solver's Jacobian at the solution.
std::vector<double> log_std_errors(const LsqResult& res, std::size_t np) {
    std::vector<double> se(np, std::nan(""));
    const std::size_t m = res.residual.size();
    if (m <= np || res.jac.size() != m * np)
        return se;
    std::vector<double> jac = res.jac;
    pair_columns(jac, m, np, false);
    parameter_std_errors(jac, res.residual, se);
    return se;
}

unsigned fit_flags(const LsqResult& res, std::size_t np, bool r0_capped) {
    unsigned flags = 0;
    for (std::size_t k = 0; k < np; ++k) {
        const bool tau = k >= 2 && k % 2 == 0;
        if (res.at_bound[k] == 0)
            continue;
        if (k == 0 && res.at_bound[k] > 0 && r0_capped)
            flags |= r0_at_step;
        else if (tau)
            flags |= k == 2 ? tau1_at_limit : tau2_at_limit;
        else
            flags |= 1u << k;
    }
    return flags;
}

void store(const LsqResult& res, std::size_t m, bool r0_capped, PulseFit& fit) {
    PulseRow& row = fit.row;
    const std::size_t np = res.x.size();
    from_solver(res.x, row.params.data());
    const std::vector<double> se = log_std_errors(res, np);
    for (std::size_t c = 0; c < np; ++c)
        row.std_error[c] = row.params[c] * se[c];
    row.flags |= fit_flags(res, np, r0_capped);
    if (!res.converged())
        row.flags |= not_converged;
    row.rms_mv = 1000.0 * std::sqrt(2.0 * res.cost / static_cast<double>(m));
    fit.evaluations += res.evaluations;
    // keep the faster pair first
    if (np == 5 && row.params[1] * row.params[2] > row.params[3] * row.params[4]) {
        std::swap(row.params[1], row.params[3]);
        std::swap(row.params[2], row.params[4]);
        std::swap(row.std_error[1], row.std_error[3]);
        std::swap(row.std_error[2], row.std_error[4]);
        const unsigned pair1 = row.flags & (r1_at_bound | c1_at_bound);
        const unsigned pair2 = row.flags & (r2_at_bound | c2_at_bound);
        row.flags = (row.flags & ~(pair1 | pair2)) | (pair1 << 2) | (pair2 >> 2);
        const unsigned tau1 = row.flags & tau1_at_limit,
                       tau2 = row.flags & tau2_at_limit;
        row.flags = (row.flags & ~(tau1 | tau2)) | (tau1 << 1) | (tau2 >> 1);
    }
}

// The most R0 can be: the voltage step over the current step at the pulse's first
// compared row, which a positive pair only adds to.
double first_row_r0_limit(const PulseWindow& w, double step_r0_ohm) {
    if (!(step_r0_ohm > 0) || !std::isfinite(step_r0_ohm) || w.size() < 2)
        return std::numeric_limits<double>::infinity();
    return step_r0_ohm;
}

// Half the median logging interval inside the pulse: a pair faster than that shows
// only in the step, where it is indistinguishable from R0.
double resolved_tau_s(const PulseWindow& w) {
    const auto& t = w.time_s();
    if (t.size() < 2)
        return kShortestTau_s;
    const double dt = median_interval(t, 0, std::min(w.pulse_rows(), t.size() - 1));
    return std::isnan(dt) ? kShortestTau_s : std::max(kShortestTau_s, 0.5 * dt);
}

FitBounds fit_bounds(const PulseWindow& w, double step_r0_ohm) {
    FitBounds b;
    b.r0_max_ohm = first_row_r0_limit(w, step_r0_ohm);
    b.tau_min_s = resolved_tau_s(w);
    b.tau_max_s = std::max(kTauPerSpan * (w.time_s().back() - w.time_s().front()),
                           4 * b.tau_min_s);
    return b;
}

} // namespace

void fit_pulse(const PulseWindow& window, const PulseTestOptions& options,
               PulseFit& fit) {
    fit.step_r0_ohm = start_from_pulse(window, window.pulse_rows()).step_r0_ohm;
    const FitBounds bounds = fit_bounds(window, fit.step_r0_ohm);
    const bool capped = bounds.r0_max_ohm < options.upper;
    store(solve(window, pulse_fit_start(window, options), options, bounds),
          window.size(), capped, fit);
}

std::vector<double> pulse_fit_start(const PulseWindow& window,
                                    const PulseTestOptions& options) {
    std::vector<double> start = linear_start(window, options.rc_pairs);
    if (!start.empty())
        return start;
    // no positive combination: the pulse's step and 63 % time, the pair split in two
    const StartValues s = start_from_pulse(window, window.pulse_rows());
    if (options.rc_pairs == 1)
        return {s.r0_ohm, s.r1_ohm, s.tau_s / s.r1_ohm};
    const double half_r = 0.5 * s.r1_ohm;
    return {s.r0_ohm, half_r, 0.25 * s.tau_s / half_r, half_r, 4 * s.tau_s / half_r};
}

} // namespace cellcore
