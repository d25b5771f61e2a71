// The two rules the SOC tables rest on, one call each: the near rule that spreads pulse
// fits over the SOC grid, and the non-decreasing fit the OCV columns get.
#include "kernels/kernels.hpp"

#include <pybind11/numpy.h>

#include "bridge/arrays.hpp"
#include "core/engine/soc_tables.hpp"

namespace py = pybind11;

void register_table_kernels(py::module_& m) {
    m.def(
        "near_pulse_values",
        [](const bridge::InArray& pulse_soc, const bridge::InArray& values,
           const bridge::InArray& grid, double reach_soc) {
            if (pulse_soc.size() != values.size())
                throw cellcore::InputError("pulse_soc and values differ in length");
            return bridge::to_numpy(cellcore::near_pulse_values(
                bridge::view(pulse_soc), bridge::view(values), bridge::view(grid),
                reach_soc));
        },
        py::arg("pulse_soc"), py::arg("values"), py::arg("grid"), py::arg("reach_soc"),
        "Pulse values spread over the SOC grid: linear between pulses, the end values "
        "within reach_soc beyond them, NaN elsewhere.");
    m.def(
        "nondecreasing_fit",
        [](const bridge::InArray& values) {
            return bridge::to_numpy(cellcore::nondecreasing_fit(bridge::view(values)));
        },
        py::arg("values"),
        "Least-squares non-decreasing fit of values; NaN entries stay NaN.");
}
