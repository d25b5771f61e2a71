// The settings that say how the records are written ("columns", "discharge_current")
// and what the cut-offs mean, checked at start-up: a value we cannot use stops the run
// before any file is written, as an unknown model does, rather than after the first
// record's fits.
#include "bridge/python_text.hpp"
#include "extract/record_table.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

constexpr const char* kWhere = " in './input_params.json'";

// The cut-off truncates every record below low_cutoff, and the model builder spans its
// voltage grid from low to high: with low at or above high neither means anything.
void check_cutoffs(const Workspace& ws) {
    const double vcut = ws.get_as<double>("vcut");
    const double vhigh = ws.get_as<double>("vhigh");
    if (!(vcut < vhigh))
        bridge::exit_with_message("\nInvalid low_cutoff " + bridge::str(vcut) + " V" +
                                  kWhere + ": it must be below high_cutoff " +
                                  bridge::str(vhigh) + " V\n");
}

void log_record_settings(const records::RecordSettings& s) {
    for (const auto& [name, source] : s.columns)
        bridge::log("cellfit", "info",
                    "column \"" + name + "\" is read from \"" + source + "\"");
    if (s.discharge_positive)
        bridge::log("cellfit", "info", "discharge current is written as positive");
}

} // namespace

py::object open_configuration(const char* path) {
    // utf-8-sig also reads the byte-order mark some editors put in front of the text
    return py::module_::import("builtins")
        .attr("open")(path, py::arg("encoding") = "utf-8-sig");
}

void check_record_settings(const Workspace& ws) {
    check_cutoffs(ws);
    try {
        log_record_settings(records::record_settings(ws.get("values"), kWhere));
    } catch (const std::invalid_argument& e) {
        bridge::exit_with_message("\n" + std::string(e.what()) + "\n");
    }
}

} // namespace cellfit
