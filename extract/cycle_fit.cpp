// The per-cycle fit. The first pass fits the one-RC circuit to the voltage fall over
// the first 70 % of the pulse, where R0 and the fast pair dominate; with the two-RC
// model a second pass fits the slow pair (R2, C2) over the whole pulse and rest, the
// first pair held; with the "joint" fit method all five are then refitted together
// (joint_fit.cpp). Each fit starts from the previous cycle's result, across records
// too: neighbouring pulses of one cell have similar parameters.
#include "bridge/python_text.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

using bridge::str;

// The previous result's solution (kept in the workspace across cycles and records), or
// None when there is none yet.
py::object previous_solution(const Run& run, const char* name) {
    if (!run.ws.has(name))
        return py::none();
    try {
        return run.ws.get(name).attr("x");
    } catch (py::error_already_set&) {
        return py::none();
    }
}

py::object rested_voltage_after(const Run& run, const Record& rec, long long i) {
    const long long end = cycle_end(rec, i);
    return run.lib.np.attr("mean")(rec.v[py::slice(end - 5, end - 1, 1)]);
}

// One cycle as its results row holds it.
struct CycleRow {
    py::object rms, R0Tau, runtime, batt_val, lsq_yout;
    py::list fit_params;
    py::object t_vec;
};

void append_row(const Run& run, Record& rec, const CycleRow& c) {
    py::list fit;
    fit.append(c.t_vec);
    fit.append(c.lsq_yout);
    py::list row;
    for (const py::object& item : {c.rms, c.R0Tau, c.runtime, py::object(c.fit_params),
                                   py::object(fit), c.batt_val})
        row.append(item);
    rec.results.append(row);
    publish(run.ws, {{"runtime", c.runtime},
                     {"R0Tau", c.R0Tau},
                     {"batt_val", c.batt_val},
                     {"fit_params", c.fit_params},
                     {"lsq_yout", c.lsq_yout}});
}

py::object elapsed_minutes(const py::object& start, const py::object& stop) {
    return (stop - start) / py::int_(60);
}

struct FirstPass {
    Window window;
    py::list fit_params;
    py::object lsq_yout;
    Residual residual;
};

FirstPass first_pass(const Run& run, const Record& rec, long long i) {
    FirstPass out{set_fall_window(run, rec, i), py::list(), py::none(), {}};
    py::object start = previous_solution(run, "res_opt_1");
    if (start.is_none()) {
        start = rec.res_opt_init.attr("x");
        info("Starting with init values");
    }
    publish(run.ws, {{"params_start", start}});
    py::object res = least_squares(run, "fit_ls1", start, 0.1, 1e-11);
    py::object x = res.attr("x");
    out.lsq_yout = run.ws.get("model1")(out.window.xdata, *x);
    // plain floats, so that parameter lists print alike on every numpy
    py::float_ gr[3];
    for (int k = 0; k < 3; ++k) {
        gr[k] = py::float_(x[py::int_(k)].cast<double>());
        out.fit_params.append(gr[k]);
    }
    out.residual.error = out.window.ydata - out.lsq_yout;
    out.residual.rms = rms(run, out.residual.error);
    // gr0, gr1, gc1: the first pair the second pass's circuit holds
    publish(run.ws, {{"res_opt_1", res},
                     {"lsq_yout", out.lsq_yout},
                     {"gr0", gr[0]},
                     {"gr1", gr[1]},
                     {"gc1", gr[2]},
                     {"fit_params", out.fit_params},
                     {"error_lsq_1", out.residual.error},
                     {"rms_lsq_1", out.residual.rms}});
    info("---- 1st pass ---");
    info("params 1st = " + str(x));
    info("rms_err = " + str(out.residual.rms * py::int_(1000)) + " mV\n");
    return out;
}

void one_rc_row(const Run& run, Record& rec, long long i, const py::object& started,
                const FirstPass& first) {
    const py::object stop = run.lib.tp();
    publish(run.ws, {{"stop_time_i", stop}});
    const py::list& p = first.fit_params;
    append_row(run, rec,
               {first.residual.rms, py::make_tuple(py::str(p[0]), py::str(p[1] * p[2])),
                py::str(str(elapsed_minutes(started, stop)) + " minutes"),
                rested_voltage_after(run, rec, i), first.lsq_yout, p,
                first.window.t_vec});
}

void second_pass(const Run& run, Record& rec, long long i, const py::object& started,
                 const FirstPass& first) {
    const Window w = set_cycle_window(run, rec, i);
    py::object start = previous_solution(run, "res_opt_2");
    if (start.is_none())
        start = py::make_tuple(1.0, 100);
    publish(run.ws, {{"params_start", start}});
    py::object res = least_squares(run, "fit_ls2", start, 1.0, 1e-09);
    py::object x = res.attr("x");
    py::object yout = run.ws.get("model2_r2c2")(w.xdata, *x);
    py::object stop = run.lib.tp();
    py::list p = first.fit_params; // the same list, extended
    p.append(py::float_(x[py::int_(0)].cast<double>()));
    p.append(py::float_(x[py::int_(1)].cast<double>()));
    info("--- 2nd Pass ----");
    Residual fitted = report_cycle_fit(run, w, yout, p);
    if (run.fit_method ==
        "joint") { // its result stands in the row in place of the two passes'
        JointFit joint = fit_jointly(run, rec, w, p);
        p = joint.fit_params;
        yout = joint.lsq_yout;
        stop = joint.stop_time_i;
        fitted = joint.residual;
    }
    publish(run.ws, {{"res_opt_2", res},
                     {"stop_time_i", stop},
                     {"error_lsq", fitted.error},
                     {"rms_lsq", fitted.rms}});
    py::object rounded = py::module_::import("builtins")
                             .attr("round")(elapsed_minutes(started, stop), 1);
    append_row(
        run, rec,
        {fitted.rms,
         py::make_tuple(py::str(p[0]), py::str(p[1] * p[2]), py::str(p[3] * p[4])),
         py::str(str(rounded) + " minutes"), rested_voltage_after(run, rec, i), yout, p,
         w.t_vec});
}

} // namespace

void fit_cycles(const Run& run, Record& rec) {
    py::object total = run.ws.get("total_number_of_cycles");
    const long long cycles = total.cast<long long>();
    for (long long i = 1; i <= cycles; ++i) {
        info("\nProcessing cycle " + str(i) + " / " + str(total) + " ...");
        const py::object started = run.lib.tp();
        publish(run.ws, {{"i", py::int_(i)}, {"start_time_i", started}});
        const FirstPass first = first_pass(run, rec, i);
        if (run.model == "model1")
            one_rc_row(run, rec, i, started, first);
        if (run.model == "model2")
            second_pass(run, rec, i, started, first);
    }
}

} // namespace cellfit
