// The open-circuit voltage of the record: the voltage at the end of every rest gives an
// OCV-SOC point; a cubic spline through them gives the OCV curve on a fixed SOC grid.
// The same rested voltages laid along the time axis give the OCV under the pulses, and
// what the terminal voltage differs from it is what the circuit models have to explain.
#include <pybind11/numpy.h>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/ocv_knots.hpp"
#include "extract/compat.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

// SOC at each rest end from the signed charge passed before it.
void ocv_soc_points(const Workspace& ws) {
    const bridge::InArray v = ws.get("v");
    const bridge::IndexArray rest_ends = ws.get("idx_rest");
    py::object trapezoid = np_trapezoid(ws.get("np"));
    py::object iload = ws.get("iload"), t = ws.get("t");
    const double total_mAh = py::array_t<double>(ws.get("cum_mAh"))
                                 .at(ws.get_as<py::ssize_t>("idx_end") - 1);
    // across step changes placed in time, the charge counted as the record's total is
    const std::vector<cellcore::StepChange> changes = logged_step_changes(ws);
    const std::vector<double> charge_as =
        changes.empty() ? std::vector<double>{} : charge_at_rows(ws, changes);

    std::vector<double> soc, vsoc;
    for (py::ssize_t j = 0; j < rest_ends.size(); ++j) {
        const long long k = rest_ends.at(j);
        // the sample two before the rest's last one, alone
        const double vsample =
            cellcore::rested_voltage(bridge::view<double>(v), k - 2, k - 1);
        vsoc.push_back(vsample);
        double mAh = 0.0; // over samples 0 .. k-1
        if (changes.empty()) {
            const py::slice before(0, static_cast<py::ssize_t>(k), 1);
            mAh = trapezoid(py::arg("y") = py::float_(1000.0) * iload[before],
                            py::arg("x") = t[before])
                      .cast<double>() /
                  3600.0;
        } else if (k >= 1) {
            mAh = charge_as[static_cast<std::size_t>(k - 1)] * 1000.0 / 3600.0;
        }
        const double socval = 1 + mAh / total_mAh;
        soc.push_back(socval);
        ws.set("relaxpoint", py::int_(j));
        ws.set("vsample", py::float_(vsample));
        ws.set("mAh", py::float_(mAh));
        ws.set("socval", py::float_(socval));
    }
    ws.set("soc", bridge::to_numpy(soc));
    ws.set("vsoc", bridge::to_numpy(vsoc));
}

// The spline needs four points and a strictly falling SOC; say which rests break that.
void check_spline_points(const Workspace& ws) {
    const py::array_t<double> soc = ws.get("soc");
    const bridge::IndexArray rest_ends = ws.get("idx_rest");
    if (soc.size() < 4)
        throw cellcore::record_error(
            record_name(ws), "at least 4 rest periods are needed for the OCV "
                             "curve, found " +
                                 bridge::str(static_cast<long long>(soc.size())));
    for (py::ssize_t j = 1; j < soc.size(); ++j)
        if (!(soc.at(j) < soc.at(j - 1)))
            throw cellcore::record_error(
                record_name(ws), "the SOC does not fall between the rests ending at "
                                 "samples " +
                                     bridge::str(rest_ends.at(j - 1)) + " and " +
                                     bridge::str(rest_ends.at(j)) +
                                     " (no charge passed between them)");
}

void ocv_on_soc_grid(const Workspace& ws) {
    const py::slice reversed(py::none(), py::none(), py::int_(-1));
    py::object spline = ws.get("UnivariateSpline")(
        ws.get("soc")[reversed], ws.get("vsoc")[reversed], py::arg("k") = 3,
        py::arg("s") = 0, py::arg("ext") = 0, py::arg("check_finite") = false);
    ws.set("vsoc_itrp_3rd", spline);
    py::object grid = ws.get("np").attr("arange")(0, 1.005, 0.005);
    ws.set("SOC", grid);
    ws.set("OCV_3rd", spline(grid));
}

// A gap right before a rest end means the voltages the rest's window would take were
// logged before whatever happened in the gap; the OCV under the next pulse then comes
// from after the gap.
void warn_about_gaps(const Workspace& ws, const std::vector<long long>& rests) {
    if (rests.empty())
        return;
    py::list samples;
    for (long long r : rests)
        samples.append(py::int_(r));
    bridge::log("cellfit", "warning",
                record_name(ws) + ": the rests ending at samples " +
                    bridge::str(samples) +
                    " follow a gap in the record; the OCV under their pulses is taken "
                    "from the voltage after the gap");
}

void ocv_over_time(const Workspace& ws) {
    py::object np = ws.get("np");
    ws.set("ind_all", np.attr("sort")(np.attr("concatenate")(
                          py::make_tuple(ws.get("idx_rest"), ws.get("idx_load")))));
    const bridge::InArray t = ws.get("t"), v = ws.get("v");
    const bridge::IndexArray rest_ends = ws.get("idx_rest"),
                             load_ends = ws.get("pulse_load_end");
    const auto times = bridge::view<double>(t);
    const cellcore::OcvKnots knots = cellcore::ocv_time_knots(
        times, bridge::view<double>(v), bridge::view<long long>(rest_ends),
        bridge::view<long long>(load_ends), cellcore::gap_threshold_s(times));
    warn_about_gaps(ws, knots.gap_rests);
    ws.set("vsoc_time", bridge::to_numpy(knots.time_s));
    ws.set("vsoc_val", bridge::to_numpy(knots.volts));
    if (v.size() >= 2)
        ws.set("vsample",
               py::float_(v.at(v.size() - 2))); // the last knot's loaded voltage
    py::object itrp = np.attr("interp")(t, ws.get("vsoc_time"), ws.get("vsoc_val"));
    ws.set("vsoc_val_itrp", itrp);
    ws.set("ocv_diff", v - itrp);
}

} // namespace

void extract_ocv(const Workspace& ws) {
    ocv_soc_points(ws);
    check_spline_points(ws);
    ocv_on_soc_grid(ws);
    ocv_over_time(ws);
    ws.set("start_time", ws.get("tp")());
    // the record's end closes the last cycle; ind_slice is the same vector
    py::object closed =
        ws.get("np").attr("append")(ws.get("idx_rest"), ws.get("idx_end"));
    ws.set("idx_rest", closed);
    ws.set("ind_slice", closed);
}

} // namespace cellfit
