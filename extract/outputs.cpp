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

py::dict parameter_map(const Record& rec) {
    py::dict p;
    p["TempC"] = rec.temperature;
    p["Tparam_1"] = py::float_(rec.cum_mAh[py::int_(-1)].cast<double>() / 1000);
    p["Tparam_2"] = rec.opt_median.attr("tolist")();
    p["Tparam_3"] = pair(rec.SOC.attr("tolist")(), rec.OCV_3rd.attr("tolist")());
    return p;
}

// results/<name> from the working folder and the record's file name, wherever else
// "raw_data" or ".csv" may appear in the path.
std::string output_path(const Run& run, const Record& rec, const std::string& suffix) {
    std::string name = py::str(run.lib.os.attr("path").attr("basename")(rec.infile));
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
        name.resize(name.size() - 4);
    return bridge::str(run.workdir) + "/results/" + name + suffix;
}

std::string write_parameter_file(const Run& run, const Record& rec) {
    const py::dict bat_params = parameter_map(rec);
    const std::string target = output_path(run, rec, "_params.json");
    publish(run.ws, {{"bat_params", bat_params}, {"bat_params_file", py::str(target)}});
    const std::string text = py::str(run.lib.json.attr("dumps")(bat_params));
    const std::string tmp = cellcore::temporary_path_for(target);
    cellcore::write_whole_file(tmp, text, target);
    cellcore::replace_file(tmp, target);
    info("file " + target + " written"); // only once it is in place
    return target;
}

std::string write_ocv_table(const Run& run, const Record& rec) {
    const std::string target = output_path(run, rec, "_ocv.csv");
    publish(run.ws, {{"ocv_file", py::str(target)}});
    const std::string tmp = cellcore::temporary_path_for(target);
    py::object np = run.lib.np;
    try {
        np.attr("savetxt")(tmp, np.attr("transpose")(pair(rec.SOC, rec.OCV_3rd)),
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
    return target;
}

} // namespace

void write_record_outputs(const Run& run, const Record& rec) {
    warn_about_bound_medians(rec);
    note_output(run, write_parameter_file(run, rec));
    note_output(run, write_ocv_table(run, rec));
    const std::string pulses = output_path(run, rec, "_pulses.csv");
    write_pulse_table(rec, pulses);
    note_output(run, pulses);
    const std::string points = output_path(run, rec, "_ocv_points.csv");
    write_ocv_points(rec, points);
    note_output(run, points);
}

} // namespace cellfit
