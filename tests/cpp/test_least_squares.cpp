// The bounded least-squares solver on problems with known answers: classic test
// functions, a decay whose best fit lies outside its box, the circuit fit the pulse
// engine makes (in log-parameters and, harder, in ohms and farads), a model undefined
// near the start, and standard errors against the closed form of a straight-line fit.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/engine/least_squares.hpp"
#include "core/rc_circuit.hpp"

using cellcore::LsqResult;
using cellcore::LsqStatus;
using cellcore::Span;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

/// Samples t_k = k dt, k < n.
std::vector<double> times(std::size_t n, double dt_s) {
    std::vector<double> t(n);
    for (std::size_t k = 0; k < n; ++k)
        t[k] = static_cast<double>(k) * dt_s;
    return t;
}

/// a exp(-t/tau) + b with its derivatives, minus the data y.
cellcore::ResidualFunction decay_residual(const std::vector<double>& t,
                                          const std::vector<double>& y) {
    return [&t, &y](Span<const double> x, Span<double> r, Span<double> jac) {
        const double a = x[0], tau = x[1], b = x[2];
        for (std::size_t k = 0; k < t.size(); ++k) {
            const double e = std::exp(-t[k] / tau);
            r[k] = a * e + b - y[k];
            if (!jac.empty()) {
                jac[3 * k] = e;
                jac[3 * k + 1] = a * e * t[k] / (tau * tau);
                jac[3 * k + 2] = 1.0;
            }
        }
    };
}

std::vector<double> decay(const std::vector<double>& t, double a, double tau,
                          double b) {
    std::vector<double> y(t.size());
    for (std::size_t k = 0; k < t.size(); ++k)
        y[k] = a * std::exp(-t[k] / tau) + b;
    return y;
}

/// 30 s of 5 A discharge after 2 s of rest, then 40 s of rest, every 0.1 s.
struct Pulse {
    std::vector<double> t = times(720, 0.1), u;
    Pulse() {
        for (double tk : t)
            u.push_back(tk >= 2.0 && tk < 32.0 ? -5.0 : 0.0);
    }
};

} // namespace

TEST(rosenbrock) {
    auto f = [](Span<const double> x, Span<double> r, Span<double> jac) {
        r[0] = 10.0 * (x[1] - x[0] * x[0]);
        r[1] = 1.0 - x[0];
        if (!jac.empty()) {
            jac[0] = -20.0 * x[0];
            jac[1] = 10.0;
            jac[2] = -1.0;
            jac[3] = 0.0;
        }
    };
    const LsqResult res = cellcore::least_squares_bounded(f, 2, {-1.2, 1.0},
                                                          {-kInf, -kInf}, {kInf, kInf});
    CHECK(res.converged());
    // a zero-residual problem: Gauss-Newton converges quadratically to the last digits
    CHECK_CLOSE(res.x[0], 1.0, 0.0, 1e-10);
    CHECK_CLOSE(res.x[1], 1.0, 0.0, 1e-10);
    CHECK(res.cost < 1e-20);
    CHECK(res.at_bound[0] == 0 && res.at_bound[1] == 0);
    CHECK(res.evaluations < 50);

    cellcore::LsqOptions short_budget;
    short_budget.max_evaluations = 3;
    const LsqResult cut = cellcore::least_squares_bounded(
        f, 2, {-1.2, 1.0}, {-kInf, -kInf}, {kInf, kInf}, short_budget);
    CHECK(cut.status == LsqStatus::max_evaluations && !cut.converged());
    CHECK(cut.evaluations == 3 && cut.cost < 12.1); // below the start's cost, 12.1
}

