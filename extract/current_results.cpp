// Which files in results/ belong to this run. results/ keeps what earlier runs wrote:
// a record taken out of raw_data/ leaves its <record>_params.json behind, and the model
// builder, which merges every parameter file it is given, would keep that record's
// temperature in the model without a word. The run hands the builder its own files
// only and names the others in a warning; it never deletes them.
#include <set>

#include "bridge/python_text.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

constexpr const char* kParamsSuffix = "_params.json";
// The files a record leaves beside its parameter file.
const char* const kRecordSuffixes[] = {"_params.json", "_ocv.csv", "_pulses.csv",
                                       "_ocv_points.csv"};

std::string basename(py::handle path) {
    return bridge::str(py::module_::import("os").attr("path").attr("basename")(path));
}

// The record's files in results/ (those that exist), as a list of names.
std::string files_of(const std::string& results, const std::string& stem) {
    const py::object isfile = py::module_::import("os").attr("path").attr("isfile");
    std::string out;
    for (const char* suffix : kRecordSuffixes)
        if (isfile(results + stem + suffix).cast<bool>())
            out += (out.empty() ? "" : ", ") + stem + suffix;
    return out;
}

} // namespace

py::list current_parameter_files(const Run& run) {
    std::set<std::string> current;
    py::list names;
    const std::string suffix = kParamsSuffix;
    for (py::handle path : run_outputs(run)) {
        const std::string name = basename(path);
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            current.insert(name);
            names.append(py::str(name));
        }
    }
    const std::string results = bridge::str(run.workdir) + "/results/";
    for (py::handle path : run.lib.gl(py::str(results + "*" + kParamsSuffix))) {
        const std::string name = basename(path);
        if (current.count(name))
            continue;
        const std::string stem = name.substr(0, name.size() - suffix.size());
        bridge::log("cellfit", "warning",
                    results + ": " + files_of(results, stem) + " come from " + stem +
                        ".csv, which is not in raw_data/: left out of the model "
                        "(the files are kept)");
        note_left_out(run, results + name);
    }
    return names;
}

} // namespace cellfit
