// Loading a record: reads the CSV log, finds the cell temperature, cuts the record at
// the discharge cut-off and finds the current steps that open and close every pulse.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/segmentation.hpp"
#include "extract/compat.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

// A missing or non-numeric column is reported with the record's name.
py::array_t<double> column(const Workspace& ws, const char* name) {
    py::object df = ws.get("df");
    if (!df.attr("columns").attr("__contains__")(name).cast<bool>())
        bridge::raise(PyExc_ValueError,
                      record_name(ws) + ": no column \"" + name + "\" in the header");
    try {
        return df[name].attr("values").attr("astype")(
            py::module_::import("builtins").attr("float"));
    } catch (py::error_already_set& e) {
        bridge::raise(PyExc_ValueError, record_name(ws) + ": column \"" + name +
                                            "\" is not numeric (" +
                                            bridge::str(e.value()) + ")");
    }
}

void read_csv(const Workspace& ws) {
    try {
        ws.set("df", ws.get("pd").attr("read_csv")(
                         ws.get("infile"), py::arg("header") = 0,
                         py::arg("delimiter") = ",", py::arg("decimal") = "."));
    } catch (py::error_already_set& e) {
        bridge::raise(PyExc_ValueError, record_name(ws) + ": cannot read the record (" +
                                            bridge::str(e.value()) + ")");
    }
}

// The median of a complete temperature column, rounded half to even; None when the
// column is missing, incomplete or not numeric.
py::object temperature_from_column(const Workspace& ws) {
    py::object np = ws.get("np");
    try {
        py::object temps = ws.get("df")["Temperature(C)"].attr("values").attr("astype")(
            py::module_::import("builtins").attr("float"));
        const double median = np.attr("median")(temps).cast<double>();
        if (!std::isfinite(median))
            return py::none();
        return py::int_(np.attr("round")(median, 0));
    } catch (py::error_already_set&) {
        return py::none();
    }
}

// The file name carries the temperature as ..._Tp25.csv (25 C) or ..._Tn10.csv (-10 C).
py::object temperature_from_name(const Workspace& ws) {
    const std::string bad =
        record_name(ws) +
        ": no usable \"Temperature(C)\" column and no temperature in the "
        "file name (name records like cellA_Tp25.csv for 25 C or "
        "cellA_Tn10.csv for -10 C)";
    py::list pieces = ws.get("infile")
                          .attr("split")("_")[py::int_(-1)]
                          .attr("split")(".")[py::int_(0)]
                          .attr("split")("T");
    if (pieces.size() < 2)
        bridge::raise(PyExc_ValueError, bad);
    const std::string text = py::str(pieces[1]);
    ws.set("temperature_txt", pieces[1]);
    if (text.empty() || (text[0] != 'p' && text[0] != 'n'))
        bridge::raise(PyExc_ValueError, bad);
    try {
        py::object degrees =
            py::module_::import("builtins").attr("int")(text.substr(1));
        return text[0] == 'p' ? degrees : degrees * py::int_(-1);
    } catch (py::error_already_set&) {
        bridge::raise(PyExc_ValueError, bad);
    }
}

void find_temperature(const Workspace& ws) {
    py::object temperature = temperature_from_column(ws);
    if (temperature.is_none())
        temperature = temperature_from_name(ws);
    ws.set("temperature", temperature);
    bridge::log("cellfit", "info", "temperature = " + bridge::str(temperature) + " C");
}

// Keeps the samples before the first voltage strictly below the cut-off.
void truncate_at_cutoff(const Workspace& ws) {
    py::array_t<double> vraw = column(ws, "Voltage(V)");
    ws.set("vraw", vraw);
    const double vcut = ws.get_as<double>("vcut");
    const auto volts = bridge::view<double>(vraw);
    std::size_t idx_end = 0;
    while (idx_end < volts.size() && !(volts[idx_end] < vcut))
        ++idx_end;
    if (idx_end == volts.size()) {
        bridge::log("cellfit", "error",
                    record_name(ws) + ": no voltage below " + bridge::str(vcut) + " V");
        bridge::exit_with_message(
            "\nBattery voltage does not cross the defined low cut off "
            "voltage. Please define higher cut off level and run again.\n");
    }
    const py::slice kept(0, static_cast<py::ssize_t>(idx_end), 1);
    ws.set("idx_end", py::int_(idx_end));
    ws.set("v", vraw[kept].attr("copy")());
    ws.set("t", column(ws, "Seconds")[kept]);
    ws.set("iload", column(ws, "Current(A)")[kept]);
}

