// The record reader for the engine's callers: every tool of the cellkit package reads
// a record through this, so all of them drop and refuse the same rows as the pipeline.
#include <pybind11/numpy.h>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "engine_module/bindings.hpp"
#include "records/record_table.hpp"

namespace py = pybind11;

namespace {

// The record's name as its output files carry it: the file name without ".csv".
std::string record_stem(const std::string& path) {
    std::string name = py::str(py::module_::import("os.path").attr("basename")(path));
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
        name.resize(name.size() - 4);
    return name;
}

py::object optional_column(const std::vector<double>& column) {
    return column.empty() ? py::object(py::none())
                          : py::object(bridge::to_numpy(column));
}

py::dict read_record(const py::object& path, const py::object& settings,
                     const py::object& cutoff_v, bool notes, bool voltage_optional) {
    const std::string file = py::str(py::module_::import("os").attr("fspath")(path));
    records::RecordSettings parsed = records::record_settings(settings, "");
    parsed.voltage_optional = voltage_optional;
    const records::MessageSink note = [notes](const char* level,
                                              const std::string& message) {
        bridge::log("cellkit", notes ? level : "debug", message);
    };
    records::RecordTable table = records::read_record_table(file, parsed, note);
    const py::object temperature = records::median_temperature(table.temperature);
    if (!cutoff_v.is_none())
        records::choose_test_rows(file, table, parsed, cutoff_v.cast<double>(), note);
    py::dict out;
    out["time_s"] = bridge::to_numpy(table.time_s);
    out["voltage_v"] = bridge::to_numpy(table.voltage_v);
    out["current_a"] = bridge::to_numpy(table.current_a);
    out["step_time_s"] = optional_column(table.clock.step_time_s);
    out["step_index"] = optional_column(table.clock.step_index);
    out["temperature_c"] = temperature;
    out["name"] = record_stem(file);
    return out;
}

} // namespace

void register_record_reader(py::module_& m) {
    m.def("read_record", &read_record, py::arg("path"),
          py::arg("settings") = py::none(), py::arg("cutoff_v") = py::none(),
          py::arg("notes") = true, py::arg("voltage_optional") = false,
          "Reads and cleans a record: {'time_s', 'voltage_v', 'current_a' (negative "
          "while discharging), 'step_time_s', 'step_index' (the cycler's step clock, "
          "or None), 'temperature_c' (None without a usable column), 'name'}. "
          "settings: the configuration's \"columns\", \"discharge_current\", "
          "\"units\" and \"section\". With cutoff_v, the part the pipeline fits: a "
          "leading charge dropped, the section or first pulse test, up to and "
          "including the first voltage below cutoff_v. Messages go to the logger "
          "\"cellkit\" (at DEBUG with notes=False). voltage_optional: a current "
          "profile, whose voltage column may be missing (then voltage_v is NaN).");
}
