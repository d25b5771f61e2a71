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

// One row per fitted cycle, as the log reported it.
std::vector<cellcore::PulseRow> cycle_rows(const Record& rec) {
    const py::array_t<long long, py::array::forcecast> slice = rec.ind_slice;
    const bridge::InArray t = rec.t, v = rec.v, i = rec.iload;
    std::vector<cellcore::PulseRow> rows;
    for (std::size_t c = 0; c < rec.results.size(); ++c) {
        const auto j = rec.fit_pulses.at(c);
        const auto first = slice.at(j) + 1,
                   last = rec.pulse_load_end.at(static_cast<std::size_t>(j));
        double sum = 0.0;
        for (auto k = first; k <= last; ++k)
            sum += i.at(k);
        cellcore::PulseRow row;
        row.pulse = j + 1;
        row.start_s = t.at(first);
        row.duration_s = t.at(last + 1) - t.at(first);
        row.current_a = sum / static_cast<double>(last - first + 1);
        row.soc = rec.soc.at(static_cast<std::size_t>(j));
        const py::list result = rec.results[c].cast<py::list>();
        const py::list fitted = result[3];
        for (std::size_t p = 0; p < fitted.size() && p < 5; ++p)
            row.params[p] = fitted[p].cast<double>();
        if (c < rec.std_errors.size())
            for (std::size_t p = 0; p < rec.std_errors[c].size() && p < 5; ++p)
                row.std_error[p] = rec.std_errors[c][p];
        row.rms_mv = result[0].cast<double>() * 1000;
        row.flags = cellcore::bound_flags(row.params);
        row.measured = cellcore::pulse_resistance(
            bridge::view(t), bridge::view(v), bridge::view(i),
            {row.start_s, t.at(last + 1), row.current_a});
        rows.push_back(row);
    }
    return rows;
}

// Below the last rest the record runs to the cut-off through the low-SOC knee: its
// loaded voltage less the drop of the last fitted cycle's circuit (simulated from that
// rest on) gives the OCV there, for the tables. The per-cycle fit's own curve (the
// parameter file's) stays the spline through the rests.
std::vector<cellcore::OcvPoint>
loaded_points(const Record& rec, const std::vector<cellcore::OcvPoint>& rests) {
    if (rec.pulses.empty() || rests.empty())
        return {};
    const bridge::InArray t = rec.t, v = rec.v, iload = rec.iload;
    const cellcore::HoldGrid grid = cellcore::hold_grid(
        bridge::view<double>(t), bridge::view<double>(iload), rec.logged_steps);
    const double total_as = -grid.charge_at(grid.at_sample.size() - 1);
    if (!(total_as > 0))
        return {};
    std::vector<double> soc(grid.at_sample.size());
    for (std::size_t k = 0; k < soc.size(); ++k)
        soc[k] = 1.0 + grid.charge_at(k) / total_as;
    const std::size_t last_rest = rests.back().sample;
    const cellcore::LoadedStretch tail{last_rest, last_rest + 1, soc.size(),
                                       rec.pulses.back().params};
    return cellcore::loaded_ocv_points(grid, bridge::view<double>(t),
                                       bridge::view<double>(v), soc, tail, rests);
}

} // namespace

void tabulate_fitted_cycles(Record& rec) {
    rec.pulses = cycle_rows(rec);
    // the OCV curve's points: the rested voltage at every rest end (the closed rest
    // ends' last entry is the record's end, no rest)
    const bridge::InArray t = rec.t;
    std::vector<cellcore::OcvPoint> points;
    for (std::size_t j = 0; j < rec.rest_ends.size(); ++j) {
        const long long k = rec.rest_ends[j];
        points.push_back({static_cast<std::size_t>(k), t.at(k), rec.soc.at(j),
                          rec.vsoc.at(j), false});
    }
    const std::vector<cellcore::OcvPoint> loaded = loaded_points(rec, points);
    points.insert(points.end(), loaded.begin(), loaded.end());
    std::sort(points.begin(), points.end(),
              [](const auto& a, const auto& b) { return a.sample < b.sample; });
    rec.ocv_points = std::move(points);
}

void write_ocv_points(const Record& rec, const std::string& target) {
    std::vector<double> time_s, soc, ocv_v;
    std::vector<bool> loaded;
    for (const cellcore::OcvPoint& p : rec.ocv_points) {
        time_s.push_back(p.time_s);
        soc.push_back(p.soc);
        ocv_v.push_back(p.ocv_v);
        loaded.push_back(p.loaded);
    }
    cellcore::write_file_atomically(
        target, cellcore::ocv_points_csv(time_s, soc, ocv_v, loaded));
}

void write_pulse_table(const Record& rec, const std::string& target) {
    cellcore::write_file_atomically(target, cellcore::pulse_table_csv(rec.pulses));
}

void warn_about_bound_medians(const Record& rec) {
    const bridge::InArray median = rec.opt_median;
    for (py::ssize_t c = 0; c < median.size() && c < 5; ++c) {
        const double p = median.at(c);
        if (cellcore::on_bound(p))
            bridge::log("cellfit", "warning",
                        rec.name + ": the median " + cellcore::kCircuitNames[c] + " (" +
                            bridge::str(p) +
                            ") sits on a bound of the fit, so it is not a measured "
                            "value; see the pulses table");
    }
}

} // namespace cellfit