void cumulative_charge(const Workspace& ws) {
    py::object np = ws.get("np");
    py::object integral = cumulative_trapezoid(ws.get("integrate"))(
        py::arg("y") = py::int_(1000) * ws.get("iload"), py::arg("x") = ws.get("t"),
        py::arg("initial") = 0);
    ws.set("cum_mAh", np.attr("abs")(integral / py::int_(3600)));
}

// The step threshold is a quarter of the pulse current level: the most negative
// well-populated histogram bin (the last bin holds the rest current and is never
// taken).
void current_threshold(const Workspace& ws) {
    py::tuple hist =
        ws.get("np").attr("histogram")(ws.get("iload"), py::arg("bins") = 21);
    ws.set("counts", hist[0]);
    ws.set("bins", hist[1]);
    const auto counts = py::array_t<long long, py::array::forcecast>(hist[0]);
    const long long ix = cellcore::pulse_level_bin({counts.data(), 21}, 10);
    if (ix < 0)
        bridge::raise(PyExc_ValueError,
                      record_name(ws) +
                          ": cannot find the pulse current level (no current "
                          "level holds more than 10 samples)");
    const auto bins = py::array_t<double, py::array::forcecast>(hist[1]);
    ws.set("iload_ix", py::int_(ix));
    ws.set("iload_th", py::float_(std::fabs((bins.at(ix) + bins.at(ix + 1)) / 2) / 4));
}

// Rest ends, candidate load ends, and the load ends of pulses loaded long enough.
void find_pulses(const Workspace& ws) {
    const bridge::InArray iload = ws.get("iload");
    const auto current = bridge::view<double>(iload);
    const double th = ws.get_as<double>("iload_th");
    const cellcore::CurrentSteps steps = cellcore::find_current_steps(current, th);
    ws.set("idx_rest", bridge::to_numpy(steps.rest_ends));
    ws.set("idx_load_raw", bridge::to_numpy(steps.load_ends));
    std::vector<long long> kept;
    for (long long k : steps.load_ends) {
        const bool ok = cellcore::loaded_before(current, k, th);
        ws.set("iload_off", py::int_(k));
        ws.set("idx_ok", py::bool_(ok));
        if (ok)
            kept.push_back(k);
    }
    ws.set("idx_load", bridge::to_numpy(kept));
}

// Why a pulse has no load end, for the warning that it is not fitted.
std::string missing_load_end(cellcore::Span<const long long> raw, long long rest_end,
                             long long next) {
    const auto* l = std::upper_bound(raw.begin(), raw.end(), rest_end);
    if (l == raw.end() || *l >= next)
        return "its current never steps back up before the next pulse";
    return "loaded for " + bridge::str(*l - rest_end) + " samples, 101 needed";
}

// Pairs every pulse with its own load end, so that a pulse too short to count does not
// shift the windows of the pulses after it. The pulses fitted are the paired ones among
// all but the last, which the cut-off ends.
void pair_pulses(const Workspace& ws) {
    const bridge::IndexArray rest = ws.get("idx_rest"), load = ws.get("idx_load");
    const long long record_end = ws.get_as<long long>("idx_end");
    const std::vector<long long> paired = cellcore::pair_load_ends(
        bridge::view<long long>(rest), bridge::view<long long>(load), record_end);
    std::vector<long long> fitted;
    for (std::size_t j = 0; j + 1 < paired.size(); ++j)
        if (paired[j] >= 0)
            fitted.push_back(static_cast<long long>(j));
    ws.set("pulse_load_end", bridge::to_numpy(paired));
    ws.set("fit_pulses", bridge::to_numpy(fitted));
}

} // namespace

void load_record(const Workspace& ws) {
    read_csv(ws);
    find_temperature(ws);
    truncate_at_cutoff(ws);
    cumulative_charge(ws);
}

void find_record_pulses(const Workspace& ws) {
    current_threshold(ws);
    find_pulses(ws);
    pair_pulses(ws);
}

void warn_unfitted_pulses(const Workspace& ws) {
    const bridge::IndexArray rest = ws.get("idx_rest"), raw = ws.get("idx_load_raw"),
                             paired = ws.get("pulse_load_end");
    const auto rest_ends = bridge::view<long long>(rest);
    for (py::ssize_t j = 0; j + 1 < paired.size(); ++j)
        if (paired.at(j) < 0)
            bridge::log(
                "cellfit", "warning",
                record_name(ws) + ": pulse " +
                    bridge::str(static_cast<long long>(j + 1)) + " is not fitted: " +
                    missing_load_end(bridge::view<long long>(raw),
                                     rest_ends[static_cast<std::size_t>(j)],
                                     rest_ends[static_cast<std::size_t>(j + 1)]));
}

} // namespace cellfit
