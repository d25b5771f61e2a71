// Starting values for the one-RC fits: the early fall of the first pulse is fitted from
// eight starting capacitances, since a poor start leaves the solver in a local minimum,
// and the candidate with the smallest plain RMS error is kept.
#include <pybind11/numpy.h>

#include "bridge/python_text.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

// The configured limit caps the cycles the record has (its paired pulses but the last,
// which the cut-off ends); Python's min keeps the configured value on a tie.
void fix_cycle_count(const Workspace& ws) {
    const std::size_t pulses = py::len(ws.get("fit_pulses"));
    if (pulses == 0)
        throw cellcore::record_error(record_name(ws),
                                     "no pulse can be fitted (none "
                                     "before the cut-off has a load end)");
    py::object available = py::int_(pulses);
    py::object limit = ws.get("maybe_total_number_of_cycles");
    py::object total =
        limit.is_none() ? available : (available < limit ? available : limit);
    ws.set("total_number_of_cycles", total);
    ws.set("results", py::list());
    bridge::print_line("Total cycles = " + bridge::str(total));
}

py::object model_output(const Workspace& ws, const char* model,
                        const py::object& params) {
    return ws.get(model)(ws.get("xdata"), *params);
}

// A candidate whose start makes the residuals non-finite cannot be fitted; it simply
// does not win.
py::object fit_candidate(const Workspace& ws, const py::object& start) {
    try {
        return least_squares(ws, "fit_ls1", start, 0.1, 1e-08);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        info("candidate " + bridge::str(start) +
             " not fitted: " + bridge::str(e.value()));
        return py::none();
    }
}

void try_candidate(const Workspace& ws, const py::object& ci) {
    info("\nInitial value search...");
    ws.set("Ci", ci);
    py::object start = py::make_tuple(0.5, 0.05, ci);
    ws.set("params_start", start);
    py::object res = fit_candidate(ws, start);
    if (!res.is_none()) {
        ws.set("res_init", res);
        py::object yout = model_output(ws, "model1", res.attr("x"));
        ws.set("lsq_yout", yout);
        py::object error = ws.get("ydata") - yout;
        ws.set("error_cur", error);
        py::object rms_curr = rms(ws, error);
        ws.set("rms_curr", rms_curr);
        if (rms_curr < ws.get("rms_min")) {
            ws.set("rms_min", rms_curr);
            ws.set("res_opt_init", res);
            info("Init params = " + bridge::str(res.attr("x")));
        }
    }
    info("Min. rms_err = " + bridge::str(ws.get("rms_min") * py::int_(1000)) + " mV");
}

// How well the kept start reproduces the whole first cycle, pulse and rest.
void check_full_cycle(const Workspace& ws) {
    set_cycle_window(ws, 1);
    py::object yout = model_output(ws, "model1", ws.get("res_opt_init").attr("x"));
    ws.set("lsq_yout_full", yout);
    py::object error = ws.get("ydata") - yout;
    ws.set("error_lsq_full", error);
    py::object rms_full = rms(ws, error);
    ws.set("rms_lsq_full", rms_full);
    info("rms_err_model1 = " + bridge::str(rms_full * py::int_(1000)) + " mV\n");
}

} // namespace

void search_start_values(const Workspace& ws) {
    fix_cycle_count(ws);
    ws.set("i", py::int_(1));
    set_fall_window(ws, 1);
    ws.set("rms_min", py::int_(10));
    py::list cinit;
    for (int c : {1, 10, 50, 100, 500, 1000, 2000, 4000})
        cinit.append(py::int_(c));
    ws.set("Cinit", cinit);
    // the previous record's choice must not stand in for this one's
    py::object previous = ws.has("res_opt_init") ? ws.get("res_opt_init") : py::none();
    for (py::handle ci : cinit)
        try_candidate(ws, py::reinterpret_borrow<py::object>(ci));
    if (!ws.has("res_opt_init") || ws.get("res_opt_init").is(previous))
        throw cellcore::record_error(
            record_name(ws), "no usable starting values for the first pulse (no "
                             "one-RC fit of its voltage fall reached an RMS error "
                             "below 10 V)");
    check_full_cycle(ws);
}

} // namespace cellfit