TEST(exponential_decay_is_recovered) {
    const std::vector<double> t = times(200, 0.05), y = decay(t, 2.0, 3.0, 0.5);
    const LsqResult res =
        cellcore::least_squares_bounded(decay_residual(t, y), t.size(), {1.0, 0.5, 0.0},
                                        {-kInf, 1e-3, -kInf}, {kInf, kInf, kInf});
    CHECK(res.converged());
    // noise-free data: only rounding separates the fit from the truth
    CHECK_CLOSE(res.x[0], 2.0, 1e-9, 0.0);
    CHECK_CLOSE(res.x[1], 3.0, 1e-9, 0.0);
    CHECK_CLOSE(res.x[2], 0.5, 1e-9, 0.0);
}

TEST(minimum_outside_the_box_ends_on_the_flagged_bound) {
    // the data decay with tau = 3 s but the box stops tau at 2 s: the best fit in the
    // box holds tau on its bound, where a and b enter linearly and have a closed form
    const std::vector<double> t = times(200, 0.05), y = decay(t, 2.0, 3.0, 0.5);
    const LsqResult res =
        cellcore::least_squares_bounded(decay_residual(t, y), t.size(), {1.0, 1.0, 0.0},
                                        {-kInf, 0.1, -kInf}, {kInf, 2.0, kInf});
    CHECK(res.converged());
    CHECK(res.x[1] == 2.0);
    CHECK(res.at_bound[0] == 0 && res.at_bound[1] == 1 && res.at_bound[2] == 0);
    double se = 0, s1 = 0, see = 0, sy = 0, sey = 0;
    const double n = static_cast<double>(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) {
        const double e = std::exp(-t[k] / 2.0);
        se += e, s1 += 1.0, see += e * e, sy += y[k], sey += e * y[k];
    }
    const double det = see * n - se * se;
    CHECK_CLOSE(res.x[0], (n * sey - se * sy) / det, 1e-9, 0.0);
    CHECK_CLOSE(res.x[2], (see * sy - se * sey) / det, 1e-9, 0.0);
}

TEST(one_rc_circuit_is_recovered_in_log_parameters) {
    const Pulse p;
    const double truth[3] = {0.03, 0.015, 1000.0}; // R0, R1, C1: tau 15 s
    std::vector<double> v(p.t.size()), y(p.t.size()), jac(3 * p.t.size());
    const cellcore::RcPair pair{truth[1], truth[2]};
    cellcore::rc_circuit_response(truth[0], Span<const cellcore::RcPair>(&pair, 1), p.t,
                                  p.u, v, {});
    // x = log(R0, R1, C1): the residual in volts, the Jacobian by the chain rule
    auto f = [&](Span<const double> x, Span<double> r, Span<double> out) {
        const double r0 = std::exp(x[0]);
        const cellcore::RcPair rc{std::exp(x[1]), std::exp(x[2])};
        cellcore::rc_circuit_response(r0, Span<const cellcore::RcPair>(&rc, 1), p.t,
                                      p.u, y, jac);
        for (std::size_t k = 0; k < y.size(); ++k) {
            r[k] = y[k] - v[k];
            if (!out.empty()) {
                out[3 * k] = jac[3 * k] * r0;
                out[3 * k + 1] = jac[3 * k + 1] * rc.r_ohm;
                out[3 * k + 2] = jac[3 * k + 2] * rc.c_f;
            }
        }
    };
    const LsqResult res = cellcore::least_squares_bounded(
        f, p.t.size(), {std::log(0.01), std::log(0.05), std::log(200.0)},
        {std::log(1e-5), std::log(1e-5), std::log(1.0)},
        {std::log(1.0), std::log(1.0), std::log(1e6)});
    CHECK(res.converged());
    for (int j = 0; j < 3; ++j) {
        CHECK_CLOSE(std::exp(res.x[j]), truth[j], 1e-8, 0.0);
        CHECK(res.at_bound[j] == 0);
    }
}

