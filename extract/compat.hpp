// Library calls whose names changed between numpy/scipy releases: each picks the name the
// installed release has. The successors give the same results.
#pragma once

#include <pybind11/pybind11.h>

namespace cellfit {
namespace py = pybind11;

// numpy 2 renamed trapz to trapezoid; numpy 1.x has only the old name.
inline py::object np_trapezoid(const py::object& np) {
    return py::hasattr(np, "trapz") ? np.attr("trapz") : np.attr("trapezoid");
}

// scipy 1.14 removed cumtrapz in favour of cumulative_trapezoid.
inline py::object cumulative_trapezoid(const py::object& integrate) {
    return py::hasattr(integrate, "cumtrapz") ? integrate.attr("cumtrapz")
                                              : integrate.attr("cumulative_trapezoid");
}

} // namespace cellfit
