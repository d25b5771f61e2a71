// cellkit._engine's circuit constants: the parameters' names, the fits' bounds and the
// rule for a value on a bound, as the C++ side defines them, so that the report and
// the exports ask here instead of keeping their own copies.
#include <pybind11/numpy.h>

#include "bridge/arrays.hpp"
#include "core/circuit_parameters.hpp"
#include "engine_module/bindings.hpp"

namespace py = pybind11;

namespace {

py::array_t<bool> on_bound(const bridge::InArray& values) {
    py::array_t<bool> out(values.request().shape);
    const auto in = bridge::view(values);
    bool* flags = out.mutable_data();
    for (std::size_t k = 0; k < in.size(); ++k)
        flags[k] = cellcore::on_bound(in[k]);
    return out;
}

} // namespace

void register_circuit_parameters(py::module_& m) {
    py::tuple names(std::size_t{cellcore::kCircuitParameters});
    for (std::size_t k = 0; k < cellcore::kCircuitParameters; ++k)
        names[k] = py::str(cellcore::kCircuitNames[k]);
    m.attr("CIRCUIT_NAMES") = names;
    m.attr("BOUNDS") =
        py::make_tuple(cellcore::kFitLowerBound, cellcore::kFitUpperBound);
    m.attr("BOUND_TOLERANCE") = cellcore::kOnBoundTolerance;
    m.def(
        "on_bound", &on_bound, py::arg("values"),
        "True where a fitted value sits on a bound of the fit (within BOUND_TOLERANCE "
        "of BOUNDS, relative), as the pulses table's *_at_bound flags; same shape.");
}
