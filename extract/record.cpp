// Loading a record: reads the CSV log (through the shared record reader), finds the
// cell temperature, drops a charge the test opens with, cuts the record at the
// discharge cut-off, checks the current's sign and finds the current steps that open
// and close every pulse.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/record_rows.hpp"
#include "core/segmentation.hpp"
#include "extract/compat.hpp"
#include "extract/record_table.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

// The record through the one reader every part of the system shares: clean columns,
// warnings for the rows it dropped, the table as the workspace's df.
records::RecordTable read_table(const Workspace& ws) {
    records::RecordTable table = records::read_record_table(
        record_name(ws), records::record_settings(ws.get("values"), ""),
        [](const std::string& message) { bridge::log("cellfit", "warning", message); });
    ws.set("df", table.frame);
    return table;
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

void find_temperature(const Workspace& ws, const records::RecordTable& table) {
    py::object temperature = records::median_temperature(table.temperature);
    if (temperature.is_none())
        temperature = temperature_from_name(ws);
    ws.set("temperature", temperature);
    bridge::log("cellfit", "info", "temperature = " + bridge::str(temperature) + " C");
}

// A test that opens with a charge (to full, before the first rest) is not part of the
// discharge: counted in, it makes the SOC axis and the capacity those of a cell that
// was never full. The record is taken from the rest after the charge, when a rest does
// follow it (a positive offset of the rest current is no charge) and the record
// discharges after it (a record whose sign is reversed is left to the sign check).
void drop_leading_charge(const Workspace& ws, records::RecordTable& table) {
    const cellcore::Span<const double> current(table.current_a);
    const double rest_a = cellcore::rest_current_limit_a(current);
    const long long start = cellcore::rest_after_leading_charge(current, rest_a);
    const auto k = static_cast<std::size_t>(start);
    if (start <= 0 || k == current.size() || std::fabs(current[k]) > rest_a)
        return;
    const cellcore::Span<const double> after_t(table.time_s.data() + k,
                                               table.time_s.size() - k);
    const cellcore::Span<const double> after_i(table.current_a.data() + k,
                                               table.current_a.size() - k);
    if (!cellcore::current_balance(after_t, after_i, rest_a).discharges)
        return;
    bridge::log("cellfit", "warning",
                record_name(ws) + ": the record opens with a charge; its first " +
                    bridge::str(k) + " rows (" +
                    bridge::str(table.time_s[k] - table.time_s[0]) +
                    " s) are dropped and the record is taken from the rest after it");
    for (std::vector<double>* column :
         {&table.time_s, &table.voltage_v, &table.current_a})
        column->erase(column->begin(), column->begin() + start);
}

// Keeps the samples before the first voltage strictly below the cut-off.
void truncate_at_cutoff(const Workspace& ws, const records::RecordTable& table) {
    py::array_t<double> vraw = bridge::to_numpy(table.voltage_v);
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
    if (idx_end == 0)
        bridge::raise(PyExc_ValueError,
                      record_name(ws) + ": the first voltage, " +
                          bridge::str(volts[0]) + " V, is already below low_cutoff " +
                          bridge::str(vcut) + " V: nothing is left to fit");
    const py::slice kept(0, static_cast<py::ssize_t>(idx_end), 1);
    ws.set("idx_end", py::int_(idx_end));
    ws.set("v", vraw[kept].attr("copy")());
    ws.set("t", bridge::to_numpy(table.time_s)[kept]);
    ws.set("iload", bridge::to_numpy(table.current_a)[kept]);
}

std::string sign_evidence(const cellcore::CurrentBalance& b) {
    const py::object round = py::module_::import("builtins").attr("round");
    const auto fmt = [&](double x) { return round(x, 3); };
    if (!b.discharges)
        return "charge current up to " + bridge::str(fmt(b.largest_charge_a)) +
               " A and no discharge current";
    return bridge::str(fmt(b.net_charge_ah)) +
           " Ah more charged into the cell than discharged before the cut-off";
}

// Cyclers differ in the sign they give discharge current. Read with the wrong one, a
// record takes in charge down to its cut-off; say so, not that the SOC does not fall.
void check_current_sign(const Workspace& ws) {
    const bridge::InArray t = ws.get("t"), iload = ws.get("iload");
    const auto current = bridge::view<double>(iload);
    const cellcore::CurrentBalance balance = cellcore::current_balance(
        bridge::view<double>(t), current, cellcore::rest_current_limit_a(current));
    if (!cellcore::sign_looks_reversed(balance))
        return;
    const bool positive =
        records::record_settings(ws.get("values"), "").discharge_positive;
    bridge::raise(PyExc_ValueError,
                  record_name(ws) + ": the current sign looks reversed (" +
                      sign_evidence(balance) + "); set \"discharge_current\": " +
                      (positive ? "\"negative\"" : "\"positive\"") +
                      " in input_params.json");
}

void cumulative_charge(const Workspace& ws) {
    py::object np = ws.get("np");
    py::object integral = cumulative_trapezoid(ws.get("integrate"))(
        py::arg("y") = py::int_(1000) * ws.get("iload"), py::arg("x") = ws.get("t"),
        py::arg("initial") = 0);
    ws.set("cum_mAh", np.attr("abs")(integral / py::int_(3600)));
}

// The step threshold is a quarter of the pulse current level: the highest histogram
// bin holding more than 10 samples, the last bin excepted. With discharge currents
// negative the last bin holds the rest current, and the bin below it that is well
// populated is the pulse level nearest the rest.
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
    records::RecordTable table = read_table(ws);
    find_temperature(ws, table);
    drop_leading_charge(ws, table);
    truncate_at_cutoff(ws, table);
    check_current_sign(ws);
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
