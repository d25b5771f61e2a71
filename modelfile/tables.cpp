// The tables stage: battery_tables.json (and .mat) beside the model files. The tables
// need each record's pulse fits, which the pipeline writes to <record>_pulses.csv
// beside <record>_params.json; this file reads them with pandas, turns them into the
// core's records and writes what core/engine/soc_tables builds. The record that wins a
// temperature in battery_model.json (the one read last) gives that temperature's
// column here too.
#include "modelfile/stages.hpp"

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/engine/ocv_curve.hpp"
#include "core/engine/soc_tables.hpp"
#include "core/engine/soc_tables_json.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace cellgen {
namespace {

constexpr const char* kTablesJson = "battery_tables.json";
constexpr const char* kTablesMat = "battery_tables.mat";
constexpr const char* kParamsSuffix = "_params.json";
constexpr const char* kPulsesSuffix = "_pulses.csv";
constexpr const char* kPointsSuffix = "_ocv_points.csv";
// The extraction's SOC axis, 0 to 1 in steps of 0.005: the OCV curves need no
// resampling, and the step is well below the spacing of any pulse train.
constexpr int kSocSteps = 200;
// Half the SOC step of a usual HPPC train: far enough to cover the ends of the
// measured range, not so far that a table claims SOCs no pulse came near.
constexpr double kReachSoc = 0.05;

std::string beside(const ParameterFile& f, const char* suffix) {
    const std::string params = kParamsSuffix;
    return f.name.substr(0, f.name.size() - params.size()) + suffix;
}

std::string pulses_file_of(const ParameterFile& f) { return beside(f, kPulsesSuffix); }

bool exists(const std::string& file) {
    return py::module_::import("os").attr("path").attr("isfile")(file).cast<bool>();
}

py::object read_table(const std::string& file) {
    const py::module_ pd = py::module_::import("pandas");
    py::dict text_columns;
    text_columns["kind"] = "str";
    text_columns["flags"] = "str";
    try {
        return pd.attr("read_csv")(file, py::arg("dtype") = text_columns);
    } catch (py::error_already_set& e) {
        // pandas' parser and empty-file errors both derive from ValueError
        if (!e.matches(PyExc_ValueError))
            throw;
        const std::string message =
            file + ": not a readable CSV table: " + bridge::str(e.value());
        py::raise_from(e, PyExc_ValueError, message.c_str());
        throw py::error_already_set();
    }
}

// A numeric column as doubles (empty cells NaN); an absent optional column is all NaN.
std::vector<double> numbers(const py::object& table, const std::string& file,
                            const char* column, bool required) {
    const std::size_t rows = py::len(table);
    if (!table.attr("columns").attr("__contains__")(column).cast<bool>()) {
        if (required)
            reject(file, std::string("no column \"") + column + "\"");
        return std::vector<double>(rows, std::nan(""));
    }
    const py::object values = table[column];
    const py::module_ types = py::module_::import("pandas.api.types");
    // a record without a fitted pulse has a header only, and empty columns are text
    if (rows > 0 && !types.attr("is_numeric_dtype")(values).cast<bool>())

        reject(file, std::string("column \"") + column + "\" is not numeric");
    const auto array =
        values.attr("to_numpy")(py::arg("dtype") = "float64").cast<bridge::InArray>();
    return std::vector<double>(array.data(), array.data() + array.size());
}

// Cells of a text column; empty cells (NaN to pandas) and absent columns give "".
std::vector<std::string> texts(const py::object& table, const char* column) {
    const std::size_t rows = py::len(table);
    std::vector<std::string> out(rows);
    if (!table.attr("columns").attr("__contains__")(column).cast<bool>())
        return out;
    const py::list cells = table[column].attr("tolist")();
    for (std::size_t i = 0; i < rows; ++i)
        if (PyUnicode_Check(cells[i].ptr()))
            out[i] = cells[i].cast<std::string>();
    return out;
}

cellcore::PulseKind checked_kind(const std::string& kind, const std::string& file,
                                 std::size_t row) {
    if (kind == "discharge")
        return cellcore::PulseKind::discharge;
    if (kind == "charge")
        return cellcore::PulseKind::charge;
    // row 0 is the file's second line, after the header
    reject(file, "line " + bridge::str(row + 2) + ": kind is '" + kind +
                     "', not 'discharge' or 'charge'");
}

std::vector<cellcore::PulseRow> read_pulses(const std::string& file) {
    const py::object table = read_table(file);
    if (!table.attr("columns").attr("__contains__")("kind").cast<bool>())
        reject(file, "no column \"kind\"");
    const std::vector<std::string> kinds = texts(table, "kind");
    const std::vector<std::string> flags = texts(table, "flags");
    const std::vector<double> soc = numbers(table, file, "soc", true);
    const std::vector<double> current = numbers(table, file, "current_A", true);
    const std::vector<double> duration = numbers(table, file, "duration_s", true);
    std::vector<std::vector<double>> circuit;
    for (std::size_t k = 0; k < cellcore::kCircuitParameters; ++k)
        circuit.push_back(numbers(table, file, cellcore::kCircuitNames[k], k < 3));

    std::vector<cellcore::PulseRow> pulses(kinds.size());
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        cellcore::PulseRow& p = pulses[i];
        p.kind = checked_kind(kinds[i], file, i);
        p.soc = soc[i];
        p.current_a = current[i];
        p.duration_s = duration[i];
        for (std::size_t k = 0; k < cellcore::kCircuitParameters; ++k)
            p.params[k] = circuit[k][i];
        p.flags = cellcore::pulse_flags_of(flags[i]);
    }
    return pulses;
}

