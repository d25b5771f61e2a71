// The joint two-RC fit. The two passes fit one RC pair to a voltage fall that carries
// both pairs and then the slow pair to what is left, so the fast pair soaks up part of
// the slow one: R1 comes out high, R2 low and C2 far too large. Fitted together over
// the whole pulse and rest, the five parameters separate, because the rest shows the
// two relaxations side by side. The two-pass result is a good start for that fit.
//
// The circuit is simulated pair by pair (core/rc_circuit), which gives the solver the
// exact derivatives of the output along with it at the cost of about one more
// simulation, instead of five more for finite differences. The two pairs enter the
// output symmetrically, so a fit could end with them in either order; the start and
// the answer are put in time-constant order (tau1 < tau2), which leaves the cost
// unchanged and keeps R1, C1 the fast pair in every row of the table.
#include <pybind11/numpy.h>

#include <cmath>
#include <utility>
#include <vector>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "bridge/signature.hpp"
#include "core/fit_uncertainty.hpp"
#include "core/rc_circuit.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

using bridge::str;
constexpr std::size_t kParams = 5; // R0, R1, C1, R2, C2

struct TwoRc {
    double p[kParams];
};

TwoRc two_rc(const py::handle& params, const char* caller) {
    py::object seq = py::reinterpret_borrow<py::object>(params);
    if (py::len(seq) != kParams)
        throw cellcore::InputError(
            std::string(caller) +
            ": params must hold 5 values (R0, R1, C1, R2, C2), got " +
            str(py::len(seq)));
    TwoRc c{};
    std::size_t k = 0;
    for (py::handle v : seq)
        c.p[k++] = py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
    return c;
}

/// The fast pair first: tau1 = R1 C1 <= tau2 = R2 C2. Returns whether it swapped.
bool order_pairs(TwoRc& c) {
    if (c.p[1] * c.p[2] <= c.p[3] * c.p[4])
        return false;
    std::swap(c.p[1], c.p[3]);
    std::swap(c.p[2], c.p[4]);
    return true;
}

/// Circuit output over the window's times for the current x, and optionally the
/// derivatives of the output (m x 5).
py::array_t<double> respond(const Workspace& ws, const py::object& x, const TwoRc& c,
                            py::array_t<double>* jac) {
    const bridge::InArray t = ws.get("t_vec");
    const bridge::InArray u = x;
    if (t.ndim() != 1 || u.ndim() != 1 || t.size() != u.size())
        throw cellcore::InputError(
            "the fitting window's t_vec and current must be 1-D and of "
            "equal length");
    const py::ssize_t m = t.size();
    py::array_t<double> y(m);
    if (jac)
        *jac = py::array_t<double>({m, static_cast<py::ssize_t>(kParams)});
    const cellcore::RcPair pairs[2] = {{c.p[1], c.p[2]}, {c.p[3], c.p[4]}};
    auto yv = bridge::view_mut(y);
    cellcore::Span<double> jv = jac ? bridge::view_mut(*jac) : cellcore::Span<double>();
    {
        py::gil_scoped_release nogil; // nothing below touches a Python object
        cellcore::rc_circuit_response(c.p[0], {pairs, 2}, bridge::view(t),
                                      bridge::view(u), yv, jv);
    }
    return y;
}

// model2_joint(x, r0, r1, c1, r2, c2): the whole two-RC circuit with all five free.
py::object model2_joint(const Workspace& ws, const py::args& args,
                        const py::kwargs& kwargs) {
    static const bridge::Signature sig{
        "model2_joint", {"x", "r0", "r1", "c1", "r2", "c2"}, 6};
    const auto a = bridge::bind_arguments(sig, args, kwargs);
    py::list params;
    for (std::size_t k = 1; k < a.size(); ++k)
        params.append(a[k]);
    return respond(ws, a[0], two_rc(params, "model2_joint"), nullptr);
}

// Measured minus modelled over the window.
py::object fit_ls_joint(const Workspace& ws, const py::args& args,
                        const py::kwargs& kwargs) {
    static const bridge::Signature sig{"fit_ls_joint", {"params"}, 1};
    const auto a = bridge::bind_arguments(sig, args, kwargs);
    const TwoRc c = two_rc(a[0], "fit_ls_joint");
    return ws.get("ydata") - respond(ws, ws.get("xdata"), c, nullptr);
}

