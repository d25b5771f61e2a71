// results/manifest.json: what a run read and wrote, and whether it finished. A run
// rewrites its records' files one after another and the model file last, so a run cut
// short leaves a results folder that mixes two runs; the manifest, written with status
// "running" before the first record and rewritten when the run ends ("complete",
// "failed" or "interrupted"), lets the tools that read the folder see that. Inputs and
// outputs carry their size and SHA-256, so a file changed since can be told apart.
#include <fstream>
#include <vector>

#include "bridge/python_text.hpp"
#include "core/atomic_file.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

constexpr const char* kManifest = "/results/manifest.json";
constexpr std::size_t kChunkBytes = 1 << 20;

py::object path_module() { return py::module_::import("os").attr("path"); }

// The path as the manifest names it: relative to the working folder.
py::str relative(const Run& run, const std::string& path) {
    return path_module().attr("relpath")(path, run.workdir);
}

py::dict file_facts(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw cellcore::FileError(path, path + ": cannot read the file to record it "
                                               "in the run's manifest");
    py::object digest = py::module_::import("hashlib").attr("sha256")();
    std::vector<char> chunk(kChunkBytes);
    std::size_t bytes = 0;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        digest.attr("update")(py::bytes(chunk.data(), got));
        bytes += got;
    }
    py::dict facts;
    facts["bytes"] = bytes;
    facts["sha256"] = digest.attr("hexdigest")();
    return facts;
}

py::str now() {
    return py::module_::import("datetime")
        .attr("datetime")
        .attr("now")()
        .attr("astimezone")()
        .attr("isoformat")(py::arg("timespec") = "seconds");
}

py::dict inputs(const Run& run) {
    py::dict files;
    const py::object settings_file = run.settings_file;
    if (!settings_file.is_none())
        files[relative(run, bridge::str(settings_file))] =
            file_facts(bridge::str(settings_file));
    for (py::handle record : run.infiles)
        files[relative(run, bridge::str(record))] = file_facts(bridge::str(record));
    return files;
}

py::dict manifest(const Run& run) { return run.manifest; }

void write_manifest(const Run& run) {
    const py::object text = py::module_::import("json").attr("dumps")(
        manifest(run), py::arg("indent") = 2, py::arg("ensure_ascii") = false);
    cellcore::write_file_atomically(bridge::str(run.workdir) + kManifest,
                                    bridge::str(text) + "\n");
}

} // namespace

void start_manifest(Run& run) {
    py::dict m;
    m["tool"] = "cellfit";
    m["version"] = CELL_VERSION;
    m["status"] = "running";
    m["started"] = now();
    m["finished"] = py::none();
    m["settings"] = run.values;
    m["settings_source"] = run.source;
    m["inputs"] = inputs(run);
    m["outputs"] = py::dict();
    m["left_out"] = py::list();
    run.manifest = m;
    write_manifest(run);
}

void note_output(const Run& run, const std::string& path) {
    if (!run.manifest.empty())
        py::dict(manifest(run)["outputs"])[relative(run, path)] = py::none();
}

void note_left_out(const Run& run, const std::string& path) {
    py::list(manifest(run)["left_out"]).append(relative(run, path));
}

py::list run_outputs(const Run& run) {
    return py::list(py::dict(manifest(run)["outputs"]).attr("keys")());
}

void note_model_files(const Run& run, const py::handle& names) {
    if (names.is_none())
        return;
    const std::string results = bridge::str(run.workdir) + "/results/";
    for (py::handle name : names)
        note_output(run, results + bridge::str(name));
}

void end_manifest(const Run& run, const std::string& status, const std::string& error) {
    py::dict m = manifest(run);
    m["status"] = status;
    m["finished"] = now();
    const py::dict outputs = m["outputs"];
    for (auto item : outputs) {
        const std::string path =
            bridge::str(run.workdir) + "/" + bridge::str(item.first);
        outputs[item.first] = file_facts(path);
    }
    if (!error.empty())
        m["error"] = error;
    write_manifest(run);
}

void end_manifest_after_error(const Run& run, const std::string& status,
                              const std::string& error) noexcept {
    try {
        if (!run.manifest.empty())
            end_manifest(run, status, error);
    } catch (...) {
        // the manifest stays at "running", which the tools refuse alike
    }
}

} // namespace cellfit
