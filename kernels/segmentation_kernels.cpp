// _cellkernels: the pulse bookkeeping of a record (index ranges, pulse pairing, the OCV
// knots along the time axis), for tests that pin the index conventions down directly.
#include <pybind11/numpy.h>

#include <cmath>

#include "bridge/arrays.hpp"
#include "core/ocv_knots.hpp"
#include "core/segmentation.hpp"
#include "kernels/kernels.hpp"

namespace py = pybind11;

void register_segmentation_kernels(py::module_& m) {
    m.def(
        "slice_range",
        [](long long a, long long b, std::size_t n) {
            const cellcore::Range r = cellcore::slice_range(a, b, n);
            return py::make_tuple(r.begin, r.end);
        },
        py::arg("a"), py::arg("b"), py::arg("n"),
        "[a, b) over n entries as (begin, end), negative bounds counted from the end.");
    m.def(
        "pair_load_ends",
        [](const bridge::IndexArray& rest, const bridge::IndexArray& load,
           long long record_end) {
            return bridge::to_numpy(
                cellcore::pair_load_ends(bridge::view<long long>(rest),
                                         bridge::view<long long>(load), record_end));
        },
        py::arg("rest_ends"), py::arg("load_ends"), py::arg("record_end"),
        "Each pulse's own load end, -1 where it has none.");
    m.def(
        "ocv_time_knots",
        [](const bridge::InArray& t, const bridge::InArray& v,
           const bridge::IndexArray& rest, const bridge::IndexArray& pulse_load,
           double gap_s) {
            if (t.size() != v.size() || rest.size() != pulse_load.size() ||
                t.size() == 0)
                throw cellcore::InputError("ocv_time_knots: mismatched lengths");
            const cellcore::OcvKnots k = cellcore::ocv_time_knots(
                bridge::view<double>(t), bridge::view<double>(v),
                bridge::view<long long>(rest), bridge::view<long long>(pulse_load),
                gap_s);
            return py::make_tuple(bridge::to_numpy(k.time_s), bridge::to_numpy(k.volts),
                                  bridge::to_numpy(k.gap_rests));
        },
        py::arg("t"), py::arg("v"), py::arg("rest_ends"), py::arg("pulse_load_ends"),
        py::arg("gap_s") = INFINITY,
        "Knot times, knot voltages and the rest ends after a gap, of the OCV over "
        "time.");
    m.def(
        "gap_threshold_s",
        [](const bridge::InArray& t) {
            return cellcore::gap_threshold_s(bridge::view<double>(t));
        },
        py::arg("t"), "The shortest step between samples that counts as a gap.");
}
