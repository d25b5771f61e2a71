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

// The loop over the rest ends as it leaves them (null objects without a rest end).
struct LastPoint {
    py::object relaxpoint, vsample, mAh, socval;
};

// SOC at each rest end from the signed charge passed before it.
LastPoint ocv_soc_points(const Run& run, Record& rec) {
    const bridge::InArray v = rec.v;
    py::object trapezoid = np_trapezoid(run.lib.np);
    const double total_mAh =
        py::array_t<double>(rec.cum_mAh).at(static_cast<py::ssize_t>(rec.idx_end) - 1);
    // across step changes placed in time, the charge counted as the record's total is
    const std::vector<double> charge_as =
        rec.logged_steps.empty() ? std::vector<double>{} : charge_at_rows(rec);

    rec.soc.clear();
    rec.vsoc.clear();
    double vsample = 0.0, mAh = 0.0, socval = 0.0;
    for (const long long k : rec.rest_ends) {
        // the sample two before the rest's last one, alone
        vsample = cellcore::rested_voltage(bridge::view<double>(v), k - 2, k - 1);
        rec.vsoc.push_back(vsample);
        mAh = 0.0; // over samples 0 .. k-1
        if (rec.logged_steps.empty()) {
            const py::slice before(0, static_cast<py::ssize_t>(k), 1);
            mAh = trapezoid(py::arg("y") = py::float_(1000.0) * rec.iload[before],
                            py::arg("x") = rec.t[before])
                      .cast<double>() /
                  3600.0;
        } else if (k >= 1) {
            mAh = charge_as[static_cast<std::size_t>(k - 1)] * 1000.0 / 3600.0;
        }
        socval = 1 + mAh / total_mAh;
        rec.soc.push_back(socval);
    }
    if (rec.rest_ends.empty())
        return {};
    return {py::int_(rec.rest_ends.size() - 1), py::float_(vsample), py::float_(mAh),
            py::float_(socval)};
}

// The spline needs four points and a strictly falling SOC; say which rests break that.
void check_spline_points(const Record& rec) {
    const std::vector<double>& soc = rec.soc;
    if (soc.size() < 4)
        throw cellcore::record_error(
            rec.name, "at least 4 rest periods are needed for the OCV "
                      "curve, found " +
                          bridge::str(static_cast<long long>(soc.size())));
    for (std::size_t j = 1; j < soc.size(); ++j)
        if (!(soc[j] < soc[j - 1]))
            throw cellcore::record_error(
                rec.name, "the SOC does not fall between the rests ending at "
                          "samples " +
                              bridge::str(rec.rest_ends[j - 1]) + " and " +
                              bridge::str(rec.rest_ends[j]) +
                              " (no charge passed between them)");
}

py::object ocv_on_soc_grid(const Run& run, Record& rec, const py::object& soc,
                           const py::object& vsoc) {
    const py::slice reversed(py::none(), py::none(), py::int_(-1));
    py::object spline = run.lib.spline(soc[reversed], vsoc[reversed], py::arg("k") = 3,
                                       py::arg("s") = 0, py::arg("ext") = 0,
                                       py::arg("check_finite") = false);
    rec.SOC = run.lib.np.attr("arange")(0, 1.005, 0.005);
    rec.OCV_3rd = spline(rec.SOC);
    return spline;
}

// A gap right before a rest end means the voltages the rest's window would take were
// logged before whatever happened in the gap; the OCV under the next pulse then comes
// from after the gap.
void warn_about_gaps(const Record& rec, const std::vector<long long>& rests) {
    if (rests.empty())
        return;
    py::list samples;
    for (long long r : rests)
        samples.append(py::int_(r));
    bridge::log("cellfit", "warning",
                rec.name + ": the rests ending at samples " + bridge::str(samples) +
                    " follow a gap in the record; the OCV under their pulses is taken "
                    "from the voltage after the gap");
}

// The OCV over time: its knots, the curve at every sample and the voltage left for
// the circuit; vsample is the last knot's loaded voltage (null for a one-sample
// record).
struct OcvOverTime {
    py::object ind_all, vsoc_time, vsoc_val, vsoc_val_itrp, vsample;
};

OcvOverTime ocv_over_time(const Run& run, Record& rec, const py::object& idx_rest,
                          const py::object& idx_load) {
    py::object np = run.lib.np;
    OcvOverTime out;
    out.ind_all =
        np.attr("sort")(np.attr("concatenate")(py::make_tuple(idx_rest, idx_load)));
    const bridge::InArray t = rec.t, v = rec.v;
    const auto times = bridge::view<double>(t);
    const cellcore::OcvKnots knots = cellcore::ocv_time_knots(
        times, bridge::view<double>(v), {rec.rest_ends.data(), rec.rest_ends.size()},
        {rec.pulse_load_end.data(), rec.pulse_load_end.size()},
        cellcore::gap_threshold_s(times));
    warn_about_gaps(rec, knots.gap_rests);
    out.vsoc_time = bridge::to_numpy(knots.time_s);
    out.vsoc_val = bridge::to_numpy(knots.volts);
    out.vsoc_val_itrp = np.attr("interp")(rec.t, out.vsoc_time, out.vsoc_val);
    rec.ocv_diff = rec.v - out.vsoc_val_itrp;
    if (v.size() >= 2)
        out.vsample = py::float_(v.at(v.size() - 2));
    return out;
}

} // namespace

void extract_ocv(const Run& run, Record& rec) {
    const LastPoint last = ocv_soc_points(run, rec);
    py::object soc = bridge::to_numpy(rec.soc), vsoc = bridge::to_numpy(rec.vsoc);
    check_spline_points(rec);
    py::object spline = ocv_on_soc_grid(run, rec, soc, vsoc);
    // the rest ends as the stage before published them, before they are closed
    const py::object idx_rest = bridge::to_numpy(rec.rest_ends);
    const OcvOverTime over =
        ocv_over_time(run, rec, idx_rest, bridge::to_numpy(rec.load_ends));
    const py::object start_time = run.lib.tp();
    // the record's end closes the last cycle; ind_slice is the same vector
    rec.ind_slice = run.lib.np.attr("append")(idx_rest, py::int_(rec.idx_end));
    publish(run.ws, {{"relaxpoint", last.relaxpoint},
                     {"vsample", last.vsample},
                     {"mAh", last.mAh},
                     {"socval", last.socval},
                     {"soc", soc},
                     {"vsoc", vsoc},
                     {"vsoc_itrp_3rd", spline},
                     {"SOC", rec.SOC},
                     {"OCV_3rd", rec.OCV_3rd},
                     {"ind_all", over.ind_all},
                     {"vsoc_time", over.vsoc_time},
                     {"vsoc_val", over.vsoc_val},
                     {"vsoc_val_itrp", over.vsoc_val_itrp},
                     {"ocv_diff", rec.ocv_diff},
                     {"vsample", over.vsample},
                     {"start_time", start_time},
                     {"idx_rest", rec.ind_slice},
                     {"ind_slice", rec.ind_slice}});
}

} // namespace cellfit
