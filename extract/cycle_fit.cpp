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

// The previous result's solution, or the fallback when there is none yet.
py::object previous_solution(const Workspace& ws, const char* name) {
    if (!ws.has(name))
        return py::none();
    try {
        return ws.get(name).attr("x");
    } catch (py::error_already_set&) {
        return py::none();
    }
}

py::object rested_voltage_after(const Workspace& ws, long long i) {
    const long long end = cycle_end(ws, i);
    return ws.get("np").attr("mean")(ws.get("v")[py::slice(end - 5, end - 1, 1)]);
}

py::object elapsed_minutes(const Workspace& ws) {
    return (ws.get("stop_time_i") - ws.get("start_time_i")) / py::int_(60);
}

void append_row(const Workspace& ws, const py::object& rms_value,
                const py::object& runtime) {
    py::list row;
    row.append(rms_value);
    row.append(ws.get("R0Tau"));
    row.append(runtime);
    row.append(ws.get("fit_params"));
    py::list fit;
    fit.append(ws.get("t_vec"));
    fit.append(ws.get("lsq_yout"));
    row.append(fit);
    row.append(ws.get("batt_val"));
    ws.get("results").attr("append")(row);
}

void first_pass(const Workspace& ws, long long i) {
    set_fall_window(ws, i);
    py::object start = previous_solution(ws, "res_opt_1");
    if (start.is_none()) {
        start = ws.get("res_opt_init").attr("x");
        info("Starting with init values");
    }
    ws.set("params_start", start);
    py::object res = least_squares(ws, "fit_ls1", start, 0.1, 1e-11);
    ws.set("res_opt_1", res);
    py::object x = res.attr("x");
    ws.set("lsq_yout", ws.get("model1")(ws.get("xdata"), *x));
    // plain floats, so that parameter lists print alike on every numpy
    py::list fit_params;
    const char* names[] = {"gr0", "gr1", "gc1"};
    for (int k = 0; k < 3; ++k) {
        py::float_ value(x[py::int_(k)].cast<double>());
        ws.set(names[k], value);
        fit_params.append(value);
    }
    ws.set("fit_params", fit_params);
    py::object error = ws.get("ydata") - ws.get("lsq_yout");
    ws.set("error_lsq_1", error);
    ws.set("rms_lsq_1", rms(ws, error));
    info("---- 1st pass ---");
    info("params 1st = " + str(x));
    info("rms_err = " + str(ws.get("rms_lsq_1") * py::int_(1000)) + " mV\n");
}

void one_rc_row(const Workspace& ws, long long i) {
    ws.set("stop_time_i", ws.get("tp")());
    py::object runtime = py::str(str(elapsed_minutes(ws)) + " minutes");
    ws.set("runtime", runtime);
    py::list p = ws.get("fit_params");
    ws.set("R0Tau", py::make_tuple(py::str(p[0]), py::str(p[1] * p[2])));
    ws.set("batt_val", rested_voltage_after(ws, i));
    append_row(ws, ws.get("rms_lsq_1"), runtime);
}

void second_pass(const Workspace& ws, long long i, bool joint) {
    set_cycle_window(ws, i);
    py::object start = previous_solution(ws, "res_opt_2");
    if (start.is_none())
        start = py::make_tuple(1.0, 100);
    ws.set("params_start", start);
    py::object res = least_squares(ws, "fit_ls2", start, 1.0, 1e-09);
    ws.set("res_opt_2", res);
    py::object x = res.attr("x");
    ws.set("lsq_yout", ws.get("model2_r2c2")(ws.get("xdata"), *x));
    ws.set("stop_time_i", ws.get("tp")());
    py::list p = ws.get("fit_params");
    p.append(py::float_(x[py::int_(0)].cast<double>()));
    p.append(py::float_(x[py::int_(1)].cast<double>()));
    info("--- 2nd Pass ----");
    report_cycle_fit(ws, p);
    if (joint) { // its result stands in the row in place of the two passes'
        fit_jointly(ws);
        p = ws.get("fit_params");
    }
    py::object rounded =
        py::module_::import("builtins").attr("round")(elapsed_minutes(ws), 1);
    py::object runtime = py::str(str(rounded) + " minutes");
    ws.set("runtime", runtime);
    ws.set("R0Tau",
           py::make_tuple(py::str(p[0]), py::str(p[1] * p[2]), py::str(p[3] * p[4])));
    ws.set("batt_val", rested_voltage_after(ws, i));
    append_row(ws, ws.get("rms_lsq"), runtime);
}

} // namespace

void fit_cycles(const Workspace& ws) {
    py::object total = ws.get("total_number_of_cycles");
    const long long cycles = total.cast<long long>();
    const std::string model = str(ws.get("values")["model"]);
    const bool joint = str(ws.get("fit_method")) == "joint";
    ws.set("cycle_std_errors", py::list()); // the joint fit's, per cycle
    for (long long i = 1; i <= cycles; ++i) {
        ws.set("i", py::int_(i));
        info("\nProcessing cycle " + str(i) + " / " + str(total) + " ...");
        ws.set("start_time_i", ws.get("tp")());
        first_pass(ws, i);
        if (model == "model1")
            one_rc_row(ws, i);
        if (model == "model2")
            second_pass(ws, i, joint);
    }
}

} // namespace cellfit
