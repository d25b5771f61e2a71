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

#include "core/engine/step_changes.hpp"
#include "core/errors.hpp"

namespace records {
namespace py = pybind11;

constexpr const char* kTimeColumn = "Seconds";
constexpr const char* kVoltageColumn = "Voltage(V)";
constexpr const char* kCurrentColumn = "Current(A)";
constexpr const char* kTemperatureColumn = "Temperature(C)";
// the cycler's step clock, where the export has it: seconds since the row's step
// began, and the step's number
constexpr const char* kStepTimeColumn = "Step_Time(s)";
constexpr const char* kStepIndexColumn = "Step_Index";

/// How the record's time is written: seconds, or a clock text (h:mm:ss,
/// d.hh:mm:ss.fff); by default a time column of clock texts is read as such.
enum class TimeFormat { automatic, seconds, clock };

/// The part of a record to fit, where the user chose it: the rows with a time, or with
/// a step index, in [from, to]. By default the pulse test is found in the record.
struct Section {
    enum class By { pulse_test, time, step_index } by = By::pulse_test;
    double from = 0.0, to = 0.0;
};

/// How a record is written: its own names for our columns (missing entries keep the
/// standard names), the sign of its discharge current, its units, and the part to fit.
struct RecordSettings {
    std::map<std::string, std::string> columns; ///< standard name -> the record's name
    bool discharge_positive = false;
    bool current_in_ma = false;
    TimeFormat time_format = TimeFormat::automatic;
    Section section;
    bool voltage_optional = false; ///< a current profile: without it, voltage is NaN
};

/// The record settings of a configuration object (input_params.json's, or None for the
/// defaults): "columns", "discharge_current", "units" and "section"; other keys are
/// ignored. Throws cellcore::InputError naming the setting, its value and `where` when
/// one cannot be used.
RecordSettings record_settings(py::handle values, const std::string& where);

/// A record's samples, one entry per kept row, the discharge current negative.
struct RecordTable {
    std::vector<double> time_s;
    std::vector<double> voltage_v;
    std::vector<double> current_a;
    cellcore::StepClock clock; ///< the cycler's step clock of the kept rows, if any
    py::object temperature;    ///< the "Temperature(C)" cells of the kept rows, or None
    py::object frame;          ///< the pandas table, as read when the record was clean
    /// Keeps rows [begin, end) of the samples and the clock (not the frame).
    void keep_rows(std::size_t begin, std::size_t end);
};

/// Receives what the reader has to say about the record, at a logging level ("info",
/// "warning"); the caller logs it.
using MessageSink = std::function<void(const char* level, const std::string&)>;

/// Reads the record at path with pandas, finds its header line, applies the settings
/// and drops rows that are not samples, with a warning for each kind of row dropped.
/// Throws cellcore::InputError (ValueError) naming the record when it cannot be read
/// unambiguously.
RecordTable read_record_table(const std::string& path, const RecordSettings& settings,
                              const MessageSink& note);

/// The part of the record that is the pulse test, as the pipeline fits it: a charge
/// the record opens with dropped; the part the settings' "section" names, or else the
/// first pulse test after any capacity check, kept up to and including the first
/// voltage below cutoff_v. Says what it left out through note. Throws InputError naming
/// the record when there is no pulse test to fit.
void choose_test_rows(const std::string& path, RecordTable& table,
                      const RecordSettings& settings, double cutoff_v,
                      const MessageSink& note);

/// A column's name in quotes, as the reader's messages show it.
inline std::string quoted(const std::string& name) { return "\"" + name + "\""; }

/// The median of a temperature column, rounded half to even, as a Python int; None when
/// the column is None, has a cell that is not a number, or its median is not finite.
py::object median_temperature(const py::object& column);

} // namespace records
