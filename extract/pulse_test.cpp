// Records the usual per-cycle fit cannot serve: HPPC tests, with charge pulses between
// the discharge pulses, or short pulses among long SOC-step discharges, and records
// whose pulses are all too short for its 101-sample rule. They go to the pulse-test
// engine instead, which fits every pulse of either sign, and leave the same outputs
// for the model file: the medians over the discharge pulses, the OCV curve on the SOC
// grid and the capacity.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/engine/pulse_test.hpp"
#include "core/pulse_table.hpp"
#include "extract/fitting.hpp"

namespace cellfit {
namespace {

using cellcore::StepKind;

struct Samples {
    bridge::InArray t, v, i;
    explicit Samples(const Record& rec) : t(rec.t), v(rec.v), i(rec.iload) {}
};

void warn(const Record& rec, const std::string& message) {
    bridge::log("cellfit", "warning", rec.name + ": " + message);
}

std::string params_text(const cellcore::PulseRow& p, int pairs) {
    std::string text;
    for (int c = 0; c < 1 + 2 * pairs; ++c)
        text += std::string(c ? ", " : "") + cellcore::kCircuitNames[c] + " = " +
                bridge::str(p.params[c]);
    return text;
}

void log_pulses(const Record& rec, const cellcore::PulseTestResult& r, int pairs) {
    std::string flagged;
    for (const cellcore::PulseFit& fit : r.pulses) {
        const cellcore::PulseRow& p = fit.row;
        info("pulse " + bridge::str(p.pulse) + " (" +
             cellcore::pulse_kind_name(p.kind) + ", SOC " +
             bridge::str(std::round(p.soc * 1000) / 1000) + "): " +
             params_text(p, pairs) + ", rms_err = " + bridge::str(p.rms_mv) + " mV");
        if (cellcore::fit_to_check(p))
            flagged += (flagged.empty() ? "" : ", ") + bridge::str(p.pulse) + " (" +
                       cellcore::pulse_flag_text(p.flags) + ")";
    }
    if (!flagged.empty())
        warn(rec, "pulse fits to check: " + flagged);
}

// The record's parameter set: the median of each parameter over the discharge pulses.
py::object discharge_medians(const Record& rec, const cellcore::PulseTestResult& r,
                             int pairs) {
    const std::size_t np = static_cast<std::size_t>(1 + 2 * pairs);
    std::vector<double> medians(np, std::nan(""));
    for (std::size_t c = 0; c < np; ++c) {
        std::vector<double> values;
        for (const cellcore::PulseFit& p : r.pulses)
            if (p.row.kind == cellcore::PulseKind::discharge)
                values.push_back(p.row.params[c]);
        if (values.empty())
            continue;
        std::sort(values.begin(), values.end());
        const std::size_t h = values.size() / 2;
        medians[c] = values.size() % 2 ? values[h] : 0.5 * (values[h - 1] + values[h]);
    }
    if (std::isnan(medians[0]))
        warn(rec, "no discharge pulse was fitted, so its circuit parameters are NaN");
    return bridge::to_numpy(medians);
}

bool is_charge(StepKind kind) {
    return kind == StepKind::charge_pulse || kind == StepKind::charge;
}

} // namespace

std::string pulse_engine_reason(const Record& rec) {
    if (rec.idx_end < 2)
        return "";
    // a whole cycler export: the engine takes the steps where the cycler's clock puts
    // them and its fits hold to what the first loaded row shows, where the per-cycle
    // fit would lump a long pulse's fast dynamics into R0
    if (rec.clocked())
        return "cycler record with its step clock";
    const cellcore::Segmentation& seg = rec.segmentation;
    // An SOC step is a discharge the segmentation did not take for a pulse, more than
    // twice as long as the longest pulse: an HPPC block's, not a glitch or a pulse
    // train's one slightly longer pulse. The last step is the one the cut-off ends,
    // whatever it was meant to be.

    bool charge = false;
    double longest_pulse_s = 0.0, longest_step_s = 0.0;
    for (std::size_t k = 0; k < seg.steps.size(); ++k) {
        const cellcore::Step& step = seg.steps[k];
        charge = charge || (is_charge(step.kind) && step.end - step.begin >= 2);
        if (step.kind == StepKind::discharge_pulse)
            longest_pulse_s = std::max(longest_pulse_s, step.duration_s());
        if (step.kind == StepKind::discharge && k + 1 < seg.steps.size())
            longest_step_s = std::max(longest_step_s, step.duration_s());
    }
    const bool soc_steps = longest_pulse_s > 0 && longest_step_s > 2 * longest_pulse_s;

    return charge || soc_steps ? "HPPC test" : "";
}

void fit_pulse_test(const Run& run, Record& rec, const std::string& why) {
    const Samples s(rec);
    cellcore::PulseTestOptions options;
    options.rc_pairs = run.two_rc() ? 2 : 1;
    cellcore::PulseTestResult r;
    try {
        py::gil_scoped_release nogil;
        // the steps the record was read into, not a second segmentation
        r = cellcore::analyse_pulse_test(bridge::view(s.t), bridge::view(s.v),
                                         bridge::view(s.i), rec.segmentation, options,
                                         rec.clock);
    } catch (const std::invalid_argument& e) {
        throw cellcore::record_error(rec.name, e.what());
    }
    info(rec.name + ": " + why + " with " +
         bridge::str(r.count(cellcore::PulseKind::discharge)) + " discharge and " +
         bridge::str(r.count(cellcore::PulseKind::charge)) +
         " charge pulses, fitted per pulse");
    if (!r.gaps.empty())
        warn(rec, "the record has gaps (" + bridge::str(r.gaps.size()) +
                      "); the charge passed in them is unknown, so the OCV under each "
                      "pulse is held at the rested voltage before it");
    log_pulses(rec, r, options.rc_pairs);
    py::array_t<double> grid = run.lib.np.attr("arange")(0, 1.005, 0.005);
    std::vector<double> ocv;
    for (py::ssize_t k = 0; k < grid.size(); ++k)
        ocv.push_back(r.ocv(grid.at(k)));
    rec.SOC = grid;
    rec.OCV_3rd = bridge::to_numpy(ocv);
    rec.opt_median = discharge_medians(rec, r, options.rc_pairs);
    rec.ocv_points = r.ocv_points;
    rec.pulses.clear();
    for (const cellcore::PulseFit& p : r.pulses)
        rec.pulses.push_back(p.row);
    publish(
        run.ws,
        {{"SOC", rec.SOC}, {"OCV_3rd", rec.OCV_3rd}, {"opt_median", rec.opt_median}});
}

} // namespace cellfit
