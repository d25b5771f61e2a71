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
py::object cycle_count(const Run& run, const Record& rec) {
    const std::size_t pulses = rec.fit_pulses.size();
    if (pulses == 0)
        throw cellcore::record_error(rec.name, "no pulse can be fitted (none "
                                               "before the cut-off has a load end)");
    py::object available = py::int_(pulses);
    const py::object& limit = run.cycle_limit;
    return limit.is_none() ? available : (available < limit ? available : limit);
}

// The one-RC model as the workspace binds it, over the window's current.
py::object model1_output(const Run& run, const Window& w, const py::object& params) {
    return run.ws.get("model1")(w.xdata, *params);
}

// A candidate whose start makes the residuals non-finite cannot be fitted; it simply
// does not win.
py::object fit_candidate(const Run& run, const py::object& start) {
    try {
        return least_squares(run, "fit_ls1", start, 0.1, 1e-08);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        info("candidate " + bridge::str(start) +
             " not fitted: " + bridge::str(e.value()));
        return py::none();
    }
}

// The search as it stands: the best RMS so far and its fit (None before the first),
// the last candidate tried and the last one fitted (null objects before them).
struct Search {
    py::object rms_min = py::int_(10);
    py::object best = py::none();
    py::object ci, start;
    py::object res, yout, error, rms;
};

void try_candidate(const Run& run, const Window& w, Search& search,
                   const py::object& ci) {
    info("\nInitial value search...");
    search.ci = ci;
    search.start = py::make_tuple(0.5, 0.05, ci);
    py::object res = fit_candidate(run, search.start);
    if (!res.is_none()) {
        search.res = res;
        search.yout = model1_output(run, w, res.attr("x"));
        search.error = w.ydata - search.yout;
        search.rms = rms(run, search.error);
        if (search.rms < search.rms_min) {
            search.rms_min = search.rms;
            search.best = res;
            info("Init params = " + bridge::str(res.attr("x")));
        }
    }
    info("Min. rms_err = " + bridge::str(search.rms_min * py::int_(1000)) + " mV");
}

// How well the kept start reproduces the whole first cycle, pulse and rest.
Residual check_full_cycle(const Run& run, const Record& rec, const py::object& start,
                          py::object& yout) {
    const Window w = set_cycle_window(run, rec, 1);
    yout = model1_output(run, w, start.attr("x"));
    Residual full{w.ydata - yout, py::none()};
    full.rms = rms(run, full.error);
    info("rms_err_model1 = " + bridge::str(full.rms * py::int_(1000)) + " mV\n");
    return full;
}

} // namespace

void search_start_values(const Run& run, Record& rec) {
    const py::object total = cycle_count(run, rec);
    rec.results = py::list();
    bridge::print_line("Total cycles = " + bridge::str(total));
    const Window w = set_fall_window(run, rec, 1);
    Search search;
    py::list cinit;
    for (int c : {1, 10, 50, 100, 500, 1000, 2000, 4000})
        cinit.append(py::int_(c));
    for (py::handle ci : cinit)
        try_candidate(run, w, search, py::reinterpret_borrow<py::object>(ci));
    // the previous record's choice must not stand in for this one's
    if (search.best.is_none())
        throw cellcore::record_error(
            rec.name, "no usable starting values for the first pulse (no "
                      "one-RC fit of its voltage fall reached an RMS error "
                      "below 10 V)");
    rec.res_opt_init = search.best;
    py::object yout_full;
    const Residual full = check_full_cycle(run, rec, search.best, yout_full);
    publish(run.ws, {{"total_number_of_cycles", total},
                     {"results", rec.results},
                     {"i", py::int_(1)},
                     {"rms_min", search.rms_min},
                     {"Cinit", cinit},
                     {"Ci", search.ci},
                     {"params_start", search.start},
                     {"res_init", search.res},
                     {"lsq_yout", search.yout},
                     {"error_cur", search.error},
                     {"rms_curr", search.rms},
                     {"res_opt_init", search.best},
                     {"lsq_yout_full", yout_full},
                     {"error_lsq_full", full.error},
                     {"rms_lsq_full", full.rms}});
}

} // namespace cellfit
