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

records::RecordTable read_table(Record& rec, const records::RecordSettings& settings) {
    records::RecordTable table =
        records::read_record_table(rec.name, settings, log_note);
    rec.df = table.frame;
    return table;
}

// The file name carries the temperature as ..._Tp25.csv (25 C) or ..._Tn10.csv (-10 C);
// the text after the "T" is kept as temperature_txt.
py::object temperature_from_name(Record& rec) {
    const cellcore::InputError bad = cellcore::record_error(
        rec.name, "no usable \"Temperature(C)\" column and no temperature in the "
                  "file name (name records like cellA_Tp25.csv for 25 C or "
                  "cellA_Tn10.csv for -10 C)");
    py::list pieces = rec.infile.attr("split")("_")[py::int_(-1)]
                          .attr("split")(".")[py::int_(0)]
                          .attr("split")("T");
    if (pieces.size() < 2)
        throw bad;
    const std::string text = py::str(pieces[1]);
    rec.temperature_txt = pieces[1];
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

void find_temperature(Record& rec, const records::RecordTable& table) {
    py::object temperature = records::median_temperature(table.temperature);
    if (temperature.is_none())
        temperature = temperature_from_name(rec);
    rec.temperature = temperature;
    bridge::log("cellfit", "info", "temperature = " + bridge::str(temperature) + " C");
}

// Keeps the samples before the first voltage strictly below the cut-off.
void truncate_at_cutoff(const Run& run, Record& rec, records::RecordTable& table) {
    py::array_t<double> vraw = bridge::to_numpy(table.voltage_v);
    rec.vraw = vraw;
    const double vcut = run.vcut.cast<double>();
    const auto volts = bridge::view<double>(vraw);
    const std::size_t idx_end = cellcore::first_below_cutoff(volts, vcut);
    if (idx_end == volts.size()) {
        bridge::log("cellfit", "error",
                    rec.name + ": no voltage below " + bridge::str(vcut) + " V");
        bridge::exit_with_message(
            "\nBattery voltage does not cross the defined low cut off "
            "voltage. Please define higher cut off level and run again.\n");
    }
    if (idx_end == 0)
        throw cellcore::record_error(
            rec.name, "the first voltage, " + bridge::str(volts[0]) +
                          " V, is already below low_cutoff " + bridge::str(vcut) +
                          " V: nothing is left to fit");
    const py::slice kept(0, static_cast<py::ssize_t>(idx_end), 1);
    table.clock.truncate(idx_end);
    rec.clock = table.clock;
    rec.idx_end = static_cast<long long>(idx_end);
    rec.v = vraw[kept].attr("copy")();
    rec.t = bridge::to_numpy(table.time_s)[kept];
    rec.iload = bridge::to_numpy(table.current_a)[kept];
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
void check_current_sign(const Run& run, const Record& rec) {
    const bridge::InArray t = rec.t, iload = rec.iload;
    const auto current = bridge::view<double>(iload);
    const cellcore::CurrentBalance balance = cellcore::current_balance(
        bridge::view<double>(t), current, cellcore::rest_current_limit_a(current));
    if (!cellcore::sign_looks_reversed(balance))
        return;
    const bool positive = records::record_settings(run.values, "").discharge_positive;
    throw cellcore::record_error(
        rec.name, "the current sign looks reversed (" + sign_evidence(balance) +
                      "); set \"discharge_current\": " +
                      (positive ? "\"negative\"" : "\"positive\"") +
                      " in input_params.json");
}

// The record's steps, once: the step changes the cycler's clock or logging places in
// time (not where the rows alone put them) are where the stages count the charge
// across and where the circuit sees the current switch, instead of ramping over the
// logging interval; the steps' kinds tell which fit serves the record.
void segment(Record& rec) {
    const bridge::InArray t = rec.t, v = rec.v, iload = rec.iload;
    rec.logged_steps.clear();
    if (t.size() < 2)
        return;
    rec.segmentation =
        cellcore::segment_record(bridge::view<double>(t), bridge::view<double>(v),
                                 bridge::view<double>(iload), {}, rec.clock);
    for (const cellcore::Step& step : rec.segmentation.steps)
        if (step.logged_start)
            rec.logged_steps.push_back(
                {static_cast<std::size_t>(step.begin), step.start_s});
}

// The charge passed: the trapezoid over the rows, as on evenly logged records, and,
// across step changes placed in time, each current up to its change.
void cumulative_charge(const Run& run, Record& rec) {
    if (rec.logged_steps.empty()) {
        py::object integral = cumulative_trapezoid(run.lib.integrate)(
            py::arg("y") = py::int_(1000) * rec.iload, py::arg("x") = rec.t,
            py::arg("initial") = 0);
        rec.cum_mAh = run.lib.np.attr("abs")(integral / py::int_(3600));
    } else {
        const std::vector<double> charge_as = charge_at_rows(rec);
        std::vector<double> mAh(charge_as.size());
        for (std::size_t k = 0; k < mAh.size(); ++k)
            mAh[k] = std::fabs(charge_as[k] * 1000.0 / 3600.0);
        rec.cum_mAh = bridge::to_numpy(mAh);
    }
}

// A record whose charge no single cell holds was logged in other units than it is read
// in: most likely its current is in mA.
void check_plausible_charge(const Record& rec) {
    const py::array_t<double> cum = rec.cum_mAh;
    if (cum.size() == 0)
        return;
    const double ah = cum.at(cum.size() - 1) / 1000.0;
    if (ah > kMostAh)
        throw cellcore::record_error(
            rec.name, "the record passes " + bridge::str(ah) +
                          " Ah to the cut-off, more than any single cell holds: if "
                          "its current is in mA, set \"units\": {\"current\": "
                          "\"mA\"} in input_params.json");
}

// The step threshold is a quarter of the pulse current level: the highest histogram
// bin holding more than 10 samples, the last bin excepted. With discharge currents
// negative the last bin holds the rest current, and the bin below it that is well
// populated is the pulse level nearest the rest.
struct Histogram {
    py::object counts, bins, ix;
};

Histogram current_threshold(const Run& run, Record& rec) {
    py::tuple hist = run.lib.np.attr("histogram")(rec.iload, py::arg("bins") = 21);
    const auto counts = py::array_t<long long, py::array::forcecast>(hist[0]);
    const long long ix = cellcore::pulse_level_bin({counts.data(), 21}, 10);
    if (ix < 0)
        throw cellcore::record_error(rec.name,
                                     "cannot find the pulse current level (no current "
                                     "level holds more than 10 samples)");
    const auto bins = py::array_t<double, py::array::forcecast>(hist[1]);
    rec.iload_th = py::float_(std::fabs((bins.at(ix) + bins.at(ix + 1)) / 2) / 4);
    return {hist[0], hist[1], py::int_(ix)};
}

// The loaded-window test as its loop leaves it: the last candidate and its verdict
// (null objects when there was none).
struct LastTest {
    py::object iload_off, idx_ok;
};

// Rest ends, candidate load ends, and the load ends of pulses loaded long enough.
LastTest find_pulses(Record& rec) {
    const bridge::InArray iload = rec.iload;
    const auto current = bridge::view<double>(iload);
    const double th = rec.iload_th.cast<double>();
    cellcore::CurrentSteps steps = cellcore::find_current_steps(current, th);
    rec.load_ends.clear();
    LastTest last;
    for (long long k : steps.load_ends) {
        const bool ok = cellcore::loaded_before(current, k, th);
        if (ok)
            rec.load_ends.push_back(k);
        last = {py::int_(k), py::bool_(ok)};
    }
    rec.rest_ends = std::move(steps.rest_ends);
    rec.load_ends_raw = std::move(steps.load_ends);
    return last;
}

// Why a pulse has no load end, for the warning that it is not fitted.
std::string missing_load_end(const std::vector<long long>& raw, long long rest_end,
                             long long next) {
    const auto l = std::upper_bound(raw.begin(), raw.end(), rest_end);
    if (l == raw.end() || *l >= next)
        return "its current never steps back up before the next pulse";
    return "loaded for " + bridge::str(*l - rest_end) + " samples, 101 needed";
}

// Pairs every pulse with its own load end, so that a pulse too short to count does not
// shift the windows of the pulses after it. The pulses fitted are the paired ones among
// all but the last, which the cut-off ends.
void pair_pulses(Record& rec) {
    rec.pulse_load_end = cellcore::pair_load_ends(
        {rec.rest_ends.data(), rec.rest_ends.size()},
        {rec.load_ends.data(), rec.load_ends.size()}, rec.idx_end);
    rec.fit_pulses.clear();
    for (std::size_t j = 0; j + 1 < rec.pulse_load_end.size(); ++j)
        if (rec.pulse_load_end[j] >= 0)
            rec.fit_pulses.push_back(static_cast<long long>(j));
}

} // namespace

std::vector<double> charge_at_rows(const Record& rec) {
    const bridge::InArray t = rec.t, iload = rec.iload;
    const cellcore::HoldGrid grid = cellcore::hold_grid(
        bridge::view<double>(t), bridge::view<double>(iload), rec.logged_steps);
    std::vector<double> charge(grid.at_sample.size());
    for (std::size_t k = 0; k < charge.size(); ++k)
        charge[k] = grid.charge_at(k);
    return charge;
}

void load_record(const Run& run, Record& rec) {
    const records::RecordSettings settings = records::record_settings(run.values, "");
    records::RecordTable table = read_table(rec, settings);
    if (table.time_s.size() < 2)
        throw cellcore::record_error(
            rec.name, "the record holds " + bridge::str(table.time_s.size()) +
                          (table.time_s.size() == 1 ? " sample row" : " sample rows") +
                          "; a pulse test needs many");
    find_temperature(rec, table);
    records::choose_test_rows(rec.name, table, settings, run.vcut.cast<double>(),
                              log_note);
    truncate_at_cutoff(run, rec, table);
    check_current_sign(run, rec);
    segment(rec);
    cumulative_charge(run, rec);
    check_plausible_charge(rec);
    publish(run.ws, {{"df", rec.df},
                     {"temperature_txt", rec.temperature_txt},
                     {"temperature", rec.temperature},
                     {"vraw", rec.vraw},
                     {"idx_end", py::int_(rec.idx_end)},
                     {"v", rec.v},
                     {"t", rec.t},
                     {"iload", rec.iload},
                     {"cum_mAh", rec.cum_mAh}});
}

void find_record_pulses(const Run& run, Record& rec) {
    const Histogram hist = current_threshold(run, rec);
    const LastTest last = find_pulses(rec);
    pair_pulses(rec);
    publish(run.ws, {{"counts", hist.counts},
                     {"bins", hist.bins},
                     {"iload_ix", hist.ix},
                     {"iload_th", rec.iload_th},
                     {"iload_off", last.iload_off},
                     {"idx_ok", last.idx_ok},
                     {"idx_rest", bridge::to_numpy(rec.rest_ends)},
                     {"idx_load_raw", bridge::to_numpy(rec.load_ends_raw)},
                     {"idx_load", bridge::to_numpy(rec.load_ends)},
                     {"fit_pulses", bridge::to_numpy(rec.fit_pulses)}});
}

void warn_unfitted_pulses(const Record& rec) {
    const auto& paired = rec.pulse_load_end;
    for (std::size_t j = 0; j + 1 < paired.size(); ++j)
        if (paired[j] < 0)
            bridge::log("cellfit", "warning",
                        rec.name + ": pulse " +
                            bridge::str(static_cast<long long>(j + 1)) +
                            " is not fitted: " +
                            missing_load_end(rec.load_ends_raw, rec.rest_ends[j],
                                             rec.rest_ends[j + 1]));
}

} // namespace cellfit
