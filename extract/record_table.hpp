// The one reader of a record for every part of the system: the cellfit pipeline, the
// pulse-test engine and the tools on top of it. Cyclers and spreadsheets write records
// with metadata above the header, their own column names, discharge as positive
// current, blank cells, stray text rows and repeated rows; the reader either turns such
// a record into clean columns (saying what it did in a warning naming the record) or
// stops with a ValueError naming the record and the problem.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace records {
namespace py = pybind11;

constexpr const char* kTimeColumn = "Seconds";
constexpr const char* kVoltageColumn = "Voltage(V)";
constexpr const char* kCurrentColumn = "Current(A)";
constexpr const char* kTemperatureColumn = "Temperature(C)";

/// How a record is written: its own names for the four columns (missing entries keep
/// the standard names) and the sign of its discharge current.
struct RecordSettings {
    std::map<std::string, std::string> columns; ///< standard name -> the record's name
    bool discharge_positive = false;
    bool voltage_optional = false; ///< a current profile: without it, voltage is NaN
};

/// The record settings of a configuration object (input_params.json's, or None for the
/// defaults): "columns" and "discharge_current"; other keys are ignored. Throws
/// std::invalid_argument naming the setting, its value and `where` when one cannot be
/// used.
RecordSettings record_settings(py::handle values, const std::string& where);

/// A record's samples, one entry per kept row, the discharge current negative.
struct RecordTable {
    std::vector<double> time_s;
    std::vector<double> voltage_v;
    std::vector<double> current_a;
    py::object temperature; ///< the "Temperature(C)" cells of the kept rows, or None
    py::object frame;       ///< the pandas table, as read when the record was clean
};

/// Receives each warning about the record; the caller logs it.
using WarningSink = std::function<void(const std::string&)>;

/// Reads the record at path with pandas, finds its header line, applies the settings
/// and drops rows that are not samples, with a warning for each kind of row dropped.
/// Raises ValueError naming the record when it cannot be read unambiguously.
RecordTable read_record_table(const std::string& path, const RecordSettings& settings,
                              const WarningSink& warn);

/// The median of a temperature column, rounded half to even, as a Python int; None when
/// the column is None, has a cell that is not a number, or its median is not finite.
py::object median_temperature(const py::object& column);

} // namespace records