// The points of a record's OCV curve, from <record>_ocv_points.csv where the run wrote
// one (none otherwise: the pulses then give the measured range alone).
struct OcvPointsFile {
    std::vector<double> soc, ocv_v;
    std::vector<bool> loaded; ///< from the loaded discharge beyond the rests
};

OcvPointsFile read_ocv_points(const std::string& file) {
    OcvPointsFile points;
    if (!exists(file))
        return points;
    const py::object table = read_table(file);
    points.soc = numbers(table, file, "soc", true);
    points.ocv_v = numbers(table, file, "ocv_V", false);
    for (const std::string& source : texts(table, "source"))
        points.loaded.push_back(source == "corrected load");
    points.loaded.resize(points.soc.size(), false);
    return points;
}

// The record's OCV for the tables: the parameter file's curve between its rests, and,
// where the points reach beyond them (below the lowest rest, down to the cut-off), the
// monotone curve through all the points there.
void take_ocv(const ParameterFile& f, const OcvPointsFile& points,
              cellcore::RecordResults& r) {
    r.ocv_soc = f.soc;
    r.ocv_v = f.ocv_v;
    r.rest_soc = points.soc;
    double lowest = INFINITY, highest = -INFINITY;
    for (std::size_t k = 0; k < points.soc.size(); ++k)
        if (!points.loaded[k]) {
            lowest = std::min(lowest, points.soc[k]);
            highest = std::max(highest, points.soc[k]);
        }
    if (std::find(points.loaded.begin(), points.loaded.end(), true) ==
            points.loaded.end() ||
        !(lowest <= highest))
        return;
    const cellcore::OcvCurve curve(points.soc, points.ocv_v);
    for (std::size_t k = 0; k < r.ocv_soc.size(); ++k)
        if (r.ocv_soc[k] < lowest || r.ocv_soc[k] > highest)
            r.ocv_v[k] = curve(r.ocv_soc[k]);
}

