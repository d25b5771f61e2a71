// The run's settings, checked at start-up: every key the configuration may hold, the
// cut-offs read as finite numbers, and the settings that say how the records are
// written ("columns", "discharge_current"). A value we cannot use stops the run before
// any file is written, as an unknown model does, rather than after the first record's
// fits; a key we do not know (a misspelling, most often) is named in a warning with
// the nearest known key, since the setting it was meant to be is silently absent.
#include <cmath>

#include "bridge/python_text.hpp"
#include "extract/stages.hpp"
#include "records/record_table.hpp"

namespace cellfit {
namespace {

// Every key a configuration may hold; a new setting is added here and nowhere else
// (the command line asks cellkit._pipeline.SETTINGS_KEYS).
const std::vector<std::string> kSettingsKeys{"battery_database",
                                             "battery_folder",
                                             "high_cutoff",
                                             "low_cutoff",
                                             "model",
                                             "total_number_of_cycles",
                                             "fit_method",
                                             "columns",
                                             "discharge_current",
                                             "units",
                                             "section"};

constexpr std::size_t kShownChars = 40;

// A value as repr() shows it, cut short: a 400-digit number is named, not printed.
std::string shown(py::handle value) {
    std::string text = bridge::str(py::repr(value));
    if (text.size() > kShownChars)
        text = text.substr(0, kShownChars) + "... (" + bridge::str(text.size()) +
               " characters)";
    return text;
}

[[noreturn]] void refuse(const Run& run, const std::string& key, py::handle value,
                         const std::string& problem) {
    bridge::exit_with_message("\nInvalid " + key + " " + shown(value) +
                              settings_where(run) + ": " + problem + "\n");
}

// The cut-off truncates every record below low_cutoff, and the model builder spans its
// voltage grid from low to high: with low at or above high neither means anything.
void check_cutoffs(const Run& run) {
    const double vcut = run.vcut.cast<double>();
    const double vhigh = run.vhigh.cast<double>();
    if (!(vcut < vhigh))
        bridge::exit_with_message(
            "\nInvalid low_cutoff " + bridge::str(vcut) + " V" + settings_where(run) +
            ": it must be below high_cutoff " + bridge::str(vhigh) + " V\n");
}

void log_record_settings(const records::RecordSettings& s) {
    for (const auto& [name, source] : s.columns)
        bridge::log("cellfit", "info",
                    "column \"" + name + "\" is read from \"" + source + "\"");
    if (s.discharge_positive)
        bridge::log("cellfit", "info", "discharge current is written as positive");
}

} // namespace

const std::vector<std::string>& settings_keys() { return kSettingsKeys; }

std::string settings_where(const Run& run) { return " in " + bridge::str(run.source); }

py::object open_configuration(const char* path) {
    // utf-8-sig also reads the byte-order mark some editors put in front of the text
    return py::module_::import("builtins")
        .attr("open")(path, py::arg("encoding") = "utf-8-sig");
}

void check_settings_keys(const Run& run) {
    const py::object values = run.values;
    if (!py::isinstance<py::dict>(values))
        bridge::exit_with_message("\nThe settings" + settings_where(run) + " are " +
                                  shown(values) + ", not a JSON object\n");
    py::list known;
    for (const std::string& key : kSettingsKeys)
        known.append(py::str(key));
    const py::object close = py::module_::import("difflib").attr("get_close_matches");
    for (py::handle key : values) {
        if (py::isinstance<py::str>(key) && known.contains(key))
            continue;
        const py::list nearest = close(py::str(key), known, py::arg("n") = 1);
        bridge::log(
            "cellfit", "warning",
            "unknown setting " + shown(key) + settings_where(run) + " is ignored" +
                (nearest.empty() ? std::string()
                                 : "; did you mean " + shown(nearest[0]) + "?"));
    }
}

py::object required_setting(const Run& run, const char* key) {
    const py::dict values = run.values;
    if (!values.contains(key))
        bridge::exit_with_message(std::string("\nNo ") + key + settings_where(run) +
                                  "\n");
    return values[key];
}

py::object voltage_setting(const Run& run, const char* key) {
    const py::object value = required_setting(run, key);
    py::object volts;
    try {
        volts = py::module_::import("builtins").attr("float")(value);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_OverflowError))
            refuse(run, key, value, "far too large for a voltage");
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError))
            refuse(run, key, value, "not a number of volts");
        throw;
    }
    if (!std::isfinite(volts.cast<double>()))
        refuse(run, key, value, "not a finite number of volts");
    return volts;
}

void check_record_settings(const Run& run) {
    check_cutoffs(run);
    try {
        log_record_settings(records::record_settings(run.values, settings_where(run)));
    } catch (const std::invalid_argument& e) {
        bridge::exit_with_message("\n" + std::string(e.what()) + "\n");
    }
}

} // namespace cellfit
