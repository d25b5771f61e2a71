// The equivalent circuits and the residuals the solver minimises. A model maps the
// current of the fitting window to the voltage the circuit adds to the OCV; the
// residual is the measured voltage residual minus that. Both read the window from the
// workspace at every call, so the fitting stages switch windows by rebinding t_vec,
// xdata and ydata.
#include <pybind11/numpy.h>

#include <algorithm>
#include <vector>

#include "bridge/arrays.hpp"
#include "bridge/numbers.hpp"
#include "bridge/python_text.hpp"
#include "bridge/signature.hpp"
#include "core/engine/hold_grid.hpp"
#include "core/lsim.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

// What the circuit functions of a record hold: the workspace they read the window from
// at every call, and the record's times and the step changes the cycler placed in
// time, fixed when they are bound.
struct Circuit {
    Workspace ws;
    py::object t;
    std::vector<cellcore::StepChange> logged_steps;
};

using Coefficients = std::vector<double>;

// The native lsim2 object. Held for the life of the interpreter (never released), so
// the models can tell it apart from a replacement a user binds under the same name.
PyObject* native_lsim2 = nullptr;

double number(const py::handle& value) { return bridge::as_double(value); }

py::list as_list(const Coefficients& c, bool last_is_one) {
    py::list out;
    for (std::size_t k = 0; k < c.size(); ++k) {
        if (last_is_one && k + 1 == c.size())
            out.append(py::int_(1));
        else
            out.append(py::float_(c[k]));
    }
    return out;
}

Coefficients coefficients(const py::handle& seq) {
    Coefficients c;
    for (py::handle x : py::reinterpret_borrow<py::object>(seq))
        c.push_back(number(x));
    return c;
}

py::tuple simulate_native(const Coefficients& num, const Coefficients& den,
                          const bridge::InArray& t, const bridge::InArray& u,
                          const py::object& x0_obj) {
    if (t.ndim() != 1 || u.ndim() != 1 || t.size() != u.size())
        throw cellcore::InputError("lsim2: U and T must be 1-D and of equal length");
    const std::size_t order = cellcore::lsim_order(num, den);
    const std::size_t n = static_cast<std::size_t>(t.size());
    Coefficients x0 = x0_obj.is_none() ? Coefficients{} : coefficients(x0_obj);
    py::array_t<double> y(static_cast<py::ssize_t>(n));
    py::array_t<double> x(
        {static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(order)});
    auto yv = bridge::view_mut(y);
    cellcore::Span<double> xv(x.mutable_data(), n * order);
    {
        py::gil_scoped_release nogil;
        cellcore::lsim_foh(num, den, bridge::view<double>(t), bridge::view<double>(u),
                           x0, yv, xv);
    }
    return py::make_tuple(t, y, x);
}

// scipy's lsim2 calling convention: system = (num, den); integrator keywords such as
// hmax are accepted and ignored, since the discretisation is exact.
py::tuple lsim2(const py::object& system, const py::object& U, const py::object& T,
                const py::object& X0, const py::kwargs&) {
    if (!py::isinstance<py::sequence>(system) || py::len(system) != 2)
        throw py::type_error("lsim2: system must be a (num, den) pair");
    py::object times =
        T.is_none() ? py::module_::import("numpy").attr("linspace")(0, 10.0, 101) : T;
    const bridge::InArray t = times;
    const bridge::InArray u =
        U.is_none() ? py::module_::import("numpy").attr("zeros")(t.size()) : U;
    return simulate_native(coefficients(system[py::int_(0)]),
                           coefficients(system[py::int_(1)]), t, u, X0);
}

// The step changes the cycler logged late that fall between two samples of the window,
// as changes of the window's own rows.
std::vector<cellcore::StepChange>
changes_in_window(const Circuit& c, cellcore::Span<const double> window) {
    std::vector<cellcore::StepChange> inside;
    if (window.size() < 2)
        return inside;
    const std::vector<cellcore::StepChange>& all = c.logged_steps;
    if (all.empty())
        return inside;
    const bridge::InArray t = c.t;
    const auto times = bridge::view<double>(t);
    for (const cellcore::StepChange& change : all) {
        const double before = times[change.q - 1];
        const double* at = std::lower_bound(window.begin(), window.end(), before);
        if (at + 1 < window.end() && *at == before && at[1] == times[change.q])
            inside.push_back(
                {static_cast<std::size_t>(at - window.begin()) + 1, change.at_s});
    }
    return inside;
}

// The circuit natively over the window, the current switching at the step changes the
// cycler logged late instead of ramping between the samples around them.
py::object simulate_window(const Circuit& c, const Coefficients& num,
                           const Coefficients& den, const bridge::InArray& t,
                           const bridge::InArray& u) {
    if (t.ndim() != 1 || u.ndim() != 1 || t.size() != u.size())
        throw cellcore::InputError("lsim2: U and T must be 1-D and of equal length");
    const auto times = bridge::view<double>(t);
    const std::vector<cellcore::StepChange> inside = changes_in_window(c, times);
    if (inside.empty())
        return simulate_native(num, den, t, u, py::none())[1];
    const cellcore::HoldGrid grid =
        cellcore::hold_grid(times, bridge::view<double>(u), inside);
    std::vector<double> y(grid.time_s.size());
    cellcore::lsim_foh(num, den, grid.time_s, grid.current_a, {}, y, {});
    std::vector<double> out(grid.at_sample.size());
    for (std::size_t k = 0; k < out.size(); ++k)
        out[k] = y[grid.at_sample[k]];
    return bridge::to_numpy(out);
}