// The winning record of every temperature that has a pulse file; the others are named
// in the log. Empty when no record has one.
std::vector<cellcore::RecordResults> records_with_pulses(const GatheredResults& g) {
    std::vector<const ParameterFile*> with, without;
    for (const std::size_t i : g.ocv_curves)
        (exists(pulses_file_of(g.files[i])) ? with : without).push_back(&g.files[i]);
    if (with.empty())
        return {};
    for (const ParameterFile* f : without)
        bridge::log(kLogger, "info",
                    std::string(kTablesJson) + ": no " + pulses_file_of(*f) +
                        ", so its temperature (" + bridge::str(f->temp_c) +
                        ") has no column");
    std::vector<cellcore::RecordResults> records;
    for (const ParameterFile* f : with) {
        cellcore::RecordResults r;
        r.temp_c = f->temp_c;
        r.capacity_ah = f->capacity_ah;
        take_ocv(*f, read_ocv_points(beside(*f, kPointsSuffix)), r);
        r.pulses = read_pulses(pulses_file_of(*f));
        records.push_back(std::move(r));
    }
    return records;
}

py::array_t<double> matrix(const cellcore::SocTempTable& rows) {
    const auto n = static_cast<py::ssize_t>(rows.size());
    const auto m = static_cast<py::ssize_t>(rows.empty() ? 0 : rows[0].size());
    py::array_t<double> out({n, m});
    auto cells = out.mutable_unchecked<2>();
    for (py::ssize_t i = 0; i < n; ++i)
        for (py::ssize_t j = 0; j < m; ++j)
            cells(i, j) =
                rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
    return out;
}

py::dict direction(const std::vector<cellcore::SocTempTable>& tables) {
    py::dict out;
    for (std::size_t k = 0; k < tables.size(); ++k)
        out[cellcore::kCircuitNames[k]] = matrix(tables[k]);
    return out;
}

// The MATLAB structure "tables": the JSON file's entries, NaN where JSON has null.
py::dict mat_variables(const cellcore::SocTables& t, std::array<double, 2> limits) {
    cellcore::SocTempTable rested;
    for (const auto& range : t.rested_soc)
        rested.push_back({range[0], range[1]});
    py::dict tables;
    tables["soc"] = bridge::to_numpy(t.soc);
    tables["temps"] = bridge::to_numpy(t.temps_c);
    tables["capacity_ah"] = bridge::to_numpy(t.capacity_ah);
    tables["voltage_limits"] =
        bridge::to_numpy(std::vector<double>(limits.begin(), limits.end()));
    tables["rested_soc"] = matrix(rested);
    tables["ocv"] = matrix(t.ocv_v);
    tables["discharge"] = direction(t.discharge);
    tables["charge"] = direction(t.charge);
    py::dict variables;
    variables["tables"] = tables;
    return variables;
}

cellcore::TableSettings settings_for(const GatheredResults& g) {
    cellcore::TableSettings s;
    for (int i = 0; i <= kSocSteps; ++i)
        s.soc.push_back(i /
                        double(kSocSteps)); // 3/200 is 0.015, not 0.015000000000000001
    s.reach_soc = kReachSoc;
    s.rc_pairs = g.files.front().circuit.size() == 5 ? 2 : 1;
    return s;
}

// The cut-off voltages as the caller gave them, any number type.
double as_double(py::handle value) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

} // namespace

std::vector<std::string> write_table_files(const GatheredResults& gathered,
                                           py::handle vbatlow, py::handle vbathigh,
                                           py::handle velmarrun) {
    const std::vector<cellcore::RecordResults> records = records_with_pulses(gathered);
    if (records.empty()) {
        bridge::log(kLogger, "info",
                    std::string("No pulse files (*") + kPulsesSuffix +
                        "): " + kTablesJson + " is not written");
        return {};
    }
    const std::array<double, 2> limits = {as_double(vbatlow), as_double(vbathigh)};
    const cellcore::TableSettings settings = settings_for(gathered);
    cellcore::SocTables tables;
    {
        py::gil_scoped_release nogil; // plain structs from here on
        tables = cellcore::build_soc_tables(records, settings);
    }
    write_text_file(kTablesJson, cellcore::soc_tables_json(tables, limits));
    if (!py::bool_(py::reinterpret_borrow<py::object>(velmarrun)))
        return {kTablesJson};
    write_mat_file(kTablesMat, mat_variables(tables, limits));
    return {kTablesJson, kTablesMat};
}

} // namespace cellgen
