// The model files. battery_model.json is one line in the model's own number format (no
// exponents, see core/number_text), written by CustomEncoder, the JSON encoder class
// the model's users also call through json.dumps(..., cls=CustomEncoder).
// battery_model.mat holds the same model as a MATLAB structure for the simulation side.
// Both are written to a temporary file beside the target and renamed over it, so a
// failed call never leaves a half-written model behind; a file that cannot be written
// or replaced is an OSError naming it (the module's translator of core errors).
#include "modelfile/stages.hpp"

#include <stdexcept>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/atomic_file.hpp"
#include "core/model_json.hpp"

namespace cellgen {
namespace {

constexpr const char* kJsonFile = "battery_model.json";
constexpr const char* kMatFile = "battery_model.mat";

// The model's entries in file order: the name in the MATLAB structure, the key in JSON.
struct ModelKey {
    const char* mat_name;
    const char* json_key;
};
constexpr ModelKey kModelKeys[] = {
    {"SOC", "param_1"},     {"temps", "temps"},      {"OCV", "param_2"},
    {"OCVrel", "param_3"},  {"OCV0", "param_4"},     {"dOCV0", "param_5"},
    {"dOCVrel", "param_6"}, {"SOCrel", "param_7"},   {"SOC0", "param_8"},
    {"R0Param", "param_9"}, {"RCParam", "param_10"}, {"RParam", "param_11"},
    {"QParam", "param_12"}, {"name", "name"}};

[[noreturn]] void not_a_number(py::handle val, const std::string& key) {
    throw py::type_error("CustomEncoder: '" + key + "' holds " + bridge::str(val) +
                         ", which is not a number");
}

cellcore::ModelNumber model_number(py::handle val, const std::string& key) {
    PyObject* p = val.ptr();
    if (PyBool_Check(p))
        not_a_number(val, key);
    if (PyFloat_Check(p))
        return cellcore::ModelNumber::of_float(PyFloat_AS_DOUBLE(p));
    if (PyIndex_Check(p)) {
        const auto integer = py::reinterpret_steal<py::object>(PyNumber_Index(p));
        if (!integer)
            throw py::error_already_set();
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
        if (overflow != 0)
            throw std::overflow_error("CustomEncoder: '" + key + "' holds " +
                                      bridge::str(val) +
                                      ", an integer too large to write");
        return cellcore::ModelNumber::of_integer(i);
    }
    if (py::hasattr(val, "__float__")) // numpy's other float types
        return cellcore::ModelNumber::of_float(
            py::float_(py::reinterpret_borrow<py::object>(val)).cast<double>());
    not_a_number(val, key);
}

// The map as the core encoder takes it: each key with its numbers, or for "name" the
// items that are joined into the name.
std::vector<cellcore::ModelEntry> model_entries(py::handle o) {
    std::vector<cellcore::ModelEntry> entries;
    for (py::handle key : o) {
        if (!PyUnicode_Check(key.ptr()))
            throw py::type_error("CustomEncoder: key " + bridge::str(key) +
                                 " is not a str");
        const py::object value = o[key];
        cellcore::ModelEntry entry;
        entry.key = key.cast<std::string>();
        if (entry.key == "name") {
            for (py::handle item : value) {
                if (!PyUnicode_Check(item.ptr()))
                    throw py::type_error("CustomEncoder: 'name' holds " +
                                         bridge::str(item) + ", not a str");
                entry.items.push_back(item.cast<std::string>());
            }
        } else {
            for (py::handle val : value)
                entry.numbers.push_back(model_number(val, entry.key));
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string count_of_values(std::size_t count) {
    return bridge::str(count) +
           (count == 1 ? " non-finite value" : " non-finite values");
}

std::string custom_encode(py::handle, py::handle o) {
    const cellcore::EncodedModel encoded = cellcore::encode_model(model_entries(o));
    for (const cellcore::NonFiniteEntry& e : encoded.non_finite)
        bridge::log(kLogger, "warning",
                    "CustomEncoder: '" + e.key + "' holds " + count_of_values(e.count) +
                        ", written as null");
    return encoded.text;
}

// JSONEncoder with the model file's text in place of the standard encoder's output; a
// Python class, so users can subclass it and pass it to json.dumps as cls.
py::object make_custom_encoder() {
    const py::object base = py::module_::import("json.encoder").attr("JSONEncoder");
    py::dict body;
    body["__module__"] = "cellgen";
    body["__doc__"] = "JSON encoder of battery_model.json: one line, numbers without "
                      "exponents, entries with empty lists left out.";
    const py::object type =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type("CustomEncoder", py::make_tuple(base), body);
    cls.attr("encode") =
        py::cpp_function(&custom_encode, py::name("encode"), py::is_method(cls),
                         py::arg("o"), "The model file's text of the map o.");
    cls.attr("default") = py::cpp_function(
        [](py::handle, py::handle obj) { return obj.attr("__dict__"); },
        py::name("default"), py::is_method(cls), py::arg("obj"),
        "An object the encoder does not know, as its attribute map.");
    return cls;
}

py::list float_list(const std::vector<double>& values) {
    py::list out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        out[i] = py::float_(values[i]);
    return out;
}

struct ModelMaps {
    py::dict mat;  // params: what the MATLAB structure holds
    py::dict json; // params_json: what the JSON file holds
};

// The model name is the first listed file's name up to its first underscore. MATLAB
// gets each character in quotes ('c''e''l''l''A'), JSON the characters, which the
// encoder joins.
std::pair<py::object, py::object> model_name(const GatheredResults& g) {
    const py::str name =
        py::str(g.files.front().name).attr("split")("_", 1)[py::int_(0)];
    py::list chars(name);
    std::string quoted;
    for (py::handle c : chars)
        quoted += "'" + c.cast<std::string>() + "'";
    return {py::str(quoted), chars};
}

ModelMaps model_maps(const GatheredResults& g, const TemperatureModel& m) {
    const py::list vocv = g.vocv.attr("tolist")();
    const py::list soc_axis = g.soc_axis_file().soc_axis; // as read: integers stay so
    const std::pair<py::object, py::object> name = model_name(g);
    // float vectors in the MATLAB structure, lists of floats in the JSON file
    const std::vector<std::pair<py::object, py::object>> values = {
        {soc_axis, soc_axis},
        {bridge::to_numpy(g.temps_c), float_list(g.temps_c)},
        {g.vocv, vocv},
        {bridge::to_numpy(m.ocv_rel), float_list(m.ocv_rel)},
        {bridge::to_numpy(m.ocv0), float_list(m.ocv0)},
        {bridge::to_numpy(m.docv0), float_list(m.docv0)},
        {bridge::to_numpy(m.docv_rel), float_list(m.docv_rel)},
        {bridge::to_numpy(m.soc_rel), float_list(m.soc_rel)},
        {bridge::to_numpy(m.soc0), float_list(m.soc0)},
        {float_list(m.r0_ohm), float_list(m.r0_ohm)},
        {float_list(m.tau_s), float_list(m.tau_s)},
        {float_list(m.r_ohm), float_list(m.r_ohm)},
        {float_list(m.q_ah), float_list(m.q_ah)},
        name};
    ModelMaps maps;
    for (std::size_t i = 0; i < values.size(); ++i) {
        maps.mat[kModelKeys[i].mat_name] = values[i].first;
        maps.json[kModelKeys[i].json_key] = values[i].second;
    }
    return maps;
}

const char* mat_name_of(const std::string& json_key) {
    for (const ModelKey& k : kModelKeys)
        if (json_key == k.json_key)
            return k.mat_name;
    return "";
}

std::string in_current_folder(const char* file) {
    return bridge::str(py::module_::import("os").attr("getcwd")()) + "/" + file;
}

void write_json(const py::dict& params_json) {
    const cellcore::EncodedModel encoded =
        cellcore::encode_model(model_entries(params_json));
    for (const cellcore::NonFiniteEntry& e : encoded.non_finite)
        bridge::log(kLogger, "warning",
                    std::string(kJsonFile) + ": '" + e.key + "' (" +
                        mat_name_of(e.key) + ") holds " + count_of_values(e.count) +
                        ", written as null");
    write_text_file(kJsonFile, encoded.text);
}

} // namespace

void write_text_file(const char* file, const std::string& text) {
    const std::string target = in_current_folder(file);
    cellcore::write_file_atomically(target, text); // OSError when it fails
    bridge::log(kLogger, "info", std::string("Saved file '") + file + "'");
}

// scipy's savemat with its defaults (MATLAB 5, uncompressed, vectors as rows) into an
// open temporary file, which then replaces the target.
void write_mat_file(const char* file, const py::dict& variables) {
    const std::string target = in_current_folder(file);
    const std::string tmp = cellcore::temporary_path_for(target);
    const py::module_ os = py::module_::import("os");
    py::object f = py::module_::import("builtins").attr("open")(tmp, "wb");
    try {
        py::module_::import("scipy.io").attr("savemat")(f, variables);
        f.attr("close")();
    } catch (...) {
        f.attr("close")();
        os.attr("remove")(tmp);
        throw;
    }
    cellcore::replace_file(tmp, target);
    bridge::log(kLogger, "info", std::string("Saved file: '") + file + "'");
}

std::vector<std::string> write_model_files(const GatheredResults& gathered,
                                           const TemperatureModel& model,
                                           py::handle velmarrun) {
    const ModelMaps maps = model_maps(gathered, model);
    write_json(maps.json);
    if (!py::bool_(py::reinterpret_borrow<py::object>(velmarrun)))
        return {kJsonFile};
    py::dict mat;
    mat["model"] = maps.mat;
    write_mat_file(kMatFile, mat);
    return {kJsonFile, kMatFile};
}

void register_writers(py::module_& m) {
    m.attr("CustomEncoder") = make_custom_encoder();
}

} // namespace cellgen
