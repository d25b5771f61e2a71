// The record's pulses table, results/<record>_pulses.csv: every fitted pulse with when
// it ran, its current and state of charge, its parameters, RMS error and flags. The
// medians in the parameter file hide how the parameters move over SOC and between
// discharge and charge; this table keeps it. Also the warning when a median the
// parameter file will carry sits on a bound of the fit.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/atomic_file.hpp"
#include "core/engine/ocv_extension.hpp"
#include "core/pulse_table.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

using IndexView = py::array_t<long long, py::array::c_style | py::array::forcecast>;

std::array<double, 5> nan5() {
    std::array<double, 5> a;
    a.fill(std::nan(""));
    return a;
}

// One row per fitted cycle, as the log reported it.
std::vector<cellcore::PulseRow> cycle_rows(const Workspace& ws) {
    const IndexView pulses = ws.get("fit_pulses"), slice = ws.get("ind_slice"),
                    load_end = ws.get("pulse_load_end");
    const bridge::InArray t = ws.get("t"), v = ws.get("v"), i = ws.get("iload"),
                          soc = ws.get("soc");
    const py::list results = ws.get("results");
    py::object se_rows = ws.has("cycle_std_errors") ? ws.get("cycle_std_errors")
                                                    : py::object(py::list());
    std::vector<cellcore::PulseRow> rows;
    for (std::size_t c = 0; c < results.size(); ++c) {
        const auto j = pulses.at(static_cast<py::ssize_t>(c));
        const auto first = slice.at(j) + 1, last = load_end.at(j);
        double sum = 0.0;
        for (auto k = first; k <= last; ++k)
            sum += i.at(k);
        cellcore::PulseRow row;
        row.pulse = j + 1;
        row.kind = "discharge";
        row.start_s = t.at(first);
        row.duration_s = t.at(last + 1) - t.at(first);
        row.current_a = sum / static_cast<double>(last - first + 1);
        row.soc = soc.at(j);
        row.params = nan5();
        row.std_error = nan5();
        const py::list result = results[c].cast<py::list>();
        const py::list fitted = result[3];
        for (std::size_t p = 0; p < fitted.size() && p < 5; ++p)
            row.params[p] = fitted[p].cast<double>();
        if (c < py::len(se_rows)) {
            const py::list errors = se_rows[py::int_(c)];
            for (std::size_t p = 0; p < errors.size() && p < 5; ++p)
                row.std_error[p] = errors[p].cast<double>();
        }
        row.rms_mv = result[0].cast<double>() * 1000;
        row.flags = cellcore::bound_flags(row.params);
        row.measured = cellcore::pulse_resistance(
            bridge::view(t), bridge::view(v), bridge::view(i),
            {row.start_s, t.at(last + 1), row.current_a});
        rows.push_back(row);
    }
    return rows;
}

std::vector<double> column(const py::object& df, const char* name) {
    return df[name].attr("to_numpy")("float64").cast<std::vector<double>>();
}

std::vector<cellcore::PulseRow> rows_of(const py::object& df) {
    const std::vector<double> pulse = column(df, "pulse"),
                              start = column(df, "start_s"),
                              duration = column(df, "duration_s"),
                              current = column(df, "current_A"),
                              soc = column(df, "soc"), rms = column(df, "rms_mV");
    std::vector<std::vector<double>> params, se;
    for (const char* name : cellcore::kCircuitNames) {
        params.push_back(column(df, name));
        se.push_back(column(df, (std::string(name) + "_se").c_str()));
    }
    const std::vector<double> measured[] = {column(df, "R_1s"), column(df, "R_10s"),
                                            column(df, "R_end")};
    const auto kind = df["kind"].attr("tolist")().cast<std::vector<std::string>>();
    const auto flags = df["flags"].attr("tolist")().cast<std::vector<std::string>>();
    std::vector<cellcore::PulseRow> rows(pulse.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        auto& r = rows[k];
        r.pulse = static_cast<long long>(pulse[k]);
        r.kind = kind[k];
        r.start_s = start[k];
        r.duration_s = duration[k];
        r.current_a = current[k];
        r.soc = soc[k];
        r.rms_mv = rms[k];
        for (std::size_t c = 0; c < 5; ++c) {
            r.params[c] = params[c][k];
            r.std_error[c] = se[c][k];
        }
        r.flags = flags[k];
        r.measured = {measured[0][k], measured[1][k], measured[2][k]};
    }
    return rows;
}

} // namespace

py::object pulse_frame(const Workspace& ws,
                       const std::vector<cellcore::PulseRow>& rows) {
    py::dict columns;
    py::list pulse, kind, flags;
    std::vector<double> start, duration, current, soc, rms, params[5], se[5],
        measured[3];
    for (const auto& r : rows) {
        pulse.append(py::int_(r.pulse));
        kind.append(r.kind);
        flags.append(r.flags);
        start.push_back(r.start_s);
        duration.push_back(r.duration_s);
        current.push_back(r.current_a);
        soc.push_back(r.soc);
        rms.push_back(r.rms_mv);
        for (std::size_t c = 0; c < 5; ++c) {
            params[c].push_back(r.params[c]);
            se[c].push_back(r.std_error[c]);
        }
        measured[0].push_back(r.measured.r_1s_ohm);
        measured[1].push_back(r.measured.r_10s_ohm);
        measured[2].push_back(r.measured.r_end_ohm);
    }
    columns["pulse"] = pulse;
    columns["kind"] = kind;
    columns["start_s"] = bridge::to_numpy(start);
    columns["duration_s"] = bridge::to_numpy(duration);
    columns["current_A"] = bridge::to_numpy(current);
    columns["soc"] = bridge::to_numpy(soc);
    for (std::size_t c = 0; c < 5; ++c)
        columns[cellcore::kCircuitNames[c]] = bridge::to_numpy(params[c]);
    columns["rms_mV"] = bridge::to_numpy(rms);
    for (std::size_t c = 0; c < 5; ++c)
        columns[py::str(std::string(cellcore::kCircuitNames[c]) + "_se")] =
            bridge::to_numpy(se[c]);
    columns["flags"] = flags;
    columns["R_1s"] = bridge::to_numpy(measured[0]);
    columns["R_10s"] = bridge::to_numpy(measured[1]);
    columns["R_end"] = bridge::to_numpy(measured[2]);
    return ws.get("pd").attr("DataFrame")(columns);
}

