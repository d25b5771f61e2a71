// What the starting-value search and the per-cycle fits share: the fitting windows and
// the least-squares call.
#pragma once

#include "extract/stages.hpp"

namespace cellfit {

/// Fall window of cycle i (from 1): len_fall = 70 % of the pulse's loaded samples, from
/// the last rest sample before the pulse. Sets len_fall, ydata, t_vec, iload_vec,
/// xdata.
void set_fall_window(const Workspace& ws, long long i);

/// The whole of cycle i: the pulse and the rest after it.
void set_cycle_window(const Workspace& ws, long long i);

/// The last rest sample of cycle i, before the next pulse.
long long cycle_end(const Workspace& ws, long long i);

/// optimize.least_squares on the named residual function with the Huber loss, the
/// parameter bounds of the circuit and the given scale and tolerance; verbose reports.
py::object least_squares(const Workspace& ws, const char* residual,
                         const py::object& start, double f_scale, double tol);

/// The joint fit of all five two-RC parameters over the cycle window, started from the
/// two passes' fit_params. Replaces fit_params, lsq_yout, error_lsq, rms_lsq and
/// stop_time_i; logs the parameters, RMS and standard errors.
void fit_jointly(const Workspace& ws);

/// Root-mean-square of the window's measured minus modelled residual, numpy's way.
py::object rms(const Workspace& ws, const py::object& error);

/// Logs the parameters of a fit over the whole cycle and its RMS error against ydata
/// (left in the workspace as error_lsq and rms_lsq).
void report_cycle_fit(const Workspace& ws, const py::object& params);

void info(const std::string& message);

/// The circuit fits' bounds as least_squares takes them: (lower, upper).
inline py::tuple fit_bounds() {
    return py::make_tuple(cellcore::kFitLowerBound, cellcore::kFitUpperBound);
}

} // namespace cellfit
