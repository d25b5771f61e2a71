// Python numbers as C++ doubles, converted as float() converts them.
#pragma once

#include <pybind11/pybind11.h>

namespace bridge {
namespace py = pybind11;

/// The value as a double, as float(value) gives it (a float, an int, anything with
/// __float__ or __index__); TypeError for what is not a number.
inline double as_double(const py::handle& value) {
    const double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred())
        throw py::error_already_set();
    return x;
}

} // namespace bridge