// The derivatives of fit_ls_joint: minus those of the circuit's output.
py::object jac_ls_joint(const Workspace& ws, const py::args& args,
                        const py::kwargs& kwargs) {
    static const bridge::Signature sig{"jac_ls_joint", {"params"}, 1};
    const auto a = bridge::bind_arguments(sig, args, kwargs);
    const TwoRc c = two_rc(a[0], "jac_ls_joint");
    py::array_t<double> jac;
    respond(ws, ws.get("xdata"), c, &jac);
    double* d = jac.mutable_data();
    for (py::ssize_t k = 0; k < jac.size(); ++k)
        d[k] = -d[k];
    return std::move(jac);
}

py::list as_list(const TwoRc& c) {
    py::list out;
    for (double v : c.p)
        out.append(py::float_(v));
    return out;
}

// Standard errors at the solution from the plain (not loss-weighted) Jacobian: with
// residuals of millivolts against a Huber scale of 1 V the loss is quadratic anyway.
std::vector<double> std_errors(const Workspace& ws, const Window& w, const TwoRc& c) {
    py::array_t<double> jac;
    py::object y = respond(ws, w.xdata, c, &jac);
    const bridge::InArray residual = w.ydata - y;
    std::vector<double> se(kParams);
    cellcore::parameter_std_errors({jac.data(), static_cast<std::size_t>(jac.size())},
                                   bridge::view(residual), se);
    return se;
}

py::list relative_percent(const std::vector<double>& se, const TwoRc& c) {
    py::object round = py::module_::import("builtins").attr("round");
    py::list out;
    for (std::size_t k = 0; k < kParams; ++k)
        out.append(round(py::float_(100.0 * se[k] / c.p[k]), 2));
    return out;
}

} // namespace

void bind_joint_model(const Run& run) {
    const Workspace& ws = run.ws;
    bind_function(
        ws, "model2_joint", ws, model2_joint,
        "model2_joint(x, r0, r1, c1, r2, c2): two-RC circuit voltage over t_vec.");
    bind_function(ws, "fit_ls_joint", ws, fit_ls_joint,
                  "fit_ls_joint(params): ydata - model2_joint(xdata, *params).");
    bind_function(
        ws, "jac_ls_joint", ws, jac_ls_joint,
        "jac_ls_joint(params): derivatives of fit_ls_joint by R0, R1, C1, R2, C2.");
}

JointFit fit_jointly(const Run& run, Record& rec, const Window& w,
                     const py::list& two_pass) {
    TwoRc start = two_rc(two_pass, "joint fit");
    order_pairs(start);
    py::object start_list = as_list(start);
    publish(run.ws, {{"params_start", start_list}});
    using py::arg;
    // x_scale='jac': the parameters span ohms to kilofarads, and without scaling the
    // trust region lets the capacitances dominate the steps; some cycles then stall
    // far from the optimum (seen at 45 degC, where R2 starts near its bound).
    py::object res = run.lib.optimize.attr("least_squares")(
        run.ws.get("fit_ls_joint"), start_list, arg("jac") = run.ws.get("jac_ls_joint"),
        arg("bounds") = fit_bounds(), arg("loss") = "huber", arg("f_scale") = 1.0,
        arg("verbose") = 2, arg("xtol") = 1e-09, arg("ftol") = 1e-09,
        arg("gtol") = 1e-09, arg("x_scale") = "jac");
    TwoRc fitted = two_rc(res.attr("x"), "joint fit");
    const bool swapped = order_pairs(fitted);
    JointFit out;
    out.fit_params = as_list(fitted);
    out.lsq_yout = respond(run.ws, w.xdata, fitted, nullptr);
    out.stop_time_i = run.lib.tp();
    info("--- Joint fit of both RC pairs ----");
    if (swapped)
        info("pairs reordered so that R1 C1 < R2 C2");
    out.residual = report_cycle_fit(run, w, out.lsq_yout, out.fit_params);
    const std::vector<double> se = std_errors(run.ws, w, fitted);
    rec.std_errors.push_back(se);
    py::list se_list;
    for (double v : se)
        se_list.append(py::float_(v));
    info("joint std errors = " + str(se_list));
    info("joint relative std errors = " + str(relative_percent(se, fitted)) + " %");
    return out;
}

} // namespace cellfit
