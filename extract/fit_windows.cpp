// Fitting windows over the record. A cycle is one fitted pulse and the rest after it:
// cycle i fits pulse j = fit_pulses[i-1], which runs from the last rest sample before
// it (ind_slice[j]) up to the last rest sample before the next pulse (ind_slice[j+1]);
// its loaded phase ends at its own load end, pulse_load_end[j].
#include <pybind11/numpy.h>

#include "bridge/python_text.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

long long entry(const Record& rec, const std::vector<long long>& v, long long j,
                long long cycle) {
    if (j < 0 || j >= static_cast<long long>(v.size()))
        throw cellcore::record_error(rec.name, "cycle " + bridge::str(cycle) +
                                                   " lies outside the record's pulses");
    return v[static_cast<std::size_t>(j)];
}

long long pulse_of_cycle(const Record& rec, long long i) {
    return entry(rec, rec.fit_pulses, i - 1, i);
}

long long slice_entry(const Record& rec, long long j, long long cycle) {
    const py::array_t<long long, py::array::forcecast> ends = rec.ind_slice;
    if (j < 0 || j >= ends.size())
        throw cellcore::record_error(rec.name, "cycle " + bridge::str(cycle) +
                                                   " lies outside the record's pulses");
    return ends.at(j);
}

// The window the residual functions read at every call; xdata is iload_vec itself.
Window publish_window(const Run& run, const Record& rec, long long begin,
                      long long end) {
    const py::slice range(begin, end, 1);
    const Window w{rec.t[range], rec.iload[range], rec.ocv_diff[range]};
    publish(run.ws, {{"ydata", w.ydata},
                     {"t_vec", w.t_vec},
                     {"iload_vec", w.xdata},
                     {"xdata", w.xdata}});
    return w;
}

} // namespace

void info(const std::string& message) { bridge::log("cellfit", "info", message); }

Window set_fall_window(const Run& run, const Record& rec, long long i) {
    const long long j = pulse_of_cycle(rec, i);
    const long long start = slice_entry(rec, j, i);
    const long long loaded = entry(rec, rec.pulse_load_end, j, i) - start;
    // the product is truncated toward zero, as int() does
    const long long len_fall =
        static_cast<long long>(0.7 * static_cast<double>(loaded));
    publish(run.ws, {{"len_fall", py::int_(len_fall)}});
    if (len_fall < 3)
        throw cellcore::record_error(
            rec.name, "cycle " + bridge::str(i) + ": the pulse is loaded for " +
                          bridge::str(loaded) +
                          " samples, too few to fit its voltage fall");
    return publish_window(run, rec, start, start + len_fall);
}

Window set_cycle_window(const Run& run, const Record& rec, long long i) {
    const long long j = pulse_of_cycle(rec, i);
    return publish_window(run, rec, slice_entry(rec, j, i), cycle_end(rec, i));
}

long long cycle_end(const Record& rec, long long i) {
    return slice_entry(rec, pulse_of_cycle(rec, i) + 1, i);
}

py::object least_squares(const Run& run, const char* residual, const py::object& start,
                         double f_scale, double tol) {
    using py::arg;
    // the residual as the workspace binds it, so that a user's rebinding is called
    return run.lib.optimize.attr("least_squares")(
        run.ws.get(residual), start, arg("bounds") = fit_bounds(),
        arg("loss") = "huber", arg("f_scale") = f_scale, arg("verbose") = 2,
        arg("xtol") = tol, arg("ftol") = tol, arg("gtol") = tol);
}

Residual report_cycle_fit(const Run& run, const Window& w, const py::object& yout,
                          const py::object& params) {
    info("params = " + bridge::str(params));
    Residual e;
    e.error = w.ydata - yout;
    e.rms = rms(run, e.error);
    info("rms_err = " + bridge::str(e.rms * py::int_(1000)) + " mV");
    return e;
}

py::object rms(const Run& run, const py::object& error) {
    py::object np = run.lib.np;
    return np.attr("sqrt")(np.attr("mean")(error.attr("__pow__")(2)));
}

} // namespace cellfit
