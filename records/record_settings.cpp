// The settings that say how a record is written and which part of it to fit:
// "columns" (the record's own names of our columns), "discharge_current" (its sign),
// "units" (current in A or mA, time in seconds or as a clock) and "section" (the part
// of a whole test file to fit, by time or by the cycler's step index).
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "bridge/python_text.hpp"
#include "records/record_table.hpp"

namespace records {
namespace {

const char* const kStandardColumns[] = {kTimeColumn,     kVoltageColumn,
                                        kCurrentColumn,  kTemperatureColumn,
                                        kStepTimeColumn, kStepIndexColumn};

bool is_text(const py::handle& value, const char* text) {
    return py::isinstance<py::str>(value) && value.equal(py::str(text));
}

std::map<std::string, std::string> column_map(const py::object& columns,
                                              const std::string& where) {
    std::string standard;
    for (const char* name : kStandardColumns)
        standard += (standard.empty() ? "" : ", ") + quoted(name);
    const std::string bad = "Invalid columns " + bridge::str(py::repr(columns)) +
                            where + ": use an object mapping some of " + standard +
                            " to the record's own names";
    if (!py::isinstance<py::dict>(columns))
        throw cellcore::InputError(bad);
    std::map<std::string, std::string> map;
    for (auto item : py::reinterpret_borrow<py::dict>(columns)) {
        const bool known =
            std::any_of(std::begin(kStandardColumns), std::end(kStandardColumns),
                        [&](const char* name) { return is_text(item.first, name); });
        if (!known || !py::isinstance<py::str>(item.second) ||
            py::len(item.second) == 0)
            throw cellcore::InputError(bad);
        map[item.first.cast<std::string>()] = item.second.cast<std::string>();
    }
    return map;
}

bool discharge_positive(const py::object& sign, const std::string& where) {
    if (sign.is_none())
        return false;
    if (!is_text(sign, "negative") && !is_text(sign, "positive"))
        throw cellcore::InputError(
            "Unknown discharge_current " + bridge::str(py::repr(sign)) + where +
            ": use \"negative\" (the record writes discharge current as negative, "
            "the default) or \"positive\"");
    return is_text(sign, "positive");
}

void read_units(const py::object& units, const std::string& where, RecordSettings& s) {
    const std::string bad = "Invalid units " + bridge::str(py::repr(units)) + where +
                            ": use an object such as {\"current\": \"A\" or \"mA\", "
                            "\"time\": \"s\" or \"h:m:s\"}";
    if (!py::isinstance<py::dict>(units))
        throw cellcore::InputError(bad);
    for (auto item : py::reinterpret_borrow<py::dict>(units)) {
        if (is_text(item.first, "current") &&
            (is_text(item.second, "A") || is_text(item.second, "mA")))
            s.current_in_ma = is_text(item.second, "mA");
        else if (is_text(item.first, "time") &&
                 (is_text(item.second, "s") || is_text(item.second, "h:m:s")))
            s.time_format =
                is_text(item.second, "s") ? TimeFormat::seconds : TimeFormat::clock;
        else
            throw cellcore::InputError(bad);
    }
}

double finite_number(const py::handle& value) {
    if (!py::isinstance<py::int_>(value) && !py::isinstance<py::float_>(value))
        return NAN;
    if (py::isinstance<py::bool_>(value))
        return NAN;
    try {
        return value.cast<double>(); // an int too large for a double is no bound
    } catch (const py::cast_error&) {
        return NAN;
    }
}

Section read_section(const py::object& section, const std::string& where) {
    const std::string bad = "Invalid section " + bridge::str(py::repr(section)) +
                            where +
                            ": use {\"time_s\": [from, to]} or {\"step_index\": "
                            "[first, last]} with from <= to";
    if (!py::isinstance<py::dict>(section) || py::len(section) != 1)
        throw cellcore::InputError(bad);
    const auto item = *py::reinterpret_borrow<py::dict>(section).begin();
    Section s;
    if (is_text(item.first, "time_s"))
        s.by = Section::By::time;
    else if (is_text(item.first, "step_index"))
        s.by = Section::By::step_index;
    else
        throw cellcore::InputError(bad);
    if (!py::isinstance<py::list>(item.second) || py::len(item.second) != 2)
        throw cellcore::InputError(bad);
    const py::list range = py::reinterpret_borrow<py::list>(item.second);
    s.from = finite_number(range[0]);
    s.to = finite_number(range[1]);
    if (!std::isfinite(s.from) || !std::isfinite(s.to) || !(s.from <= s.to))
        throw cellcore::InputError(bad);
    return s;
}

} // namespace

RecordSettings record_settings(py::handle values, const std::string& where) {
    RecordSettings s;
    if (values.is_none())
        return s;
    const py::object get = values.attr("get");
    if (const py::object columns = get("columns"); !columns.is_none())
        s.columns = column_map(columns, where);
    s.discharge_positive = discharge_positive(get("discharge_current"), where);
    if (const py::object units = get("units"); !units.is_none())
        read_units(units, where, s);
    if (const py::object section = get("section"); !section.is_none())
        s.section = read_section(section, where);
    return s;
}

} // namespace records
