// Library calls whose names changed between numpy/scipy releases: each picks the name
// the installed release has. The successors give the same results.
#pragma once

#include <pybind11/pybind11.h>

namespace cellfit {
namespace py = pybind11;

// numpy 2 renamed trapz to trapezoid (the old name warns, then goes); numpy 1.x has
// only the old name.
inline py::object np_trapezoid(const py::object& np) {
    return py::hasattr(np, "trapezoid") ? np.attr("trapezoid") : np.attr("trapz");
}

// scipy 1.6 renamed cumtrapz to cumulative_trapezoid and 1.14 removed the old name.
inline py::object cumulative_trapezoid(const py::object& integrate) {
    return py::hasattr(integrate, "cumulative_trapezoid")
               ? integrate.attr("cumulative_trapezoid")
               : integrate.attr("cumtrapz");
}

} // namespace cellfit
