// What the starting-value search and the per-cycle fits share: the fitting windows and
// the least-squares call.
#pragma once

#include "extract/stages.hpp"

namespace cellfit {

/// A fitting window: times, current (xdata, also iload_vec) and the voltage residual.
/// Setting one publishes it, as the residual functions read it at every call.
struct Window {
    py::object t_vec, xdata, ydata;
};

/// Measured less modelled residual over a window and its root-mean-square (V).
struct Residual {
    py::object error, rms;
};

/// Fall window of cycle i (from 1): len_fall = 70 % of the pulse's loaded samples, from
/// the last rest sample before the pulse. Publishes len_fall and the window.
Window set_fall_window(const Run& run, const Record& rec, long long i);

/// The whole of cycle i: the pulse and the rest after it.
Window set_cycle_window(const Run& run, const Record& rec, long long i);

/// The last rest sample of cycle i, before the next pulse.
long long cycle_end(const Record& rec, long long i);

/// optimize.least_squares on the named residual function with the Huber loss, the
/// parameter bounds of the circuit and the given scale and tolerance; verbose reports.
py::object least_squares(const Run& run, const char* residual, const py::object& start,
                         double f_scale, double tol);

/// What the joint fit of all five two-RC parameters leaves for the cycle's row.
struct JointFit {
    py::list fit_params;
    py::object lsq_yout, stop_time_i;
    Residual residual;
};

/// The joint fit over the cycle window w, started from the two passes' fit_params;
/// logs the parameters, RMS and standard errors, keeps the standard errors in rec.
JointFit fit_jointly(const Run& run, Record& rec, const Window& w,
                     const py::list& fit_params);

/// Root-mean-square of the window's measured minus modelled residual, numpy's way.
py::object rms(const Run& run, const py::object& error);

/// Logs the parameters of a fit over the whole cycle and its RMS error against the
/// window's ydata.
Residual report_cycle_fit(const Run& run, const Window& w, const py::object& yout,
                          const py::object& params);

void info(const std::string& message);

/// The circuit fits' bounds as least_squares takes them: (lower, upper).
inline py::tuple fit_bounds() {
    return py::make_tuple(cellcore::kFitLowerBound, cellcore::kFitUpperBound);
}

} // namespace cellfit
