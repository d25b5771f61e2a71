// The record reader for the engine's callers: every tool of the cellkit package reads
// a record through this, so all of them drop and refuse the same rows as the pipeline.
#include <pybind11/numpy.h>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "engine/bindings.hpp"
#include "extract/record_table.hpp"

namespace py = pybind11;

namespace {

// The record's name as its output files carry it: the file name without ".csv".
std::string record_stem(const std::string& path) {
    std::string name = py::str(py::module_::import("os.path").attr("basename")(path));
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
        name.resize(name.size() - 4);
    return name;
}

py::dict read_record(const py::object& path, const py::object& settings,
                     bool voltage_optional) {
    const std::string file = py::str(py::module_::import("os").attr("fspath")(path));
    records::RecordSettings parsed = records::record_settings(settings, "");
    parsed.voltage_optional = voltage_optional;
    const records::RecordTable table =
        records::read_record_table(file, parsed, [](const std::string& message) {
            bridge::log("cellkit", "warning", message);
        });
    py::dict out;
    out["time_s"] = bridge::to_numpy(table.time_s);
    out["voltage_v"] = bridge::to_numpy(table.voltage_v);
    out["current_a"] = bridge::to_numpy(table.current_a);
    out["temperature_c"] = records::median_temperature(table.temperature);
    out["name"] = record_stem(file);
    return out;
}

} // namespace

void register_record_reader(py::module_& m) {
    m.def("read_record", &read_record, py::arg("path"),
          py::arg("settings") = py::none(), py::kw_only(),
          py::arg("voltage_optional") = false,
          "Reads and cleans a record: {'time_s', 'voltage_v', 'current_a' (negative "
          "while discharging), 'temperature_c' (None without a usable column), "
          "'name'}. settings: the configuration's \"columns\" and "
          "\"discharge_current\". voltage_optional: a current profile, whose voltage "
          "column may be missing (then voltage_v is NaN). Warnings go to the logger "
          "\"cellkit\".");
}
