// cellkit._engine.simulate_model: the merged model over a whole record, for validation.
#include <pybind11/numpy.h>

#include <stdexcept>
#include <vector>

#include "bridge/arrays.hpp"
#include "core/engine/model_simulation.hpp"
#include "engine_module/bindings.hpp"

namespace py = pybind11;

namespace {

void check_1d(const bridge::InArray& a, const char* name) {
    if (a.ndim() != 1)
        throw cellcore::InputError(std::string("simulate_model: ") + name +
                                   " must be 1-D");
}

py::dict simulate_model(const bridge::InArray& time_s, const bridge::InArray& current_a,
                        const bridge::InArray& ocv_soc, const bridge::InArray& ocv_v,
                        double capacity_ah, double r0_ohm, const bridge::InArray& r_ohm,
                        const bridge::InArray& c_f, double soc_start) {
    check_1d(time_s, "time_s");
    check_1d(current_a, "current_a");
    check_1d(ocv_soc, "ocv_soc");
    check_1d(ocv_v, "ocv_v");
    check_1d(r_ohm, "r_ohm");
    check_1d(c_f, "c_f");
    if (r_ohm.size() != c_f.size())
        throw cellcore::InputError("simulate_model: r_ohm and c_f differ in length");
    cellcore::CellModel model;
    model.ocv = {bridge::view(ocv_soc), bridge::view(ocv_v)};
    model.capacity_ah = capacity_ah;
    model.r0_ohm = r0_ohm;
    for (py::ssize_t p = 0; p < r_ohm.size(); ++p)
        model.pairs.push_back({r_ohm.at(p), c_f.at(p)});
    py::array_t<double> voltage(time_s.size()), soc(time_s.size());
    auto v = bridge::view_mut(voltage);
    auto s = bridge::view_mut(soc);
    {
        py::gil_scoped_release nogil; // nothing below touches a Python object
        cellcore::simulate_model(model, bridge::view(time_s), bridge::view(current_a),
                                 soc_start, v, s);
    }
    py::dict out;
    out["voltage_v"] = voltage;
    out["soc"] = soc;
    return out;
}

py::array_t<double> varying_circuit(const bridge::InArray& time_s,
                                    const bridge::InArray& current_a,
                                    const bridge::InArray& r0_ohm,
                                    const bridge::InArray& r_ohm,
                                    const bridge::InArray& c_f) {
    py::array_t<double> voltage(time_s.size());
    auto v = bridge::view_mut(voltage);
    {
        py::gil_scoped_release nogil;
        cellcore::varying_circuit_response(
            bridge::view(time_s), bridge::view(current_a), bridge::view(r0_ohm),
            bridge::view(r_ohm), bridge::view(c_f), v);
    }
    return voltage;
}

} // namespace

void register_model_simulation(py::module_& m) {
    m.def("varying_circuit", &varying_circuit, py::arg("time_s"), py::arg("current_a"),
          py::arg("r0_ohm"), py::arg("r_ohm"), py::arg("c_f"),
          "Voltage of R0 and RC pairs whose values change per sample (r_ohm, c_f: "
          "pairs x samples); each step keeps its start's pair values, the current "
          "linear between samples; pairs relaxed at the start.");
    m.def("simulate_model", &simulate_model, py::arg("time_s"), py::arg("current_a"),
          py::arg("ocv_soc"), py::arg("ocv_v"), py::arg("capacity_ah"),
          py::arg("r0_ohm"), py::arg("r_ohm"), py::arg("c_f"),
          py::arg("soc_start") = 1.0,
          "Terminal voltage of OCV(SOC) + R0 + RC pairs (r_ohm[k], c_f[k]) for the "
          "current, SOC counted from soc_start, pairs relaxed at the start, current "
          "linear between samples: {'voltage_v', 'soc'}.");
}
