// The stages of write_battery_model_file and what passes between them: gathering the
// per-temperature parameter files, fitting the temperature dependence, writing the
// model files. Each stage file ends with what module.cpp registers.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/errors.hpp"

namespace cellgen {
namespace py = pybind11;

/// Logger of the model builder; the format is the root logger's.
inline constexpr const char* kLogger = "cellgen";

/// A file that cannot serve: ValueError "file: problem".
[[noreturn]] inline void reject(const std::string& file, const std::string& problem) {
    throw cellcore::InputError(file + ": " + problem);
}

/// One <record>_params.json: a record's results at its temperature.
struct ParameterFile {
    std::string name;            // as listed in the results folder
    double temp_c = 0.0;         // TempC
    double capacity_ah = 0.0;    // Tparam_1
    std::vector<double> circuit; // Tparam_2: R0, R1, C1 [, R2, C2] (ohm, farad)
    py::list soc_axis;           // Tparam_3[0] as read: integers stay integers
    std::vector<double> soc;     // the same axis as floats
    std::vector<double> ocv_v;   // Tparam_3[1]: OCV at each SOC point
};

/// Everything read from the results folder, ordered for the temperature fits.
struct GatheredResults {
    std::vector<ParameterFile> files; // in listing order; files[0] names the model
    /// TempC of every file, duplicates kept, ascending.
    std::vector<double> temps_c;
    /// Per entry of temps_c: index of the file read last at that temperature, which
    /// wins.
    std::vector<std::size_t> at_temp;
    /// Distinct temperatures in the order first read, each with its winning file: the
    /// OCV curves the OCV fit sees.
    std::vector<double> ocv_temps_c;
    std::vector<std::size_t> ocv_curves;
    /// The SOC axis shared by all files, as the last file read gives it.
    const ParameterFile& soc_axis_file() const { return files.back(); }
    /// The voltage grid (V) and, per distinct temperature ascending, the SOC at each
    /// grid voltage read off that temperature's OCV curve.
    py::array_t<double> vocv;
    std::vector<double> grid_temps_c;
    std::vector<py::array_t<double>> grid_soc;
};

/// The temperature-dependent tables of the model.
struct TemperatureModel {
    std::vector<double> ocv_rel;  // V/°C per SOC point
    std::vector<double> ocv0;     // V at 0 °C per SOC point
    std::vector<double> docv0;    // slope of ocv0 over SOC
    std::vector<double> docv_rel; // slope of ocv_rel over SOC
    std::vector<double> soc_rel;  // SOC/°C per grid voltage
    std::vector<double> soc0;     // SOC at 0 °C per grid voltage
    std::vector<double> r0_ohm;   // per entry of temps_c
    std::vector<double> tau_s;    // first-pair time constants, then second-pair ones
    std::vector<double> r_ohm;    // pair resistances, laid out as tau_s
    std::vector<double> q_ah;     // capacity per entry of temps_c
};

/// Reads every *_params.json of the current folder (those named in `files` only, when
/// it is not None) and resamples each OCV curve onto the voltage grid from
/// vbatlow - 0.01 V to vbathigh. ValueError naming the file when a file cannot serve;
/// a warning naming the files that share a temperature.
GatheredResults gather_results(py::handle vbatlow, py::handle vbathigh,
                               py::handle files);

/// The OCV and SOC lines over temperature, their slopes over SOC and the circuit
/// tables.
TemperatureModel fit_temperature_dependence(const GatheredResults& gathered);

/// Writes battery_model.json into the current folder and then, when velmarrun is true,
/// battery_model.mat; returns the names written.
std::vector<std::string> write_model_files(const GatheredResults& gathered,
                                           const TemperatureModel& model,
                                           py::handle velmarrun);

/// Writes battery_tables.json into the current folder and then, when velmarrun is
/// true, battery_tables.mat: tables over SOC and temperature from the parameter files
/// and the <record>_pulses.csv beside them. Without any pulse file it logs that and
/// writes nothing. Returns the names written.
std::vector<std::string> write_table_files(const GatheredResults& gathered,
                                           py::handle vbatlow, py::handle vbathigh,
                                           py::handle velmarrun);

/// Writes text to file in the current folder atomically and logs "Saved file 'file'".
/// OSError naming the file when it cannot be written.
void write_text_file(const char* file, const std::string& text);

/// Writes the variables to file in the current folder with scipy's savemat, atomically,
/// and logs "Saved file: 'file'".
void write_mat_file(const char* file, const py::dict& variables);

void register_writers(py::module_& m);
void register_model_builder(py::module_& m);

} // namespace cellgen