// The circuit's output over the window: natively when lsim2 is ours, else through
// whatever is bound as lsim2, called as scipy's would be.
py::object simulate(const Circuit& c, const py::object& x, const Coefficients& num,
                    const Coefficients& den) {
    py::object lsim = c.ws.get("lsim2");
    py::object t_vec = c.ws.get("t_vec");
    if (lsim.ptr() == native_lsim2)
        return simulate_window(c, num, den, t_vec, x);
    py::object result =
        lsim(py::make_tuple(as_list(num, false), as_list(den, true)), py::arg("U") = x,
             py::arg("T") = t_vec, py::arg("hmax") = 0.5);
    py::object unpacked = py::module_::import("builtins").attr("tuple")(result);
    if (py::len(unpacked) != 3)
        throw cellcore::InputError("lsim2 returned " + bridge::str(py::len(unpacked)) +
                                   " values, expected 3 (tout, yout, xout)");
    return unpacked[py::int_(1)];
}

// R0 + R1/(1 + R1 C1 s), over a common denominator; products are formed left to right.
py::object model1(const Circuit& c, const py::args& args, const py::kwargs& kwargs) {
    static const bridge::Signature sig{"model1", {"x", "r0", "r1", "c1"}, 4};
    const auto a = bridge::bind_arguments(sig, args, kwargs);
    const double r0 = number(a[1]), r1 = number(a[2]), c1 = number(a[3]);
    const Coefficients num{c1 * r0 * r1, r0 + r1};
    const Coefficients den{r1 * c1, 1.0};
    return simulate(c, a[0], num, den);
}

// R0 + R1/(1 + R1 C1 s) + R2/(1 + R2 C2 s) with R0, R1, C1 from the cycle's first pass.
py::object model2_r2c2(const Circuit& c, const py::args& args,
                       const py::kwargs& kwargs) {
    static const bridge::Signature sig{"model2_r2c2", {"x", "r2", "c2"}, 3};
    const auto a = bridge::bind_arguments(sig, args, kwargs);
    const double r0 = number(c.ws.get("gr0")), r1 = number(c.ws.get("gr1")),
                 c1 = number(c.ws.get("gc1"));
    const double r2 = number(a[1]), c2 = number(a[2]);
    const Coefficients num{c1 * c2 * r0 * r1 * r2,
                           c1 * r0 * r1 + c1 * r1 * r2 + c2 * r0 * r2 + c2 * r1 * r2,
                           r0 + r1 + r2};
    const Coefficients den{r1 * r2 * c1 * c2, r1 * c1 + r2 * c2, 1.0};
    return simulate(c, a[0], num, den);
}

// Measured minus modelled over the window.
py::object residual(const Circuit& c, const char* name, const char* model,
                    const py::args& args, const py::kwargs& kwargs) {
    const bridge::Signature sig{name, {"params"}, 1};
    const auto a = bridge::bind_arguments(sig, args, kwargs);
    py::object ydata = c.ws.get("ydata");
    py::object fn = c.ws.get(model);
    return ydata - fn(c.ws.get("xdata"), *a[0]);
}

} // namespace

void register_lsim2(const py::module_& m) {
    if (native_lsim2 != nullptr)
        return;
    py::cpp_function fn(
        &lsim2, py::name("lsim2"), py::scope(m), py::sibling(py::none()),
        py::arg("system"), py::arg("U") = py::none(), py::arg("T") = py::none(),
        py::arg("X0") = py::none(),
        "Response of a proper transfer function (num, den) to the input U at the "
        "times T, "
        "input linear between samples: returns (tout, yout, xout).");
    native_lsim2 = fn.release().ptr();
}

py::object native_lsim2_function() {
    if (native_lsim2 == nullptr)
        throw std::logic_error("lsim2 is used before register_lsim2");
    return py::reinterpret_borrow<py::object>(native_lsim2);
}

void bind_circuit_models(const Run& run, const Record& rec) {
    const Workspace& ws = run.ws;
    const Circuit c{ws, rec.t, rec.logged_steps};
    bind_function(ws, "model1", c, model1,
                  "model1(x, r0, r1, c1): one-RC circuit voltage over t_vec.");
    bind_function(
        ws, "model2_r2c2", c, model2_r2c2,
        "model2_r2c2(x, r2, c2): two-RC circuit voltage, R0/R1/C1 from gr0/gr1/gc1.");
    bind_function(
        ws, "fit_ls1", c,
        [](const Circuit& w, const py::args& a, const py::kwargs& k) {
            return residual(w, "fit_ls1", "model1", a, k);
        },
        "fit_ls1(params): ydata - model1(xdata, *params).");
    bind_function(
        ws, "fit_ls2", c,
        [](const Circuit& w, const py::args& a, const py::kwargs& k) {
            return residual(w, "fit_ls2", "model2_r2c2", a, k);
        },
        "fit_ls2(params): ydata - model2_r2c2(xdata, *params).");
}

} // namespace cellfit
