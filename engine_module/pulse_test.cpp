// cellkit._engine.PulseTest: the pulse-test engine on numpy arrays. The analysis runs
// once, without the GIL, when the object is made; its tables come back as dicts of
// arrays for cellkit to turn into DataFrames.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <limits>
#include <memory>

#include "bridge/arrays.hpp"
#include "core/engine/pulse_fit.hpp"
#include "core/engine/pulse_test.hpp"
#include "core/engine/step_window.hpp"
#include "core/pulse_resistance.hpp"
#include "core/record_rows.hpp"
#include "engine_module/bindings.hpp"

namespace py = pybind11;
using cellcore::PulseTestResult;

namespace {

struct PulseTest {
    PulseTestResult result;
};

// The cycler's step clock from optional arrays (None: the record has none).
cellcore::StepClock step_clock(const py::object& step_time_s,
                               const py::object& step_index) {
    cellcore::StepClock clock;
    const auto take = [](const py::object& column, std::vector<double>& into) {
        if (column.is_none())
            return;
        const bridge::InArray a = column;
        if (a.ndim() != 1)
            throw cellcore::InputError("the step clock must be 1-D");
        into.assign(bridge::view(a).begin(), bridge::view(a).end());
    };
    take(step_time_s, clock.step_time_s);
    take(step_index, clock.step_index);
    return clock;
}

std::unique_ptr<PulseTest> analyse(const bridge::InArray& t, const bridge::InArray& v,
                                   const bridge::InArray& i, int rc_pairs,
                                   double cutoff_v, double pulse_max_s,
                                   double ocv_rest_min_s, double rest_limit_a,
                                   const py::object& step_time_s,
                                   const py::object& step_index) {
    if (t.ndim() != 1 || v.ndim() != 1 || i.ndim() != 1)
        throw cellcore::InputError("time, voltage and current must be 1-D");
    const cellcore::StepClock clock = step_clock(step_time_s, step_index);
    auto pt = std::make_unique<PulseTest>();
    cellcore::PulseTestOptions o;
    o.rc_pairs = rc_pairs;
    o.cutoff_v = cutoff_v;
    o.segmentation.pulse_max_s = pulse_max_s;
    o.segmentation.rest_limit_a = rest_limit_a;
    o.ocv_rest_min_s = ocv_rest_min_s;
    {
        py::gil_scoped_release nogil;
        pt->result = cellcore::analyse_pulse_test(bridge::view(t), bridge::view(v),
                                                  bridge::view(i), o, clock);
    }
    return pt;
}

template <typename F> py::array_t<double> column(std::size_t n, F value) {
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    for (std::size_t k = 0; k < n; ++k)
        out.mutable_at(static_cast<py::ssize_t>(k)) = value(k);
    return out;
}

py::dict pulses(const PulseTest& pt) {
    const auto& p = pt.result.pulses;
    const std::size_t n = p.size();
    py::dict out;
    py::list kind, flags;
    for (const auto& f : p) {
        kind.append(cellcore::pulse_kind_name(f.row.kind));
        flags.append(cellcore::pulse_flag_text(f.row.flags));
    }
    const auto row = [&](std::size_t k) -> const cellcore::PulseRow& {
        return p[k].row;
    };
    out["kind"] = kind;
    out["start_s"] = column(n, [&](std::size_t k) { return row(k).start_s; });
    out["duration_s"] = column(n, [&](std::size_t k) { return row(k).duration_s; });
    out["current_A"] = column(n, [&](std::size_t k) { return row(k).current_a; });
    out["soc"] = column(n, [&](std::size_t k) { return row(k).soc; });
    using cellcore::kCircuitNames;
    for (std::size_t c = 0; c < cellcore::kCircuitParameters; ++c)
        out[kCircuitNames[c]] =
            column(n, [&](std::size_t k) { return row(k).params[c]; });
    out["rms_mV"] = column(n, [&](std::size_t k) { return row(k).rms_mv; });
    for (std::size_t c = 0; c < cellcore::kCircuitParameters; ++c)
        out[py::str(std::string(kCircuitNames[c]) + "_se")] =
            column(n, [&](std::size_t k) { return row(k).std_error[c]; });
    out["flags"] = flags;
    out["R_1s"] = column(n, [&](std::size_t k) { return row(k).measured.r_1s_ohm; });
    out["R_10s"] = column(n, [&](std::size_t k) { return row(k).measured.r_10s_ohm; });
    out["R_end"] = column(n, [&](std::size_t k) { return row(k).measured.r_end_ohm; });
    out["step_R_ohm"] = column(n, [&](std::size_t k) { return p[k].step_r0_ohm; });
    out["evaluations"] = column(n, [&](std::size_t k) { return p[k].evaluations; });
    return out;
}

py::dict ocv_points(const PulseTest& pt) {
    const auto& o = pt.result.ocv_points;
    py::dict out;
    out["time_s"] = column(o.size(), [&](std::size_t k) { return o[k].time_s; });
    out["soc"] = column(o.size(), [&](std::size_t k) { return o[k].soc; });
    out["ocv_V"] = column(o.size(), [&](std::size_t k) { return o[k].ocv_v; });
    py::list source;
    for (const auto& p : o)
        source.append(p.loaded ? "corrected load" : "rest");
    out["source"] = source;
    return out;
}

py::dict steps(const PulseTest& pt) {
    const auto& s = pt.result.segmentation.steps;
    py::dict out;
    py::list kind;
    for (const auto& step : s)
        kind.append(cellcore::step_kind_name(step.kind));
    out["kind"] = kind;
    out["first_sample"] = column(s.size(), [&](std::size_t k) { return s[k].begin; });
    out["samples"] =
        column(s.size(), [&](std::size_t k) { return s[k].end - s[k].begin; });
    out["start_s"] = column(s.size(), [&](std::size_t k) { return s[k].start_s; });
    out["duration_s"] =
        column(s.size(), [&](std::size_t k) { return s[k].duration_s(); });
    out["current_A"] =
        column(s.size(), [&](std::size_t k) { return s[k].mean_current_a; });
    return out;
}

// The part of the record analysed: its first row (of the rows left after repeated ones
// were dropped), the capacity checks before it, and whether a recharge follows.
py::dict part(const PulseTest& pt) {
    const cellcore::PulseTestPart& p = pt.result.part;
    py::list checks;
    for (const cellcore::CapacityCheck& c : p.capacity_checks) {
        py::dict check;
        check["start_s"] = c.begin_s;
        check["end_s"] = c.end_s;
        check["charge_ah"] = c.charge_ah;
        check["current_a"] = c.current_a;
        checks.append(check);
    }
    py::dict out;
    out["first_row"] = p.begin;
    out["capacity_checks"] = checks;
    out["recharged_after"] = p.recharged_after;
    return out;
}

// Measured and modelled voltage over pulse k's window, for the fitted parameters or
// for others given as [R0, R1, C1(, R2, C2)].
py::tuple curve(const PulseTest& pt, std::size_t k, py::object params) {
    const auto& p = pt.result.pulses;
    if (k >= p.size())
        throw std::out_of_range("pulse index " + std::to_string(k) + " out of range");
    std::array<double, 5> values = p[k].row.params;
    if (!params.is_none()) {
        auto given = params.cast<std::vector<double>>();
        if (given.size() != 3 && given.size() != 5)
            throw cellcore::InputError("params: R0, R1, C1 and optionally R2, C2");
        values.fill(cellcore::kNaN);
        std::copy(given.begin(), given.end(), values.begin());
    }
    const cellcore::PulseCurve c = cellcore::pulse_curve(pt.result, p[k], values);
    return py::make_tuple(bridge::to_numpy(c.time_s), bridge::to_numpy(c.measured_v),
                          bridge::to_numpy(c.model_v));
}

// Pulse k's fitting problem as the engine poses it, for benchmarks and checks: the
// simulation grid, the compared rows, the target (measured voltage minus OCV and any
// earlier pulse's decay), the start and the bounds.
py::dict window(const PulseTest& pt, std::size_t k, int rc_pairs) {
    const auto& p = pt.result.pulses;
    if (k >= p.size())
        throw std::out_of_range("pulse index " + std::to_string(k) + " out of range");
    const cellcore::PulseWindow w = cellcore::fitted_window(pt.result, p[k]);
    cellcore::PulseTestOptions o;
    o.rc_pairs = rc_pairs;
    std::vector<long long> rows(w.grid_rows().begin(), w.grid_rows().end());
    py::dict out;
    out["grid_time_s"] = bridge::to_numpy(w.grid_time_s());
    out["grid_current_a"] = bridge::to_numpy(w.grid_current_a());
    out["rows"] = bridge::to_numpy(rows);
    out["target_v"] = bridge::to_numpy(w.target());
    out["start"] = bridge::to_numpy(cellcore::pulse_fit_start(w, o));
    out["lower"] = o.lower;
    out["upper"] = o.upper;
    return out;
}

// The current as the fits see it: the rows logged at a step instant moved to their
// step, and each step placed where the voltage says it happened, on a grid with one
// extra point per step.
py::tuple hold_grid(const bridge::InArray& t, const bridge::InArray& v,
                    const bridge::InArray& i, const py::object& step_time_s,
                    const py::object& step_index) {
    const cellcore::StepClock clock = step_clock(step_time_s, step_index);
    cellcore::HoldGrid g;
    {
        py::gil_scoped_release nogil;
        const auto seg = cellcore::segment_record(bridge::view(t), bridge::view(v),
                                                  bridge::view(i), {}, clock);
        g = cellcore::hold_grid(bridge::view(t), seg);
    }
    std::vector<long long> at(g.at_sample.begin(), g.at_sample.end());
    return py::make_tuple(bridge::to_numpy(g.time_s), bridge::to_numpy(g.current_a),
                          bridge::to_numpy(at));
}

// A record's rows as segment_record takes them: finite, time strictly increasing.
void check_rows(const bridge::InArray& t, const bridge::InArray& v,
                const bridge::InArray& i) {
    if (t.ndim() != 1 || v.ndim() != 1 || i.ndim() != 1)
        throw cellcore::InputError("time, voltage and current must be 1-D");
    for (const bridge::InArray* column : {&t, &v, &i})
        for (double x : bridge::view(*column))
            if (!std::isfinite(x))
                throw cellcore::InputError(
                    "the record holds a value that is not a number");
    const cellcore::TimeOrder order = cellcore::increasing_time_rows(bridge::view(t));
    if (order.backwards_row >= 0 || order.repeated > 0)
        throw cellcore::InputError("time must increase from row to row");
}

// Every load step of a record and the rows it is judged over, for a pulses table
// whatever fitted it: kind, start_s (as a table shows it), first and stop (rows
// [first, stop)).
py::dict step_windows(const bridge::InArray& t, const bridge::InArray& v,
                      const bridge::InArray& i, const py::object& step_time_s,
                      const py::object& step_index) {
    check_rows(t, v, i);
    const cellcore::StepClock clock = step_clock(step_time_s, step_index);
    cellcore::Segmentation seg;
    std::vector<std::size_t> gaps;
    {
        py::gil_scoped_release nogil;
        seg = cellcore::segment_record(bridge::view(t), bridge::view(v),
                                       bridge::view(i), {}, clock);
        gaps = cellcore::gap_ends(bridge::view(t));
    }
    py::list kind;
    std::vector<double> start_s;
    std::vector<long long> first, stop;
    for (std::size_t s = 0; s < seg.steps.size(); ++s) {
        const cellcore::Step& step = seg.steps[s];
        if (!step.is_load())
            continue;
        const cellcore::RowRange rows = cellcore::judged_rows(seg.steps, s, gaps);
        kind.append(cellcore::step_kind_name(step.kind));
        start_s.push_back(cellcore::shown_start_s(step, bridge::view(t)));
        first.push_back(static_cast<long long>(rows.begin));
        stop.push_back(static_cast<long long>(rows.end));
    }
    py::dict out;
    out["kind"] = kind;
    out["start_s"] = bridge::to_numpy(start_s);
    out["first"] = bridge::to_numpy(first);
    out["stop"] = bridge::to_numpy(stop);
    return out;
}

} // namespace

