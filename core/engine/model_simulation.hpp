// The merged cell model driven by a whole record's current: the state of charge is
// counted from the charge passed, the open-circuit voltage is read off the model's
// OCV table at that state of charge, and R0 with the RC pairs adds the circuit's
// response. Comparing this voltage with the measured one over a whole record tests the
// model as a user of battery_model.json would run it, far beyond the pulse windows the
// circuit was fitted on.
#pragma once

#include <vector>

#include "core/rc_circuit.hpp"
#include "core/span.hpp"

namespace cellcore {

/// OCV (V) over SOC at one temperature: soc_points strictly increasing, ocv_v of the
/// same length (at least 2 points), both finite.
struct OcvTable {
    Span<const double> soc_points;
    Span<const double> ocv_v;
};

/// The model at one temperature: its OCV table, the capacity (Ah, positive) that turns
/// charge into SOC, R0 (ohm) and the RC pairs.
struct CellModel {
    OcvTable ocv;
    double capacity_ah = 0.0;
    double r0_ohm = 0.0;
    std::vector<RcPair> pairs;
};

/// OCV (V) at soc, linear between the table's points and held at its end values
/// beyond them (the table covers the SOC range the model was built for).
double ocv_at(const OcvTable& table, double soc);

/// SOC at each sample: soc_start at time_s[0], then the charge passed (the trapezoid
/// integral of current_a, the exact integral of a current linear between samples)
/// over 3600 capacity_ah. A negative (discharge) current lowers it. All three spans
/// have the same length n >= 1.
void coulomb_soc(Span<const double> time_s, Span<const double> current_a,
                 double capacity_ah, double soc_start, Span<double> soc);

/// Terminal voltage (V) of the model at each sample of the current current_a (A) at
/// the times time_s (s, strictly increasing): OCV(SOC) + R0 i + the RC pair voltages.
/// The SOC starts at soc_start and the pairs are relaxed at time_s[0]; the current is
/// taken as linear between samples for both. voltage_v has the same length as the
/// inputs; soc, when not empty, receives the SOC at each sample. Throws
/// std::invalid_argument naming the first bad input.
void simulate_model(const CellModel& model, Span<const double> time_s,
                    Span<const double> current_a, double soc_start,
                    Span<double> voltage_v, Span<double> soc);

/// The voltage (V) of R0 and RC pairs whose values change with the cell's state, as
/// a model of tables over SOC and temperature has them: r0_ohm per sample, and per
/// pair k its values at sample j in r_ohm[k n + j], c_f[k n + j]. Over the step from
/// sample j to j + 1 the pairs keep their values at sample j and the current is linear;
/// R0 acts at each sample with its own value. The pairs are relaxed at time_s[0].
/// Throws std::invalid_argument on sizes that do not fit or values out of range.
void varying_circuit_response(Span<const double> time_s, Span<const double> current_a,
                              Span<const double> r0_ohm, Span<const double> r_ohm,
                              Span<const double> c_f, Span<double> voltage_v);

} // namespace cellcore
