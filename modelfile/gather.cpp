// Gathering the per-temperature results: every <record>_params.json of the results
// folder is read and checked, the temperatures are ordered, and each temperature's OCV
// curve is turned round into SOC over one voltage grid, the form the SOC model is
// fitted in. A file read later replaces an earlier one at the same temperature,
// compared as numbers (25 and 25.0 are one temperature), while the list of temperatures
// keeps both; a warning names the files that share a temperature, as two records of
// one temperature are a mistake more often than a plan.
#include "modelfile/stages.hpp"

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"

#include <cmath>
#include <map>
#include <stdexcept>

namespace cellgen {
namespace {

constexpr const char* kParameterFiles = "*_params.json";
constexpr int kGridPoints = 122;
constexpr std::size_t kShownChars = 60;

// A value as str() shows it, cut short: a message names a bad value, not all of it.
std::string shown(py::handle value) {
    std::string text = bridge::str(value);
    if (text.size() > kShownChars)
        text = text.substr(0, kShownChars) + "...";
    return text;
}

bool is_number(py::handle v) {
    return PyFloat_Check(v.ptr()) || (PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr()));
}

double number_in(py::handle v, const std::string& file, const std::string& what) {
    if (!is_number(v))
        reject(file, what + " is " + shown(v) + ", not a number");
    return v.cast<double>();
}

py::list list_in(py::handle v, const std::string& file, const std::string& what) {
    if (!PyList_Check(v.ptr()))
        reject(file, what + " is " + shown(v) + ", not a list");
    return py::reinterpret_borrow<py::list>(v);
}

std::vector<double> numbers_in(const py::list& values, const std::string& file,
                               const std::string& what) {
    std::vector<double> out;
    out.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        out.push_back(number_in(values[i], file, what + "[" + bridge::str(i) + "]"));
    return out;
}

py::object entry(const py::dict& data, const char* key, const std::string& file) {
    if (!data.contains(key))
        reject(file, std::string("no '") + key + "' entry");
    return data[key];
}

// The whole file parsed as JSON, in the platform's default text encoding.
py::dict load_parameter_file(const std::string& file) {
    py::object f = py::module_::import("builtins").attr("open")(file);
    py::object data;
    try {
        data = py::module_::import("json").attr("load")(f);
    } catch (py::error_already_set& e) {
        f.attr("close")();
        // JSONDecodeError and UnicodeDecodeError both derive from ValueError
        if (e.matches(PyExc_ValueError)) {
            const std::string message =
                file + ": not valid JSON: " + bridge::str(e.value());
            py::raise_from(e, PyExc_ValueError, message.c_str());
            throw py::error_already_set();
        }
        throw;
    }
    f.attr("close")();
    if (!PyDict_Check(data.ptr()))
        reject(file, "holds " + shown(data) + ", not a JSON object");
    return py::reinterpret_borrow<py::dict>(data);
}

ParameterFile read_parameter_file(const std::string& name) {
    const py::dict data = load_parameter_file(name);
    ParameterFile f;
    f.name = name;
    f.temp_c = number_in(entry(data, "TempC", name), name, "TempC");
    if (!std::isfinite(f.temp_c))
        reject(name, "TempC is " + bridge::str(f.temp_c) + ", not a temperature");
    f.capacity_ah = number_in(entry(data, "Tparam_1", name), name, "Tparam_1");

    const py::list circuit = list_in(entry(data, "Tparam_2", name), name, "Tparam_2");
    if (circuit.size() != 3 && circuit.size() != 5)
        reject(name, "Tparam_2 holds " + bridge::str(circuit.size()) +
                         " values; a circuit has 3 (one RC pair) or 5 (two RC pairs)");
    f.circuit = numbers_in(circuit, name, "Tparam_2");

    const py::list curve = list_in(entry(data, "Tparam_3", name), name, "Tparam_3");
    if (curve.size() != 2)
        reject(name, "Tparam_3 holds " + bridge::str(curve.size()) +
                         " lists; expected 2, the SOC axis and the OCV");
    f.soc_axis = list_in(curve[0], name, "Tparam_3[0]");
    f.soc = numbers_in(f.soc_axis, name, "Tparam_3[0]");
    f.ocv_v = numbers_in(list_in(curve[1], name, "Tparam_3[1]"), name, "Tparam_3[1]");
    // the slopes over SOC need at least one step
    if (f.soc.size() < 2)
        reject(name, "the SOC axis (Tparam_3[0]) has " + bridge::str(f.soc.size()) +
                         " points; at least 2 are needed");
    if (f.ocv_v.size() != f.soc.size())
        reject(name, "Tparam_3 has " + bridge::str(f.soc.size()) + " SOC points but " +
                         bridge::str(f.ocv_v.size()) + " OCV values");
    return f;
}

// All OCV curves share one SOC axis, so they must have its length; the first file fixes
// it.
void check_axis_lengths(const std::vector<ParameterFile>& files) {
    for (const ParameterFile& f : files)
        if (f.soc.size() != files.front().soc.size())
            reject(f.name, "the SOC axis has " + bridge::str(f.soc.size()) +
                               " points, but " + files.front().name + " has " +
                               bridge::str(files.front().soc.size()));
}

std::string joined_names(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names)
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

// One- and two-pair circuits cannot share the model's tables: the second-pair block
// would be shorter than the first with nothing to say which temperatures lack it.
void check_one_model_order(const std::vector<ParameterFile>& files) {
    std::vector<std::string> one_pair, two_pairs;
    for (const ParameterFile& f : files)
        (f.circuit.size() == 3 ? one_pair : two_pairs).push_back(f.name);
    if (!one_pair.empty() && !two_pairs.empty())
        throw cellcore::InputError(
            "mixed circuit models in the parameter files: one RC pair in " +
            joined_names(one_pair) + "; two RC pairs in " + joined_names(two_pairs));
}

// The folder's parameter files in listing order; with `only` given, those it names.
py::list listed_parameter_files(py::handle only) {
    const py::list all = py::module_::import("glob").attr("glob")(kParameterFiles);
    if (only.is_none())
        return all;
    const py::set wanted(py::reinterpret_borrow<py::object>(only));
    py::list kept;
    for (py::handle name : all)
        if (wanted.contains(name))
            kept.append(name);
    return kept;
}

std::vector<ParameterFile> read_parameter_files(py::handle only) {
    const py::list names = listed_parameter_files(only);
    if (names.empty()) {
        const std::string folder =
            bridge::str(py::module_::import("os").attr("getcwd")());
        throw cellcore::InputError(std::string("no parameter files (") +
                                   kParameterFiles + ") in " + folder);
    }
    std::vector<ParameterFile> files;
    for (py::handle name : names)
        files.push_back(read_parameter_file(name.cast<std::string>()));
    check_axis_lengths(files);
    check_one_model_order(files);
    return files;
}

void warn_about_shared_temperatures(const std::vector<ParameterFile>& files) {
    std::map<double, std::vector<std::string>> names_at;
    for (const ParameterFile& f : files)
        names_at[f.temp_c].push_back(f.name);
    for (const auto& [temp_c, names] : names_at) {
        if (names.size() < 2)
            continue;
        const bool two = names.size() == 2;
        const std::string which = two ? names[0] + " and " + names[1] + " are both"
                                      : joined_names(names) + " are all";
        const std::string times = two ? "twice" : bridge::str(names.size()) + " times";
        bridge::log(kLogger, "warning",
                    which + " at " + bridge::str(temp_c) +
                        " °C: the model lists that temperature " + times +
                        ", each time with the values of " + names.back() +
                        " (read last)");
    }
}

void order_by_temperature(GatheredResults& g) {
    py::array_t<double> listed(static_cast<py::ssize_t>(g.files.size()));
    for (std::size_t i = 0; i < g.files.size(); ++i)
        listed.mutable_at(static_cast<py::ssize_t>(i)) = g.files[i].temp_c;
    const auto sorted =
        py::module_::import("numpy").attr("sort")(listed).cast<py::array_t<double>>();
    g.temps_c.assign(sorted.data(), sorted.data() + sorted.size());

    // double keys compare as numbers: a later 25.0 replaces an earlier 25
    std::map<double, std::size_t> latest;
    for (std::size_t i = 0; i < g.files.size(); ++i) {
        const double t = g.files[i].temp_c;
        if (latest.count(t) == 0)
            g.ocv_temps_c.push_back(t); // OCV curves keep the order first read
        latest[t] = i;
    }
    for (const double t : g.ocv_temps_c)
        g.ocv_curves.push_back(latest.at(t));
    for (const double t : g.temps_c)
        g.at_temp.push_back(latest.at(t));
}

// SOC at each grid voltage by linear interpolation along each OCV curve; grid voltages
// beyond a curve's ends take its first or last SOC.
void resample_onto_voltage_grid(GatheredResults& g, py::handle vbatlow,
                                py::handle vbathigh) {
    const py::module_ np = py::module_::import("numpy");
    // the grid starts 10 mV below the low limit; the difference is taken as Python
    // takes it, whatever number type the caller passed
    const py::object grid_start =
        py::reinterpret_borrow<py::object>(vbatlow) - py::float_(0.01);
    g.vocv = np.attr("linspace")(grid_start, vbathigh, kGridPoints)
                 .cast<py::array_t<double>>();
    const py::array_t<double> soc = bridge::to_numpy(g.soc_axis_file().soc);
    for (std::size_t i = 0; i < g.temps_c.size(); ++i) {
        if (i > 0 && g.temps_c[i] == g.temps_c[i - 1])
            continue; // one column per temperature
        const py::array_t<double> ocv = bridge::to_numpy(g.files[g.at_temp[i]].ocv_v);
        g.grid_temps_c.push_back(g.temps_c[i]);
        g.grid_soc.push_back(
            np.attr("interp")(g.vocv, ocv, soc).cast<py::array_t<double>>());
    }
}

} // namespace

GatheredResults gather_results(py::handle vbatlow, py::handle vbathigh,
                               py::handle files) {
    GatheredResults g;
    g.files = read_parameter_files(files);
    warn_about_shared_temperatures(g.files);
    order_by_temperature(g);
    resample_onto_voltage_grid(g, vbatlow, vbathigh);
    return g;
}

} // namespace cellgen
