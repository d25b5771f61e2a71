// The SOC integral and the circuit use the same view of the current, linear between
// samples: the trapezoid rule is its exact charge, and rc_circuit_response integrates
// the pairs exactly for it. A step in the logged current then becomes a ramp over one
// sampling interval in both, so the SOC and the pair voltages stay consistent with each
// other and with the fits that produced the circuit.
#include "core/engine/model_simulation.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/errors.hpp"

namespace cellcore {
namespace {

void check_table(const OcvTable& table) {
    const std::size_t n = table.soc_points.size();
    if (n < 2 || table.ocv_v.size() != n)
        throw cellcore::InputError(
            "model simulation: the OCV table needs at least 2 SOC points and one OCV "
            "per point; it has " +
            std::to_string(n) + " and " + std::to_string(table.ocv_v.size()));
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(table.soc_points[k]) || !std::isfinite(table.ocv_v[k]))
            throw cellcore::InputError(
                "model simulation: the OCV table is not finite at point " +
                std::to_string(k));
        if (k > 0 && !(table.soc_points[k] > table.soc_points[k - 1]))
            throw cellcore::InputError(
                "model simulation: the OCV table's SOC points do not increase at "
                "point " +
                std::to_string(k));
    }
}

void check_current(Span<const double> current_a) {
    for (std::size_t k = 0; k < current_a.size(); ++k)
        if (!std::isfinite(current_a[k]))
            throw cellcore::InputError(
                "model simulation: the current is not finite at sample " +
                std::to_string(k));
}

} // namespace

double ocv_at(const OcvTable& table, double soc) {
    const Span<const double>& x = table.soc_points;
    const std::size_t n = x.size();
    if (soc <= x[0])
        return table.ocv_v[0];
    if (soc >= x[n - 1])
        return table.ocv_v[n - 1];
    // first point above soc: soc lies in [x[j-1], x[j])
    const std::size_t j =
        static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), soc) - x.begin());
    const double w = (soc - x[j - 1]) / (x[j] - x[j - 1]);
    return table.ocv_v[j - 1] + w * (table.ocv_v[j] - table.ocv_v[j - 1]);
}

void coulomb_soc(Span<const double> time_s, Span<const double> current_a,
                 double capacity_ah, double soc_start, Span<double> soc) {
    const std::size_t n = time_s.size();
    if (n == 0 || current_a.size() != n || soc.size() != n)
        throw cellcore::InputError("model simulation: time, current and SOC must have "
                                   "the same length, at least 1");
    if (!(capacity_ah > 0.0 && std::isfinite(capacity_ah)))
        throw cellcore::InputError(
            "model simulation: the capacity must be positive and finite");
    const double coulombs_per_soc = 3600.0 * capacity_ah;
    double charge_c = 0.0;
    soc[0] = soc_start;
    for (std::size_t k = 1; k < n; ++k) {
        charge_c +=
            0.5 * (current_a[k - 1] + current_a[k]) * (time_s[k] - time_s[k - 1]);
        soc[k] = soc_start + charge_c / coulombs_per_soc;
    }
}

void simulate_model(const CellModel& model, Span<const double> time_s,
                    Span<const double> current_a, double soc_start,
                    Span<double> voltage_v, Span<double> soc) {
    const std::size_t n = time_s.size();
    if (!soc.empty() && soc.size() != n)
        throw cellcore::InputError("model simulation: room for " +
                                   std::to_string(soc.size()) + " SOC values, " +
                                   std::to_string(n) + " samples");
    check_table(model.ocv);
    check_current(current_a);
    // checks the times, the circuit and the lengths of current and voltage
    rc_circuit_response(model.r0_ohm, model.pairs, time_s, current_a, voltage_v, {});
    std::vector<double> own_soc;
    if (soc.empty()) {
        own_soc.resize(n);
        soc = Span<double>(own_soc);
    }
    coulomb_soc(time_s, current_a, model.capacity_ah, soc_start, soc);
    for (std::size_t k = 0; k < n; ++k)
        voltage_v[k] += ocv_at(model.ocv, soc[k]);
}

void varying_circuit_response(Span<const double> time_s, Span<const double> current_a,
                              Span<const double> r0_ohm, Span<const double> r_ohm,
                              Span<const double> c_f, Span<double> voltage_v) {
    const std::size_t n = time_s.size();
    if (n == 0 || current_a.size() != n || r0_ohm.size() != n ||
        voltage_v.size() != n || r_ohm.size() != c_f.size() || r_ohm.size() % n != 0)
        throw cellcore::InputError("varying circuit: inputs of unequal lengths");
    for (std::size_t j = 0; j < r_ohm.size(); ++j)
        if (!(r_ohm[j] > 0 && c_f[j] > 0 && std::isfinite(r_ohm[j] * c_f[j])))
            throw cellcore::InputError(
                "varying circuit: a pair needs a positive R and C");
    const std::size_t pairs = r_ohm.size() / n;
    std::vector<double> x(pairs, 0.0);
    voltage_v[0] = r0_ohm[0] * current_a[0];
    for (std::size_t j = 0; j + 1 < n; ++j) {
        const double h = time_s[j + 1] - time_s[j];
        if (!(h > 0))
            throw cellcore::InputError("varying circuit: time must increase");
        double sum = 0.0;
        for (std::size_t k = 0; k < pairs; ++k) {
            // the exact step of x' = -x/(R C) + u/C with u linear over it
            const double r = r_ohm[k * n + j], z = h / (r * c_f[k * n + j]);
            const double one_minus_a = -std::expm1(-z);
            const double g1 = 1.0 - one_minus_a / z, g0 = one_minus_a - g1;
            x[k] = (1.0 - one_minus_a) * x[k] +
                   r * (g0 * current_a[j] + g1 * current_a[j + 1]);
            sum += x[k];
        }
        voltage_v[j + 1] = r0_ohm[j + 1] * current_a[j + 1] + sum;
    }
}

} // namespace cellcore
