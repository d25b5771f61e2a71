// Temperature dependence of the model. The OCV at each SOC point and the SOC at each
// grid voltage are taken as straight lines in temperature, fitted by least squares:
// value(T) = rel × T + value at 0 °C. With a single temperature the minimum-norm
// solution is kept, which reproduces the one measured value but is no extrapolation to
// 0 °C. The circuit parameters are not fitted: they are tabulated per temperature.
#include "modelfile/stages.hpp"

#include "bridge/arrays.hpp"

namespace cellgen {
namespace {

// One row [T, 1] per temperature.
py::array_t<double> design_matrix(const std::vector<double>& temps_c) {
    py::array_t<double> a({static_cast<py::ssize_t>(temps_c.size()), py::ssize_t{2}});
    auto cells = a.mutable_unchecked<2>();
    for (py::ssize_t i = 0; i < cells.shape(0); ++i) {
        cells(i, 0) = temps_c[static_cast<std::size_t>(i)];
        cells(i, 1) = 1.0;
    }
    return a;
}

// numpy's lstsq, rcond=None: machine precision × max(rows, 2) cuts off the singular
// values, which makes a single temperature the minimum-norm case. Row 0 of the solution
// is the slope, row 1 the intercept; each column of y is fitted on its own.
bridge::InArray line_fit(const py::array_t<double>& a, const py::array_t<double>& y) {
    const py::object lstsq = py::module_::import("numpy").attr("linalg").attr("lstsq");
    const py::tuple result = lstsq(a, y, py::arg("rcond") = py::none());
    return result[0].cast<bridge::InArray>(); // C order: one row after the other
}

void fit_ocv(const GatheredResults& g, TemperatureModel& m) {
    const std::size_t k = g.ocv_temps_c.size();
    const std::size_t n = g.soc_axis_file().soc.size();
    py::array_t<double> y({static_cast<py::ssize_t>(k), static_cast<py::ssize_t>(n)});
    double* rows = y.mutable_data();
    for (std::size_t j = 0; j < k; ++j) {
        const std::vector<double>& ocv = g.files[g.ocv_curves[j]].ocv_v;
        std::copy(ocv.begin(), ocv.end(), rows + j * n);
    }
    const bridge::InArray solution = line_fit(design_matrix(g.ocv_temps_c), y);
    const double* s = solution.data();
    m.ocv_rel.assign(s, s + n);
    m.ocv0.assign(s + n, s + 2 * n);
}

// The mean step of the SOC axis, summed as numpy sums (pairwise) so that it is the same
// double numpy gives. Negative for a descending axis.
double mean_soc_step(const std::vector<double>& soc) {
    const py::module_ np = py::module_::import("numpy");
    return np.attr("mean")(np.attr("diff")(bridge::to_numpy(soc))).cast<double>();
}

// Slope over SOC at every point: the one-sided difference quotient at both ends, the
// mean of the two neighbouring ones inside. Every difference is divided by the mean
// step, not its own, which is what the model's users expect of an evenly spaced axis.
std::vector<double> slope_over_soc(const std::vector<double>& values,
                                   double mean_step) {
    const std::size_t n = values.size(); // at least 2
    std::vector<double> quotient(n - 1);
    for (std::size_t j = 0; j + 1 < n; ++j)
        quotient[j] = (values[j + 1] - values[j]) / mean_step;
    std::vector<double> slope(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double left = quotient[j == 0 ? 0 : j - 1];
        const double right = quotient[j == n - 1 ? n - 2 : j];
        slope[j] = (left + right) / 2;
    }
    return slope;
}

void fit_soc(const GatheredResults& g, TemperatureModel& m) {
    const py::array_t<double> a = design_matrix(g.grid_temps_c);
    const auto grid_points = static_cast<std::size_t>(g.vocv.size());
    for (std::size_t i = 0; i < grid_points; ++i) {
        // one fit per grid voltage: a fit of all of them at once may round differently
        // in the last digit, and model files are compared as text
        py::array_t<double> y(static_cast<py::ssize_t>(g.grid_soc.size()));
        for (std::size_t j = 0; j < g.grid_soc.size(); ++j)
            y.mutable_at(static_cast<py::ssize_t>(j)) =
                g.grid_soc[j].at(static_cast<py::ssize_t>(i));
        const bridge::InArray solution = line_fit(a, y);
        m.soc_rel.push_back(solution.at(0));
        m.soc0.push_back(solution.at(1));
    }
}

// Per temperature, duplicates included: R0, the pair time constants R × C and the pair
// resistances. Two-pair tables hold all first-pair values in temperature order, then
// all second-pair values.
void tabulate_circuits(const GatheredResults& g, TemperatureModel& m) {
    std::vector<double> tau2_s, r2_ohm;
    for (const std::size_t file : g.at_temp) {
        const std::vector<double>& p = g.files[file].circuit;
        m.r0_ohm.push_back(p[0]);
        m.tau_s.push_back(p[1] * p[2]);
        m.r_ohm.push_back(p[1]);
        if (p.size() > 3) {
            tau2_s.push_back(p[3] * p[4]);
            r2_ohm.push_back(p[3]);
        }
    }
    // the circuit at the highest temperature decides the model order (all files agree,
    // which gathering has checked)
    if (g.files[g.at_temp.back()].circuit.size() > 3) {
        m.tau_s.insert(m.tau_s.end(), tau2_s.begin(), tau2_s.end());
        m.r_ohm.insert(m.r_ohm.end(), r2_ohm.begin(), r2_ohm.end());
    }
    for (const std::size_t file : g.at_temp)
        m.q_ah.push_back(g.files[file].capacity_ah);
}

} // namespace

TemperatureModel fit_temperature_dependence(const GatheredResults& gathered) {
    TemperatureModel m;
    fit_ocv(gathered, m);
    const double mean_step = mean_soc_step(gathered.soc_axis_file().soc);
    m.docv0 = slope_over_soc(m.ocv0, mean_step);
    m.docv_rel = slope_over_soc(m.ocv_rel, mean_step);
    fit_soc(gathered, m);
    tabulate_circuits(gathered, m);
    return m;
}

} // namespace cellgen
