// Loading a record: reads the CSV log (through the shared record reader), finds the
// cell temperature, drops a charge the test opens with, cuts the record at the
// discharge cut-off, checks the current's sign and finds the current steps that open
// and close every pulse.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/cutoff.hpp"
#include "core/engine/hold_grid.hpp"
#include "core/record_rows.hpp"
#include "core/segmentation.hpp"
#include "extract/compat.hpp"
#include "extract/stages.hpp"
#include "records/record_table.hpp"

namespace cellfit {
namespace {

// More charge than any single cell holds (Ah).
constexpr double kMostAh = 1000.0;

// The record through the one reader every part of the system shares: clean columns,
// warnings for the rows it dropped, the table as the workspace's df.
void log_note(const char* level, const std::string& message) {
    bridge::log("cellfit", level, message);
}

records::RecordTable read_table(const Workspace& ws,
                                const records::RecordSettings& settings) {
    records::RecordTable table =
        records::read_record_table(record_name(ws), settings, log_note);
    ws.set("df", table.frame);
    return table;
}

// The file name carries the temperature as ..._Tp25.csv (25 C) or ..._Tn10.csv (-10 C).
py::object temperature_from_name(const Workspace& ws) {
    const cellcore::InputError bad = cellcore::record_error(
        record_name(ws),
        "no usable \"Temperature(C)\" column and no temperature in the "
        "file name (name records like cellA_Tp25.csv for 25 C or "
        "cellA_Tn10.csv for -10 C)");
    py::list pieces = ws.get("infile")
                          .attr("split")("_")[py::int_(-1)]
                          .attr("split")(".")[py::int_(0)]
                          .attr("split")("T");
    if (pieces.size() < 2)
        throw bad;
    const std::string text = py::str(pieces[1]);
    ws.set("temperature_txt", pieces[1]);
    if (text.empty() || (text[0] != 'p' && text[0] != 'n'))
        throw bad;
    try {
        py::object degrees =
            py::module_::import("builtins").attr("int")(text.substr(1));
        return text[0] == 'p' ? degrees : degrees * py::int_(-1);
    } catch (py::error_already_set&) {
        throw bad;
    }
}

void find_temperature(const Workspace& ws, const records::RecordTable& table) {
    py::object temperature = records::median_temperature(table.temperature);
    if (temperature.is_none())
        temperature = temperature_from_name(ws);
    ws.set("temperature", temperature);
    bridge::log("cellfit", "info", "temperature = " + bridge::str(temperature) + " C");
}

// Keeps the samples before the first voltage strictly below the cut-off.
void truncate_at_cutoff(const Workspace& ws, records::RecordTable& table) {
    py::array_t<double> vraw = bridge::to_numpy(table.voltage_v);
    ws.set("vraw", vraw);
    const double vcut = ws.get_as<double>("vcut");
    const auto volts = bridge::view<double>(vraw);
    const std::size_t idx_end = cellcore::first_below_cutoff(volts, vcut);
    if (idx_end == volts.size()) {
        bridge::log("cellfit", "error",
                    record_name(ws) + ": no voltage below " + bridge::str(vcut) + " V");
        bridge::exit_with_message(
            "\nBattery voltage does not cross the defined low cut off "
            "voltage. Please define higher cut off level and run again.\n");
    }
    if (idx_end == 0)
        throw cellcore::record_error(
            record_name(ws), "the first voltage, " + bridge::str(volts[0]) +
                                 " V, is already below low_cutoff " +
                                 bridge::str(vcut) + " V: nothing is left to fit");
    const py::slice kept(0, static_cast<py::ssize_t>(idx_end), 1);
    table.clock.truncate(idx_end);
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
    throw cellcore::record_error(
        record_name(ws), "the current sign looks reversed (" + sign_evidence(balance) +
                             "); set \"discharge_current\": " +
                             (positive ? "\"negative\"" : "\"positive\"") +
                             " in input_params.json");
}

// The step changes the cycler's clock or logging places in time (not where the rows
// alone put them): the stages count the charge across them, and the circuit sees the
// current switch there, instead of ramping over the logging interval.
void place_logged_steps(const Workspace& ws, const records::RecordTable& table) {
    const bridge::InArray t = ws.get("t"), v = ws.get("v"), iload = ws.get("iload");
    std::vector<double> rows_and_times;
    if (t.size() >= 2) {
        const cellcore::Segmentation seg =
            cellcore::segment_record(bridge::view<double>(t), bridge::view<double>(v),
                                     bridge::view<double>(iload), {}, table.clock);
        for (const cellcore::Step& step : seg.steps)
            if (step.logged_start) {
                rows_and_times.push_back(static_cast<double>(step.begin));
                rows_and_times.push_back(step.start_s);
            }
    }
    py::array_t<double> placed = bridge::to_numpy(rows_and_times);
    ws.set("logged_steps", placed.attr("reshape")(-1, 2));
    py::object clock = py::none();
    if (!table.clock.empty())
        clock = py::make_tuple(bridge::to_numpy(table.clock.step_time_s),
                               bridge::to_numpy(table.clock.step_index));
    ws.set("step_clock", clock);
}

// The charge passed: the trapezoid over the rows, as on evenly logged records, and,
// across step changes placed in time, each current up to its change.
void cumulative_charge(const Workspace& ws) {
    py::object np = ws.get("np");
    const std::vector<cellcore::StepChange> changes = logged_step_changes(ws);
    if (changes.empty()) {
        py::object integral = cumulative_trapezoid(ws.get("integrate"))(
            py::arg("y") = py::int_(1000) * ws.get("iload"), py::arg("x") = ws.get("t"),
            py::arg("initial") = 0);
        ws.set("cum_mAh", np.attr("abs")(integral / py::int_(3600)));
    } else {
        const std::vector<double> charge_as = charge_at_rows(ws, changes);
        std::vector<double> mAh(charge_as.size());
        for (std::size_t k = 0; k < mAh.size(); ++k)
            mAh[k] = std::fabs(charge_as[k] * 1000.0 / 3600.0);
        ws.set("cum_mAh", bridge::to_numpy(mAh));
    }
}

// A record whose charge no single cell holds was logged in other units than it is read
// in: most likely its current is in mA.
void check_plausible_charge(const Workspace& ws) {
    const py::array_t<double> cum = ws.get("cum_mAh");
    if (cum.size() == 0)
        return;
    const double ah = cum.at(cum.size() - 1) / 1000.0;
    if (ah > kMostAh)
        throw cellcore::record_error(
            record_name(ws),
            "the record passes " + bridge::str(ah) +
                " Ah to the cut-off, more than any single cell holds: if "
                "its current is in mA, set \"units\": {\"current\": "
                "\"mA\"} in input_params.json");
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
        throw cellcore::record_error(record_name(ws),
                                     "cannot find the pulse current level (no current "
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

std::vector<cellcore::StepChange> logged_step_changes(const Workspace& ws) {
    std::vector<cellcore::StepChange> changes;
    if (!ws.has("logged_steps"))
        return changes;
    const py::array_t<double, py::array::c_style | py::array::forcecast> placed =
        ws.get("logged_steps");
    for (py::ssize_t r = 0; r + 1 < placed.size(); r += 2)
        changes.push_back(
            {static_cast<std::size_t>(placed.data()[r]), placed.data()[r + 1]});
    return changes;
}

cellcore::StepClock record_step_clock(const Workspace& ws) {
    cellcore::StepClock clock;
    if (!ws.has("step_clock") || ws.get("step_clock").is_none())
        return clock;
    const py::tuple columns = ws.get("step_clock");
    const bridge::InArray time = py::object(columns[0]), index = py::object(columns[1]);
    clock.step_time_s.assign(bridge::view<double>(time).begin(),
                             bridge::view<double>(time).end());
    clock.step_index.assign(bridge::view<double>(index).begin(),
                            bridge::view<double>(index).end());
    return clock;
}

std::vector<double> charge_at_rows(const Workspace& ws,
                                   const std::vector<cellcore::StepChange>& changes) {
    const bridge::InArray t = ws.get("t"), iload = ws.get("iload");
    const cellcore::HoldGrid grid = cellcore::hold_grid(
        bridge::view<double>(t), bridge::view<double>(iload), changes);
    std::vector<double> charge(grid.at_sample.size());
    for (std::size_t k = 0; k < charge.size(); ++k)
        charge[k] = grid.charge_at(k);
    return charge;
}

void load_record(const Workspace& ws) {
    const records::RecordSettings settings =
        records::record_settings(ws.get("values"), "");
    records::RecordTable table = read_table(ws, settings);
    if (table.time_s.size() < 2)
        throw cellcore::record_error(
            record_name(ws),
            "the record holds " + bridge::str(table.time_s.size()) +
                (table.time_s.size() == 1 ? " sample row" : " sample rows") +
                "; a pulse test needs many");
    find_temperature(ws, table);
    records::choose_test_rows(record_name(ws), table, settings,
                              ws.get_as<double>("vcut"), log_note);
    truncate_at_cutoff(ws, table);
    check_current_sign(ws);
    place_logged_steps(ws, table);
    cumulative_charge(ws);
    check_plausible_charge(ws);
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