py::dict ocv_points_table(const std::vector<cellcore::OcvPoint>& points) {
    std::vector<double> time_s, soc, ocv_v;
    py::list source;
    for (const cellcore::OcvPoint& p : points) {
        time_s.push_back(p.time_s);
        soc.push_back(p.soc);
        ocv_v.push_back(p.ocv_v);
        source.append(p.loaded ? "corrected load" : "rest");
    }
    py::dict table;
    table["time_s"] = bridge::to_numpy(time_s);
    table["soc"] = bridge::to_numpy(soc);
    table["ocv_V"] = bridge::to_numpy(ocv_v);
    table["source"] = source;
    return table;
}

namespace {

// Below the last rest the record runs to the cut-off through the low-SOC knee: its
// loaded voltage less the drop of the last fitted cycle's circuit (simulated from that
// rest on) gives the OCV there, for the tables. The per-cycle fit's own curve (the
// parameter file's) stays the spline through the rests.
std::vector<cellcore::OcvPoint>
loaded_points(const Workspace& ws, const std::vector<cellcore::OcvPoint>& rests,
              const std::vector<cellcore::PulseRow>& cycles) {
    if (cycles.empty() || rests.empty())
        return {};
    const bridge::InArray t = ws.get("t"), v = ws.get("v"), iload = ws.get("iload");
    const std::vector<cellcore::StepChange> changes = logged_step_changes(ws);
    const cellcore::HoldGrid grid = cellcore::hold_grid(
        bridge::view<double>(t), bridge::view<double>(iload), changes);
    const double total_as = -grid.charge_at(grid.at_sample.size() - 1);
    if (!(total_as > 0))
        return {};
    std::vector<double> soc(grid.at_sample.size());
    for (std::size_t k = 0; k < soc.size(); ++k)
        soc[k] = 1.0 + grid.charge_at(k) / total_as;
    const std::size_t last_rest = rests.back().sample;
    const cellcore::LoadedStretch tail{last_rest, last_rest + 1, soc.size(),
                                       cycles.back().params};
    return cellcore::loaded_ocv_points(grid, bridge::view<double>(t),
                                       bridge::view<double>(v), soc, tail, rests);
}

} // namespace

void tabulate_fitted_cycles(const Workspace& ws) {
    const std::vector<cellcore::PulseRow> cycles = cycle_rows(ws);
    ws.set("df_pulses", pulse_frame(ws, cycles));
    // the OCV curve's points: the rested voltage at every rest end (the closed rest
    // ends' last entry is the record's end, no rest)
    const IndexView rest_ends = ws.get("ind_slice");
    const bridge::InArray t = ws.get("t"), soc = ws.get("soc"), vsoc = ws.get("vsoc");
    std::vector<cellcore::OcvPoint> points;
    for (py::ssize_t j = 0; j + 1 < rest_ends.size(); ++j) {
        const auto k = static_cast<std::size_t>(rest_ends.at(j));
        points.push_back({k, t.at(rest_ends.at(j)), soc.at(j), vsoc.at(j), false});
    }
    const std::vector<cellcore::OcvPoint> loaded = loaded_points(ws, points, cycles);
    points.insert(points.end(), loaded.begin(), loaded.end());
    std::sort(points.begin(), points.end(),
              [](const auto& a, const auto& b) { return a.sample < b.sample; });
    ws.set("ocv_points", ocv_points_table(points));
}

void write_ocv_points(const Workspace& ws, const std::string& target) {
    const py::dict points = ws.get("ocv_points");
    auto values = [&](const char* key) {
        const bridge::InArray a = py::object(points[key]);
        return std::vector<double>(a.data(), a.data() + a.size());
    };
    std::vector<bool> loaded;
    for (py::handle source : py::list(points["source"]))
        loaded.push_back(py::str(source).cast<std::string>() != "rest");
    cellcore::write_file_atomically(
        target, cellcore::ocv_points_csv(values("time_s"), values("soc"),
                                         values("ocv_V"), loaded));
}

void write_pulse_table(const Workspace& ws, const std::string& target) {
    ws.set("pulses_file", py::str(target));
    cellcore::write_file_atomically(
        target, cellcore::pulse_table_csv(rows_of(ws.get("df_pulses"))));
}

void warn_about_bound_medians(const Workspace& ws) {
    const bridge::InArray median = ws.get("opt_median");
    for (py::ssize_t c = 0; c < median.size() && c < 5; ++c) {
        const double p = median.at(c);
        if (cellcore::on_bound(p))
            bridge::log("cellfit", "warning",
                        record_name(ws) + ": the median " + cellcore::kCircuitNames[c] +
                            " (" + bridge::str(p) +
                            ") sits on a bound of the fit, so it is not a measured "
                            "value; see the pulses table");
    }
}

} // namespace cellfit
