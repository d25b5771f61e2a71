// The record's results table: one row per fitted cycle, then the mean and the median of
// every circuit parameter over the cycles. The median is the record's parameter set.
#include <pybind11/numpy.h>

#include "bridge/python_text.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

py::list column_of(const py::list& results, int position, int index = -1,
                   double scale = 1) {
    py::list out;
    for (py::handle row : results) {
        py::object value = row[py::int_(position)];
        if (index >= 0)
            value = value[py::int_(index)];
        out.append(scale == 1 ? value : value * py::float_(scale));
    }
    return out;
}

void log_runtime(const Workspace& ws) {
    ws.set("stop_time", ws.get("tp")());
    py::object minutes = (ws.get("stop_time") - ws.get("start_time")) / py::int_(60);
    py::object rounded = py::module_::import("builtins").attr("round")(minutes, 1);
    ws.set("runtime_total", py::str(bridge::str(rounded) + " minutes"));
    info("Total runtime = " + bridge::str(ws.get("runtime_total")));
}

// Cycle rows: "OCV level", the circuit parameters, "RMS error (mV)" last.
py::object cycle_table(const Workspace& ws, bool two_rc) {
    const py::list results = ws.get("results");
    ws.set("rms_err", column_of(results, 0, -1, 1000));
    ws.set("R0", column_of(results, 3, 0));
    ws.set("R1", column_of(results, 3, 1));
    ws.set("C1", column_of(results, 3, 2));
    ws.set("vbat_ocv", column_of(results, 5));
    // object columns: the labelled rows below put text into the first and last column
    py::object df = ws.get("pd").attr("DataFrame")();
    auto assign = [&](const char* label, const char* name) {
        df[label] =
            ws.get("pd").attr("Series")(ws.get(name), py::arg("dtype") = "float64");
    };
    assign("OCV level", "vbat_ocv");
    assign("R0 (Ohm)", "R0");
    assign("R1 (Ohm)", "R1");
    assign("C1 (F)", "C1");
    if (two_rc) {
        ws.set("R2", column_of(results, 3, 3));
        ws.set("C2", column_of(results, 3, 4));
        assign("R2 (Ohm)", "R2");
        assign("C2 (F)", "C2");
    }
    assign("RMS error (mV)", "rms_err");
    return df;
}

py::list append_labelled_row(const py::object& df, const char* label,
                             const py::object& stats) {
    py::list row = stats.attr("tolist")();
    row.insert(0, py::str(label));
    row.append(py::str(""));
    df.attr("loc")[py::int_(py::len(df))] = row;
    return row;
}

} // namespace

void build_results_table(const Workspace& ws) {
    log_runtime(ws);
    const bool two_rc = bridge::str(ws.get("values")["model"]) == "model2";
    py::object df = cycle_table(ws, two_rc);
    const py::slice params(1, two_rc ? 6 : 4, 1);
    py::object np = ws.get("np");
    if (py::len(ws.get("results")) == 0) {
        bridge::log("cellfit", "warning",
                    record_name(ws) +
                        ": no cycle was fitted, so its circuit parameters are NaN");
        py::object nan = np.attr("full")(two_rc ? 5 : 3, np.attr("nan"));
        ws.set("opt_avg", nan);
        ws.set("opt_median", nan.attr("copy")());
    } else {
        ws.set("opt_avg", df.attr("mean")(py::arg("axis") = 0).attr("values")[params]);
        ws.set("opt_median",
               df.attr("median")(py::arg("axis") = 0).attr("values")[params]);
    }
    // text and numbers share the first and last column once the labelled rows are in
    for (const char* label : {"OCV level", "RMS error (mV)"})
        df[label] = df[label].attr("astype")("object");
    ws.set("avg_row", append_labelled_row(df, "Mean", ws.get("opt_avg")));
    ws.set("med_row", append_labelled_row(df, "Median", ws.get("opt_median")));
    ws.set("df_results", df);
}

} // namespace cellfit
