// Record hygiene helpers, for the Python side's record reader.
#include <pybind11/numpy.h>

#include "bridge/arrays.hpp"
#include "core/record_rows.hpp"
#include "engine_module/bindings.hpp"

namespace py = pybind11;

namespace {

py::dict increasing_time_rows(const bridge::InArray& time_s) {
    const cellcore::TimeOrder order =
        cellcore::increasing_time_rows(bridge::view(time_s));
    std::vector<long long> kept(order.kept.begin(), order.kept.end());
    py::dict out;
    out["kept"] = bridge::to_numpy(kept);
    out["repeated"] = order.repeated;
    out["backwards_row"] = order.backwards_row;
    return out;
}

} // namespace

void register_record_rows(py::module_& m) {
    m.def("increasing_time_rows", &increasing_time_rows, py::arg("time_s"),
          "Rows to keep so that time increases strictly: {'kept', 'repeated', "
          "'backwards_row'} (-1 when time never goes backwards).");
    m.def(
        "rest_current_limit_a",
        [](const bridge::InArray& i) {
            return cellcore::rest_current_limit_a(bridge::view(i));
        },
        py::arg("current_a"), "Largest current magnitude (A) that counts as rest.");
    m.def(
        "rest_after_leading_charge",
        [](const bridge::InArray& i, double limit) {
            return cellcore::rest_after_leading_charge(bridge::view(i), limit);
        },
        py::arg("current_a"), py::arg("rest_limit_a"),
        "First sample after a charge the record opens with; -1 when it opens "
        "otherwise.");
}
