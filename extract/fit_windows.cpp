// Fitting windows over the record. A cycle is one fitted pulse and the rest after it:
// cycle i fits pulse j = fit_pulses[i-1], which runs from the last rest sample before
// it (ind_slice[j]) up to the last rest sample before the next pulse (ind_slice[j+1]);
// its loaded phase ends at its own load end, pulse_load_end[j].
#include <pybind11/numpy.h>

#include "bridge/python_text.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

long long entry(const Workspace& ws, const char* name, long long j, long long cycle) {
    const py::array_t<long long, py::array::forcecast> v = ws.get(name);
    if (j < 0 || j >= v.size())
        throw cellcore::record_error(record_name(ws),
                                     "cycle " + bridge::str(cycle) +
                                         " lies outside the record's pulses");
    return v.at(j);
}

long long pulse_of_cycle(const Workspace& ws, long long i) {
    return entry(ws, "fit_pulses", i - 1, i);
}

void set_window(const Workspace& ws, long long begin, long long end) {
    const py::slice range(begin, end, 1);
    ws.set("ydata", ws.get("ocv_diff")[range]);
    ws.set("t_vec", ws.get("t")[range]);
    py::object current = ws.get("iload")[range];
    ws.set("iload_vec", current);
    ws.set("xdata", current);
}

} // namespace

void info(const std::string& message) { bridge::log("cellfit", "info", message); }

void set_fall_window(const Workspace& ws, long long i) {
    const long long j = pulse_of_cycle(ws, i);
    const long long start = entry(ws, "ind_slice", j, i);
    const long long loaded = entry(ws, "pulse_load_end", j, i) - start;
    // the product is truncated toward zero, as int() does
    const long long len_fall =
        static_cast<long long>(0.7 * static_cast<double>(loaded));
    ws.set("len_fall", py::int_(len_fall));
    if (len_fall < 3)
        throw cellcore::record_error(
            record_name(ws), "cycle " + bridge::str(i) + ": the pulse is loaded for " +
                                 bridge::str(loaded) +
                                 " samples, too few to fit its voltage fall");
    set_window(ws, start, start + len_fall);
}

void set_cycle_window(const Workspace& ws, long long i) {
    const long long j = pulse_of_cycle(ws, i);
    set_window(ws, entry(ws, "ind_slice", j, i), cycle_end(ws, i));
}

long long cycle_end(const Workspace& ws, long long i) {
    return entry(ws, "ind_slice", pulse_of_cycle(ws, i) + 1, i);
}

py::object least_squares(const Workspace& ws, const char* residual,
                         const py::object& start, double f_scale, double tol) {
    using py::arg;
    return ws.get("optimize")
        .attr("least_squares")(ws.get(residual), start, arg("bounds") = fit_bounds(),
                               arg("loss") = "huber", arg("f_scale") = f_scale,
                               arg("verbose") = 2, arg("xtol") = tol, arg("ftol") = tol,
                               arg("gtol") = tol);
}

void report_cycle_fit(const Workspace& ws, const py::object& params) {
    info("params = " + bridge::str(params));
    py::object error = ws.get("ydata") - ws.get("lsq_yout");
    ws.set("error_lsq", error);
    ws.set("rms_lsq", rms(ws, error));
    info("rms_err = " + bridge::str(ws.get("rms_lsq") * py::int_(1000)) + " mV");
}

py::object rms(const Workspace& ws, const py::object& error) {
    py::object np = ws.get("np");
    return np.attr("sqrt")(np.attr("mean")(error.attr("__pow__")(2)));
}

} // namespace cellfit
