// _cellkernels.least_squares and .fit_rc_circuit: the native bounded solver, once on
// Python callables so tests can hold it against scipy's least_squares on the same
// problems, and once on the circuit simulator with no Python inside the fit, the way
// the pulse engine runs it, so the bench can time the native fit itself.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/arrays.hpp"
#include "core/engine/least_squares.hpp"
#include "core/rc_circuit.hpp"
#include "kernels/kernels.hpp"

namespace py = pybind11;
using cellcore::Span;

namespace {

std::vector<double> to_vector(const bridge::InArray& a, const char* name) {
    if (a.ndim() != 1)
        throw cellcore::InputError(std::string("least_squares: ") + name +
                                   " must be 1-D");
    auto v = bridge::view(a);
    return {v.begin(), v.end()};
}

/// The result as a dict, named as scipy names the fields of its OptimizeResult.
py::dict result_dict(const cellcore::LsqResult& res) {
    const auto m = static_cast<py::ssize_t>(res.residual.size());
    const auto n = static_cast<py::ssize_t>(res.x.size());
    py::array_t<double> jac({m, n});
    std::copy(res.jac.begin(), res.jac.end(), jac.mutable_data());
    py::dict out;
    out["x"] = bridge::to_numpy(res.x);
    out["cost"] = res.cost;
    out["fun"] = bridge::to_numpy(res.residual);
    out["jac"] = jac;
    out["status"] = cellcore::status_name(res.status);
    out["success"] = res.converged();
    out["nfev"] = res.evaluations;
    out["njev"] = res.jacobian_evaluations;
    out["nit"] = res.iterations;
    out["active_mask"] = bridge::to_numpy(res.at_bound);
    out["std_error"] = bridge::to_numpy(res.std_error);
    return out;
}

/// The solver's options; x_scale None leaves the Jacobian's column norms as scale.
cellcore::LsqOptions options(int max_evaluations, double xtol, double ftol, double gtol,
                             const py::object& x_scale) {
    cellcore::LsqOptions o;
    o.max_evaluations = max_evaluations;
    o.xtol = xtol;
    o.ftol = ftol;
    o.gtol = gtol;
    if (!x_scale.is_none())
        o.x_scale = to_vector(bridge::InArray::ensure(x_scale), "x_scale");
    return o;
}

/// Copies what a Python callable returned into out, which fixes the expected size.
void copy_values(const py::object& value, Span<double> out, const char* what) {
    const auto a = bridge::InArray::ensure(value);
    if (!a)
        throw py::error_already_set();
    if (static_cast<std::size_t>(a.size()) != out.size())
        throw cellcore::InputError(std::string("least_squares: ") + what +
                                   " returned " + std::to_string(a.size()) +
                                   " values, expected " + std::to_string(out.size()));
    std::copy(a.data(), a.data() + a.size(), out.begin());
}

py::dict least_squares(const py::function& fun, const bridge::InArray& x0,
                       const bridge::InArray& lower, const bridge::InArray& upper,
                       const py::function& jac, int max_evaluations, double xtol,
                       double ftol, double gtol, const py::object& x_scale) {
    const std::vector<double> x = to_vector(x0, "x0");
    const std::vector<double> lo = to_vector(lower, "lower");
    const std::vector<double> hi = to_vector(upper, "upper");
    // the number of residuals, from one call at the start the solver will take
    std::vector<double> start = x;
    for (std::size_t j = 0; j < start.size() && j < lo.size() && j < hi.size(); ++j)
        start[j] = std::max(lo[j], std::min(start[j], hi[j]));
    const auto m = static_cast<std::size_t>(
        bridge::InArray::ensure(fun(bridge::to_numpy(start))).size());
    auto f = [&](Span<const double> xs, Span<double> r, Span<double> j) {
        const py::array_t<double> arg =
            bridge::to_numpy(std::vector<double>(xs.begin(), xs.end()));
        copy_values(fun(arg), r, "fun");
        if (!j.empty())
            copy_values(jac(arg), j, "jac");
    };
    return result_dict(cellcore::least_squares_bounded(
        f, m, x, lo, hi, options(max_evaluations, xtol, ftol, gtol, x_scale)));
}

/// Fits R0 and the RC pairs to the voltage v (V) that the current u (A) gives at the
/// times t (s), in log-parameters x = log(R0, R1, C1, R2, C2 ...).
py::dict fit_rc_circuit(const bridge::InArray& t, const bridge::InArray& u,
                        const bridge::InArray& v, const bridge::InArray& x0,
                        const bridge::InArray& lower, const bridge::InArray& upper,
                        int max_evaluations, double xtol, double ftol, double gtol,
                        const py::object& x_scale) {
    if (t.ndim() != 1 || t.size() != u.size() || t.size() != v.size())
        throw cellcore::InputError("fit_rc_circuit: t, u and v must be 1-D and alike");
    const std::vector<double> start = to_vector(x0, "x0");
    if (start.size() % 2 != 1)
        throw cellcore::InputError("fit_rc_circuit: x0 needs R0 and (R, C) pairs");
    const std::vector<double> lo = to_vector(lower, "lower");
    const std::vector<double> hi = to_vector(upper, "upper");
    const cellcore::LsqOptions opts =
        options(max_evaluations, xtol, ftol, gtol, x_scale);
    const auto m = static_cast<std::size_t>(t.size());
    const std::size_t n = start.size(), n_pairs = (n - 1) / 2;
    const auto tv = bridge::view(t), uv = bridge::view(u), vv = bridge::view(v);
    std::vector<double> y(m), dy(m * n), p(n);
    std::vector<cellcore::RcPair> pairs(n_pairs);
    auto f = [&](Span<const double> x, Span<double> r, Span<double> jac) {
        for (std::size_t j = 0; j < n; ++j)
            p[j] = std::exp(x[j]);
        for (std::size_t k = 0; k < n_pairs; ++k)
            pairs[k] = {p[1 + 2 * k], p[2 + 2 * k]};
        cellcore::rc_circuit_response(p[0], pairs, tv, uv, y,
                                      jac.empty() ? Span<double>() : Span<double>(dy));
        for (std::size_t k = 0; k < m; ++k)
            r[k] = y[k] - vv[k];
        if (jac.empty())
            return;
        for (std::size_t k = 0; k < m; ++k) { // d/d(log q) = q d/dq
            for (std::size_t j = 0; j < n; ++j)
                jac[k * n + j] = dy[k * n + j] * p[j];
        }
    };
    cellcore::LsqResult res;
    {
        py::gil_scoped_release nogil; // nothing below touches a Python object
        res = cellcore::least_squares_bounded(f, m, start, lo, hi, opts);
    }
    return result_dict(res);
}

} // namespace