TEST(one_rc_circuit_is_recovered_in_ohms_and_farads) {
    // the same fit without the logarithms: columns six orders of magnitude apart
    const Pulse p;
    const double truth[3] = {0.03, 0.015, 1000.0};
    std::vector<double> v(p.t.size());
    const cellcore::RcPair pair{truth[1], truth[2]};
    cellcore::rc_circuit_response(truth[0], Span<const cellcore::RcPair>(&pair, 1), p.t,
                                  p.u, v, {});
    std::vector<double> y(p.t.size());
    auto f = [&](Span<const double> x, Span<double> r, Span<double> jac) {
        const cellcore::RcPair rc{x[1], x[2]};
        cellcore::rc_circuit_response(x[0], Span<const cellcore::RcPair>(&rc, 1), p.t,
                                      p.u, y, jac);
        for (std::size_t k = 0; k < y.size(); ++k)
            r[k] = y[k] - v[k];
    };
    const LsqResult res = cellcore::least_squares_bounded(
        f, p.t.size(), {0.01, 0.05, 200.0}, {0.0, 1e-5, 1.0}, {1.0, 1.0, 1e6});
    CHECK(res.converged());
    for (int j = 0; j < 3; ++j)
        CHECK_CLOSE(res.x[j], truth[j], 1e-8, 0.0);
}

TEST(two_pairs_with_one_time_constant_still_fit) {
    // two pairs of equal time constant act as one: the data fix only R1 + R2, so
    // the Jacobian is singular along the split, the normal equations give way to QR,
    // and the split parameters get infinite standard errors
    const Pulse p;
    const cellcore::RcPair truth[2] = {{0.01, 1000.0}, {0.02, 500.0}}; // both 10 s
    std::vector<double> v(p.t.size()), y(p.t.size()), dy(5 * p.t.size());
    cellcore::rc_circuit_response(0.03, Span<const cellcore::RcPair>(truth, 2), p.t,
                                  p.u, v, {});
    auto f = [&](Span<const double> x, Span<double> r, Span<double> jac) {
        const cellcore::RcPair rc[2] = {{std::exp(x[1]), std::exp(x[2])},
                                        {std::exp(x[3]), std::exp(x[4])}};
        cellcore::rc_circuit_response(std::exp(x[0]),
                                      Span<const cellcore::RcPair>(rc, 2), p.t, p.u, y,
                                      jac.empty() ? Span<double>() : dy);
        for (std::size_t k = 0; k < y.size(); ++k) {
            r[k] = y[k] - v[k];
            for (std::size_t j = 0; j < jac.size() / y.size(); ++j)
                jac[5 * k + j] = dy[5 * k + j] * std::exp(x[j]);
        }
    };
    cellcore::LsqOptions unit;
    unit.x_scale.assign(5, 1.0);
    // both pairs start with a 10 s time constant: the split stays singular throughout
    const LsqResult res = cellcore::least_squares_bounded(
        f, p.t.size(),
        {std::log(0.02), std::log(0.02), std::log(500.0), std::log(0.01),
         std::log(1000.0)},
        std::vector<double>(5, -20.0), std::vector<double>(5, 20.0), unit);
    CHECK(res.converged());
    CHECK(res.cost < 1e-20); // noise-free: the minimum is an exact fit
    CHECK_CLOSE(std::exp(res.x[0]), 0.03, 1e-8, 0.0);
    CHECK_CLOSE(std::exp(res.x[1]) + std::exp(res.x[3]), 0.03, 1e-8, 0.0);
    CHECK(std::isinf(res.std_error[1]) && std::isinf(res.std_error[3]));
}

