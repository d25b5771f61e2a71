// _cellkernels.lsim: the core first-order-hold simulator as it is, with scipy's lsim
// return convention, so tests can check it against closed forms and scipy and the
// bench can time it without the fitting stages around it.
#include <pybind11/numpy.h>

#include <stdexcept>
#include <string>

#include "bridge/arrays.hpp"
#include "core/lsim.hpp"
#include "kernels/kernels.hpp"

namespace py = pybind11;

namespace {

void require_1d(const bridge::InArray& a, const char* name) {
    if (a.ndim() != 1)
        throw cellcore::InputError(std::string("lsim: ") + name + " must be 1-D, got " +
                                   std::to_string(a.ndim()) + "-D");
}

py::tuple lsim(const bridge::InArray& num, const bridge::InArray& den,
               const bridge::InArray& t, const bridge::InArray& u,
               const py::object& x0_obj) {
    require_1d(num, "num");
    require_1d(den, "den");
    require_1d(t, "t");
    require_1d(u, "u");
    const bridge::InArray x0 =
        x0_obj.is_none() ? bridge::InArray(0) : bridge::InArray::ensure(x0_obj);
    if (!x0)
        throw py::error_already_set();
    require_1d(x0, "x0");
    const std::size_t order =
        cellcore::lsim_order(bridge::view(num), bridge::view(den));
    const auto n = t.size();
    py::array_t<double> tout(n), yout(n);
    py::array_t<double> xout({n, static_cast<py::ssize_t>(order)});
    std::copy(t.data(), t.data() + n, tout.mutable_data());
    auto yv = bridge::view_mut(yout);
    cellcore::Span<double> xv(xout.mutable_data(),
                              static_cast<std::size_t>(xout.size()));
    {
        py::gil_scoped_release nogil; // nothing below touches a Python object
        cellcore::lsim_foh(bridge::view(num), bridge::view(den), bridge::view(t),
                           bridge::view(u), bridge::view(x0), yv, xv);
    }
    return py::make_tuple(tout, yout, xout);
}

} // namespace

void register_lsim_kernels(py::module_& m) {
    m.def("lsim", &lsim, py::arg("num"), py::arg("den"), py::arg("t"), py::arg("u"),
          py::arg("x0") = py::none(),
          "Response of num(s)/den(s) to u, linear between the samples t, from the zero "
          "state (or x0) at t[0]: returns (tout, yout, xout) as scipy's lsim does.");
}