void register_pulse_test(py::module_& m) {
    m.def("hold_grid", &hold_grid, py::arg("time_s"), py::arg("voltage_v"),
          py::arg("current_a"), py::arg("step_time_s") = py::none(),
          py::arg("step_index") = py::none(),
          "(grid time s, grid current A, grid index of every sample): the current as "
          "the fits see it, the rows a cycler logs at a step instant moved to their "
          "step and every step placed where it happened (time strictly increasing).");
    m.def("step_windows", &step_windows, py::arg("time_s"), py::arg("voltage_v"),
          py::arg("current_a"), py::arg("step_time_s") = py::none(),
          py::arg("step_index") = py::none(),
          "Every load step (kind, start_s) and the rows [first, stop) it is judged "
          "over: from the row before it to the last row of the rest after it, cut at "
          "a gap in the log.");
    m.def(
        "gap_ends",
        [](const bridge::InArray& t) {
            const auto ends = cellcore::gap_ends(bridge::view(t));
            return bridge::to_numpy(std::vector<long long>(ends.begin(), ends.end()));
        },
        py::arg("time_s"),
        "Rows that end a gap in the log: a time step longer than ten minutes and a "
        "hundred median logging intervals.");
    py::class_<PulseTest>(m, "PulseTest",
                          "A pulse test analysed: steps, OCV points, per-pulse fits.")
        .def(py::init(&analyse), py::arg("time_s"), py::arg("voltage_v"),
             py::arg("current_a"), py::arg("rc_pairs") = 2,
             py::arg("cutoff_v") = cellcore::kNaN,
             py::arg("pulse_max_s") = std::numeric_limits<double>::infinity(),
             py::arg("ocv_rest_min_s") = 600.0, py::arg("rest_limit_a") = -1.0,
             py::arg("step_time_s") = py::none(), py::arg("step_index") = py::none())
        .def_property_readonly("pulses", &pulses)
        .def_property_readonly("ocv_points", &ocv_points)
        .def_property_readonly("steps", &steps)
        .def_property_readonly(
            "capacity_ah", [](const PulseTest& pt) { return pt.result.capacity_ah; })
        .def_property_readonly("samples",
                               [](const PulseTest& pt) { return pt.result.samples; })
        .def_property_readonly(
            "repeated_rows",
            [](const PulseTest& pt) { return pt.result.repeated_rows; })
        .def_property_readonly("part", &part)
        .def_property_readonly(
            "reached_cutoff",
            [](const PulseTest& pt) { return pt.result.reached_cutoff; })
        .def_property_readonly("gaps",
                               [](const PulseTest& pt) { return pt.result.gaps; })
        .def_property_readonly(
            "quirks", [](const PulseTest& pt) { return pt.result.segmentation.quirks; })
        .def_property_readonly(
            "soc", [](const PulseTest& pt) { return bridge::to_numpy(pt.result.soc); })
        .def(
            "ocv",
            [](const PulseTest& pt, const bridge::InArray& soc) {
                return column(static_cast<std::size_t>(soc.size()), [&](std::size_t k) {
                    return pt.result.ocv(soc.at(static_cast<py::ssize_t>(k)));
                });
            },
            py::arg("soc"), "The OCV curve (V) at the given states of charge.")
        .def("window", &window, py::arg("pulse"), py::arg("rc_pairs") = 2,
             "Pulse k's fitting problem: grid, compared rows, target, start, bounds.")
        .def("curve", &curve, py::arg("pulse"), py::arg("params") = py::none(),
             "(time_s, measured V, modelled V) over a pulse's fitting window.");
}
