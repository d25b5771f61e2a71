// The record's pulses table, results/<record>_pulses.csv: every fitted pulse with when
// it ran, its current and state of charge, its parameters, RMS error and flags. The
// medians in the parameter file hide how the parameters move over SOC and between
// discharge and charge; this table keeps it. Also the warning when a median the
// parameter file will carry sits on a bound of the fit.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/atomic_file.hpp"
#include "core/pulse_table.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

// The bounds every circuit fit of the pipeline uses.
constexpr double kLower = 0.0001, kUpper = 50000.0;
const char* const kNames[] = {"R0", "R1", "C1", "R2", "C2"};

using IndexView = py::array_t<long long, py::array::c_style | py::array::forcecast>;

std::array<double, 5> nan5() {
    std::array<double, 5> a;
    a.fill(std::nan(""));
    return a;
}

// One row per fitted cycle, as the log reported it.
py::object cycle_frame(const Workspace& ws) {
    const IndexView pulses = ws.get("fit_pulses"), slice = ws.get("ind_slice"),
                    load_end = ws.get("pulse_load_end");
    const bridge::InArray t = ws.get("t"), i = ws.get("iload"), soc = ws.get("soc");
    const py::list results = ws.get("results");
    py::object se_rows = ws.has("cycle_std_errors") ? ws.get("cycle_std_errors")
                                                    : py::object(py::list());
    py::dict columns;
    py::list pulse, kind, flags;
    std::vector<double> cols[15];
    for (std::size_t c = 0; c < results.size(); ++c) {
        const auto j = pulses.at(static_cast<py::ssize_t>(c));
        const auto first = slice.at(j) + 1, last = load_end.at(j);
        double sum = 0.0;
        for (auto k = first; k <= last; ++k)
            sum += i.at(k);
        std::array<double, 5> params = nan5(), se = nan5();
        const py::list fitted = results[c].cast<py::list>()[3];
        for (std::size_t p = 0; p < fitted.size() && p < 5; ++p)
            params[p] = fitted[p].cast<double>();
        if (c < py::len(se_rows)) {
            const py::list errors = se_rows[py::int_(c)];
            for (std::size_t p = 0; p < errors.size() && p < 5; ++p)
                se[p] = errors[p].cast<double>();
        }
        pulse.append(py::int_(j + 1));
        kind.append("discharge");
        flags.append(cellcore::bound_flags(params, kLower, kUpper));
        const double row[] = {t.at(first), t.at(last + 1) - t.at(first),
                              sum / static_cast<double>(last - first + 1), soc.at(j)};
        for (int k = 0; k < 4; ++k)
            cols[k].push_back(row[k]);
        for (int p = 0; p < 5; ++p) {
            cols[4 + p].push_back(params[p]);
            cols[10 + p].push_back(se[p]);
        }
        cols[9].push_back(results[c].cast<py::list>()[0].cast<double>() * 1000);
    }
    static const char* names[] = {
        "start_s", "duration_s", "current_A", "soc",   "R0",    "R1",    "C1",   "R2",
        "C2",      "rms_mV",     "R0_se",     "R1_se", "C1_se", "R2_se", "C2_se"};
    columns["pulse"] = pulse;
    columns["kind"] = kind;
    for (int k = 0; k < 15; ++k)
        columns[names[k]] = bridge::to_numpy(cols[k]);
    columns["flags"] = flags;
    return ws.get("pd").attr("DataFrame")(columns);
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
    for (const char* name : kNames) {
        params.push_back(column(df, name));
        se.push_back(column(df, (std::string(name) + "_se").c_str()));
    }
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
    }
    return rows;
}

} // namespace

void tabulate_fitted_cycles(const Workspace& ws) {
    ws.set("df_pulses", cycle_frame(ws));
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
        if (std::fabs(p - kLower) <= 1e-6 * kLower ||
            std::fabs(p - kUpper) <= 1e-6 * kUpper)
            bridge::log("cellfit", "warning",
                        record_name(ws) + ": the median " + kNames[c] + " (" +
                            bridge::str(p) +
                            ") sits on a bound of the fit, so it is not a measured "
                            "value; see the pulses table");
    }
}

} // namespace cellfit