void register_least_squares_kernels(py::module_& m) {
    const cellcore::LsqOptions d;
    m.def("least_squares", &least_squares, py::arg("fun"), py::arg("x0"),
          py::arg("lower"), py::arg("upper"), py::arg("jac"), py::kw_only(),
          py::arg("max_evaluations") = d.max_evaluations, py::arg("xtol") = d.xtol,
          py::arg("ftol") = d.ftol, py::arg("gtol") = d.gtol,
          py::arg("x_scale") = py::none(),
          "Minimise 0.5 sum(fun(x)**2) on lower <= x <= upper with the native solver; "
          "jac(x) gives the m x n Jacobian. A dict named like scipy's result.");
    m.def("fit_rc_circuit", &fit_rc_circuit, py::arg("t"), py::arg("u"), py::arg("v"),
          py::arg("x0"), py::arg("lower"), py::arg("upper"), py::kw_only(),
          py::arg("max_evaluations") = d.max_evaluations, py::arg("xtol") = d.xtol,
          py::arg("ftol") = d.ftol, py::arg("gtol") = d.gtol,
          py::arg("x_scale") = py::none(),
          "Fit log(R0, R1, C1, ...) of the circuit to the voltage v for the current u "
          "at the times t, natively, with no Python call inside the fit.");
}
