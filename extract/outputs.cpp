// The record's outputs in results/: <name>_params.json (temperature, capacity, median
// circuit parameters, OCV curve), which the model file builder reads back, and
// <name>_ocv.csv, the OCV curve as a table for people. Both are written to a temporary
// file and renamed into place, so a failure never leaves a half-written file behind;
// either failing is an OSError naming the file.
#include <cstdio>

#include "bridge/errors.hpp"
#include "bridge/python_text.hpp"
#include "core/atomic_file.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

py::list pair(const py::object& a, const py::object& b) {
    py::list out;
    out.append(a);
    out.append(b);
    return out;
}

py::dict parameter_map(const Workspace& ws) {
    py::dict p;
    p["TempC"] = ws.get("temperature");
    py::object cum = ws.get("cum_mAh");
    p["Tparam_1"] = py::float_(cum[py::int_(-1)].cast<double>() / 1000);
    p["Tparam_2"] = ws.get("opt_median").attr("tolist")();
    p["Tparam_3"] =
        pair(ws.get("SOC").attr("tolist")(), ws.get("OCV_3rd").attr("tolist")());
    return p;
}

// results/<name> from the working folder and the record's file name, wherever else
// "raw_data" or ".csv" may appear in the path.
std::string output_path(const Workspace& ws, const std::string& suffix) {
    py::object path = ws.get("os").attr("path");
    std::string name = py::str(path.attr("basename")(ws.get("infile")));
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
        name.resize(name.size() - 4);
    return bridge::str(ws.get("workdir")) + "/results/" + name + suffix;
}

void write_parameter_file(const Workspace& ws) {
    ws.set("bat_params", parameter_map(ws));
    const std::string target = output_path(ws, "_params.json");
    ws.set("bat_params_file", py::str(target));
    const std::string text =
        py::str(ws.get("json").attr("dumps")(ws.get("bat_params")));
    const std::string tmp = cellcore::temporary_path_for(target);
    cellcore::write_whole_file(tmp, text, target);
    cellcore::replace_file(tmp, target);
    info("file " + target + " written"); // only once it is in place
}

void write_ocv_table(const Workspace& ws) {
    const std::string target = output_path(ws, "_ocv.csv");
    ws.set("ocv_file", py::str(target));
    const std::string tmp = cellcore::temporary_path_for(target);
    py::object np = ws.get("np");
    try {
        np.attr("savetxt")(tmp,
                           np.attr("transpose")(pair(ws.get("SOC"), ws.get("OCV_3rd"))),
                           py::arg("header") = "SOC,OCV", py::arg("delimiter") = ",");
    } catch (py::error_already_set& e) {
        std::remove(tmp.c_str());
        // a full disk or a folder we may not write: the error names the table, as the
        // parameter file's does
        if (e.matches(PyExc_OSError))
            bridge::raise_file_error_from(e, target + ": writing the file failed (" +
                                                 bridge::str(e.value()) + ")");
        throw;
    } catch (...) {
        std::remove(tmp.c_str());
        throw;
    }
    cellcore::replace_file(tmp, target);
    info("Saved file " + target);
}

} // namespace

void write_record_outputs(const Workspace& ws) {
    warn_about_bound_medians(ws);
    write_parameter_file(ws);
    note_output(ws, bridge::str(ws.get("bat_params_file")));
    write_ocv_table(ws);
    note_output(ws, bridge::str(ws.get("ocv_file")));
    const std::string pulses = output_path(ws, "_pulses.csv");
    write_pulse_table(ws, pulses);
    note_output(ws, pulses);
    const std::string points = output_path(ws, "_ocv_points.csv");
    write_ocv_points(ws, points);
    note_output(ws, points);
}

} // namespace cellfit
