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

// The record's runtime line; returns the clock reading and the text.
std::pair<py::object, py::str> log_runtime(const Run& run) {
    const py::object stop_time = run.lib.tp();
    py::object minutes = (stop_time - run.ws.get("start_time")) / py::int_(60);
    py::object rounded = py::module_::import("builtins").attr("round")(minutes, 1);
    const py::str runtime_total(bridge::str(rounded) + " minutes");
    info("Total runtime = " + bridge::str(runtime_total));
    return {stop_time, runtime_total};
}

// The lists the table's columns are made from, by their workspace names.
struct Columns {
    py::list vbat_ocv, R0, R1, C1, R2, C2, rms_err;
};

// Cycle rows: "OCV level", the circuit parameters, "RMS error (mV)" last.
py::object cycle_table(const Run& run, const Record& rec, Columns& lists) {
    const py::list& results = rec.results;
    const py::list vbat_ocv = column_of(results, 5), r0 = column_of(results, 3, 0),
                   r1 = column_of(results, 3, 1), c1 = column_of(results, 3, 2),
                   rms_err = column_of(results, 0, -1, 1000);
    std::vector<std::pair<const char*, py::list>> columns = {
        {"OCV level", vbat_ocv}, {"R0 (Ohm)", r0}, {"R1 (Ohm)", r1}, {"C1 (F)", c1}};
    lists = {vbat_ocv, r0, r1, c1, py::list(), py::list(), rms_err};
    if (run.two_rc()) {
        const py::list r2 = column_of(results, 3, 3), c2 = column_of(results, 3, 4);
        columns.insert(columns.end(), {{"R2 (Ohm)", r2}, {"C2 (F)", c2}});
        lists.R2 = r2;
        lists.C2 = c2;
    }
    columns.emplace_back("RMS error (mV)", rms_err);
    // object columns: the labelled rows below put text into the first and last column
    py::object df = run.lib.pd.attr("DataFrame")();
    for (const auto& column : columns)
        df[column.first] =
            run.lib.pd.attr("Series")(column.second, py::arg("dtype") = "float64");
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

void build_results_table(const Run& run, Record& rec) {
    const auto runtime = log_runtime(run);
    const bool two_rc = run.two_rc();
    Columns lists;
    py::object df = cycle_table(run, rec, lists);
    const py::slice params(1, two_rc ? 6 : 4, 1);
    py::object np = run.lib.np;
    py::object opt_avg;
    if (py::len(rec.results) == 0) {
        bridge::log("cellfit", "warning",
                    rec.name +
                        ": no cycle was fitted, so its circuit parameters are NaN");
        opt_avg = np.attr("full")(two_rc ? 5 : 3, np.attr("nan"));
        rec.opt_median = opt_avg.attr("copy")();
    } else {
        opt_avg = df.attr("mean")(py::arg("axis") = 0).attr("values")[params];
        rec.opt_median = df.attr("median")(py::arg("axis") = 0).attr("values")[params];
    }
    // text and numbers share the first and last column once the labelled rows are in
    for (const char* label : {"OCV level", "RMS error (mV)"})
        df[label] = df[label].attr("astype")("object");
    py::list avg_row = append_labelled_row(df, "Mean", opt_avg);
    py::list med_row = append_labelled_row(df, "Median", rec.opt_median);
    // R2 and C2 only with two RC pairs
    const py::object r2 = two_rc ? lists.R2 : py::object(),
                     c2 = two_rc ? lists.C2 : py::object();
    publish(run.ws, {{"stop_time", runtime.first},
                     {"runtime_total", runtime.second},
                     {"rms_err", lists.rms_err},
                     {"R0", lists.R0},
                     {"R1", lists.R1},
                     {"C1", lists.C1},
                     {"vbat_ocv", lists.vbat_ocv},
                     {"R2", r2},
                     {"C2", c2},
                     {"opt_avg", opt_avg},
                     {"opt_median", rec.opt_median},
                     {"avg_row", avg_row},
                     {"med_row", med_row},
                     {"df_results", df}});
}

} // namespace cellfit