TEST(trials_where_the_model_is_undefined_are_rejected) {
    // exp(x - 10) = e^2 at x = 12; the model is undefined beyond 12.5, where the first
    // Gauss-Newton step from 10.5 lands (at 13.98)
    auto f = [](Span<const double> x, Span<double> r, Span<double> jac) {
        const double e = x[0] > 12.5 ? kNan : std::exp(x[0] - 10.0);
        r[0] = e - std::exp(2.0);
        if (!jac.empty())
            jac[0] = e;
    };
    const LsqResult res =
        cellcore::least_squares_bounded(f, 1, {10.5}, {-kInf}, {kInf});
    CHECK(res.converged());
    CHECK_CLOSE(res.x[0], 12.0, 0.0, 1e-10);
    CHECK(res.evaluations > res.iterations + 1); // at least one trial was refused
    CHECK(std::isnan(res.std_error[0]));         // one residual, one parameter

    // undefined at the start itself: nothing to iterate from
    const LsqResult bad =
        cellcore::least_squares_bounded(f, 1, {13.0}, {-kInf}, {kInf});
    CHECK(bad.status == LsqStatus::failed && !bad.converged());
    CHECK(bad.evaluations == 1 && bad.x[0] == 13.0);
}

TEST(std_errors_of_a_straight_line_match_the_closed_form) {
    const std::size_t m = 50;
    const std::vector<double> t = times(m, 0.2);
    std::vector<double> y(m);
    for (std::size_t k = 0; k < m; ++k) // a line with deterministic scatter
        y[k] = 1.5 - 0.7 * t[k] + 0.01 * std::sin(7.3 * static_cast<double>(k));
    auto f = [&](Span<const double> x, Span<double> r, Span<double> jac) {
        for (std::size_t k = 0; k < m; ++k) {
            r[k] = x[0] + x[1] * t[k] - y[k];
            if (!jac.empty()) {
                jac[2 * k] = 1.0;
                jac[2 * k + 1] = t[k];
            }
        }
    };
    const LsqResult res =
        cellcore::least_squares_bounded(f, m, {0.0, 0.0}, {-kInf, -kInf}, {kInf, kInf});
    CHECK(res.converged());
    double t_mean = 0, y_mean = 0;
    for (std::size_t k = 0; k < m; ++k)
        t_mean += t[k] / m, y_mean += y[k] / m;
    double sxx = 0, sxy = 0;
    for (std::size_t k = 0; k < m; ++k)
        sxx += (t[k] - t_mean) * (t[k] - t_mean),
            sxy += (t[k] - t_mean) * (y[k] - y_mean);
    const double slope = sxy / sxx, intercept = y_mean - slope * t_mean;
    double ssr = 0;
    for (std::size_t k = 0; k < m; ++k)
        ssr += std::pow(y[k] - intercept - slope * t[k], 2);
    const double s2 = ssr / static_cast<double>(m - 2);
    // a linear problem: one Gauss-Newton step is exact up to rounding
    CHECK_CLOSE(res.x[0], intercept, 1e-10, 0.0);
    CHECK_CLOSE(res.x[1], slope, 1e-10, 0.0);
    CHECK_CLOSE(res.cost, 0.5 * ssr, 1e-10, 0.0);
    CHECK_CLOSE(res.std_error[0], std::sqrt(s2 * (1.0 / m + t_mean * t_mean / sxx)),
                1e-9, 0.0);
    CHECK_CLOSE(res.std_error[1], std::sqrt(s2 / sxx), 1e-9, 0.0);
}

TEST(inconsistent_arguments_are_refused) {
    auto f = [](Span<const double> x, Span<double> r, Span<double>) { r[0] = x[0]; };
    using cellcore::least_squares_bounded;
    CHECK_THROWS(least_squares_bounded(f, 1, {0.0}, {0.0, 0.0}, {1.0}),
                 std::invalid_argument);
    CHECK_THROWS(least_squares_bounded(f, 1, {0.0}, {1.0}, {0.0}),
                 std::invalid_argument);
    CHECK_THROWS(least_squares_bounded(f, 1, {kNan}, {0.0}, {1.0}),
                 std::invalid_argument);
    CHECK_THROWS(least_squares_bounded(f, 0, {0.0}, {0.0}, {1.0}),
                 std::invalid_argument);
    CHECK_THROWS(least_squares_bounded(f, 1, {0.0}, {kInf}, {kInf}),
                 std::invalid_argument);
}
