// _cellkernels.rc_circuit and .std_errors: the pair-by-pair circuit simulator with its
// sensitivities, and the standard errors of a fit, as the joint two-RC fit uses them,
// so tests can hold them against closed forms, finite differences and numpy.
#include <pybind11/numpy.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/arrays.hpp"
#include "core/fit_uncertainty.hpp"
#include "core/rc_circuit.hpp"
#include "kernels/kernels.hpp"

namespace py = pybind11;

namespace {

py::object rc_circuit(const bridge::InArray& t, const bridge::InArray& u, double r0_ohm,
                      const bridge::InArray& r_ohm, const bridge::InArray& c_f,
                      bool jacobian) {
    if (t.ndim() != 1 || u.ndim() != 1 || r_ohm.ndim() != 1 || c_f.ndim() != 1)
        throw cellcore::InputError("rc_circuit: t, u, r and c must be 1-D");
    if (r_ohm.size() != c_f.size())
        throw cellcore::InputError("rc_circuit: r and c differ in length");
    std::vector<cellcore::RcPair> pairs;
    for (py::ssize_t p = 0; p < r_ohm.size(); ++p)
        pairs.push_back({r_ohm.at(p), c_f.at(p)});
    const py::ssize_t n = t.size();
    const auto columns = static_cast<py::ssize_t>(1 + 2 * pairs.size());
    py::array_t<double> y(n);
    py::array_t<double> jac =
        jacobian ? py::array_t<double>({n, columns}) : py::array_t<double>(0);
    auto yv = bridge::view_mut(y);
    auto jv = bridge::view_mut(jac);
    {
        py::gil_scoped_release nogil; // nothing below touches a Python object
        cellcore::rc_circuit_response(r0_ohm, pairs, bridge::view(t), bridge::view(u),
                                      yv, jv);
    }
    if (jacobian)
        return py::make_tuple(y, jac);
    return std::move(y);
}

py::array_t<double> std_errors(const bridge::InArray& jac,
                               const bridge::InArray& residual) {
    if (jac.ndim() != 2 || residual.ndim() != 1 || jac.shape(0) != residual.size())
        throw cellcore::InputError(
            "std_errors: jac must be m x p and residual of length m");
    py::array_t<double> out(jac.shape(1));
    auto ov = bridge::view_mut(out);
    cellcore::parameter_std_errors(bridge::view(jac), bridge::view(residual), ov);
    return out;
}

} // namespace

void register_rc_circuit_kernels(py::module_& m) {
    m.def("rc_circuit", &rc_circuit, py::arg("t"), py::arg("u"), py::arg("r0"),
          py::arg("r"), py::arg("c"), py::arg("jacobian") = false,
          "Voltage of R0 and the RC pairs (r[k], c[k]) for the current u, linear "
          "between the samples t; with jacobian=True returns (y, dy/d[R0, R1, C1, "
          "...]).");
    m.def("std_errors", &std_errors, py::arg("jac"), py::arg("residual"),
          "Standard errors sqrt(diag(s^2 (J^T J)^-1)), s^2 = sum(residual^2)/(m - p); "
          "inf where the data leave a parameter free.");
}
