// Reading a record as cyclers and spreadsheets write it. pandas reads the table; the
// header line is found by its column names, so metadata lines above it are skipped;
// the record's own column names are mapped to ours; rows that carry no sample (blank
// cells, a text row) and rows that repeat the time of the row before are dropped with
// one warning each. What cannot be read unambiguously (a text value among numbers, time
// going backwards, too many bad rows) stops with the record's name, the line and the
// value. A clean record comes out exactly as pandas reads it.
#include "records/record_table.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

#include "bridge/arrays.hpp"
#include "bridge/python_text.hpp"
#include "core/clock_time.hpp"
#include "core/record_rows.hpp"

namespace records {
namespace {

// Cycler exports put up to a few dozen metadata lines above the header.
constexpr std::size_t kHeaderSearchLines = 200;
// No cycler writes a header this long; a longer line is cut before it is searched.
constexpr std::size_t kLongestHeaderChars = 1 << 16;
// Nor this many columns: a line with more is no table header, and pandas would allocate
// a column for each.
constexpr std::size_t kMostColumns = 2000;
// Fields a line may have beyond the header's (trailing commas) before it is no row.
constexpr std::size_t kExtraFields = 16;
// Beyond this share of rows without a sample, the record is not what it claims to be
// (a wrong column, a broken export), and dropping rows would hide that.
constexpr double kMostBadRowShare = 0.01;

std::string rows_text(std::size_t n) {
    return bridge::str(n) + (n == 1 ? " row" : " rows");
}

// The record's own name of a standard column.
std::string source_name(const RecordSettings& s, const char* name) {
    const auto it = s.columns.find(name);
    return it == s.columns.end() ? std::string(name) : it->second;
}

bool mapped(const RecordSettings& s, const std::string& source) {
    return std::any_of(s.columns.begin(), s.columns.end(),
                       [&](const auto& entry) { return entry.second == source; });
}

// pandas warns about lines longer than the header and about columns of mixed types; a
// record with those is reported here in its own words, so the library's warnings are
// silenced while it reads.
class QuietReadWarnings {
  public:
    QuietReadWarnings() {
        const py::module_ warnings = py::module_::import("warnings");
        const py::object errors = py::module_::import("pandas").attr("errors");
        context_ = warnings.attr("catch_warnings")();
        context_.attr("__enter__")();
        warnings.attr("simplefilter")("ignore", errors.attr("ParserWarning"));
        warnings.attr("simplefilter")("ignore", errors.attr("DtypeWarning"));
    }
    ~QuietReadWarnings() {
        try {
            context_.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (py::error_already_set&) {
        }
    }
    QuietReadWarnings(const QuietReadWarnings&) = delete;
    QuietReadWarnings& operator=(const QuietReadWarnings&) = delete;

  private:
    py::object context_;
};

// The file line of each row pandas read, counted only when a message needs one.
class RowLines {
  public:
    RowLines(std::string path, long long header, std::size_t rows)
        : path_(std::move(path)), header_(header), rows_(rows) {}
    long long operator()(std::size_t row) {
        if (lines_.empty()) {
            lines_ = cellcore::data_row_lines(path_, header_);
            // a quoted line break would put pandas' rows and the file's lines out of
            // step; then count plainly from the header
            if (lines_.size() != rows_) {
                lines_.resize(rows_);
                for (std::size_t r = 0; r < rows_; ++r)
                    lines_[r] = header_ + 2 + static_cast<long long>(r);
            }
        }
        return row < lines_.size() ? lines_[row]
                                   : header_ + 2 + static_cast<long long>(row);
    }

  private:
    std::string path_;
    long long header_;
    std::size_t rows_;
    std::vector<long long> lines_;
};

// The lines the header is looked for in, each cut at a length no header reaches.
std::vector<std::string> header_search_lines(const std::string& path) {
    return cellcore::first_lines(path, kHeaderSearchLines, kLongestHeaderChars);
}

// The 0-based line that names the time, voltage and current columns.
long long header_line(const std::string& path, const RecordSettings& s) {
    std::vector<std::string> names = {source_name(s, kTimeColumn),
                                      source_name(s, kVoltageColumn),
                                      source_name(s, kCurrentColumn)};
    if (s.voltage_optional)
        names.erase(names.begin() + 1);
    const std::vector<std::string> lines = header_search_lines(path);
    if (lines.empty())
        return 0; // pandas says why the file cannot be read
    const cellcore::HeaderSearch found = cellcore::find_header_line(lines, names);
    if (found.line >= 0) {
        const std::size_t columns =
            cellcore::header_fields(lines[static_cast<std::size_t>(found.line)]).size();
        if (columns > kMostColumns)
            throw cellcore::record_error(
                path, "the header (line " + bridge::str(found.line + 1) + ") has " +
                          bridge::str(columns) + " columns, more than any record has");
        return found.line;
    }
    std::string missing;
    bool named_by_map = false;
    for (const std::string& name : found.missing) {
        missing += (missing.empty() ? "" : " or ") + quoted(name);
        named_by_map = named_by_map || mapped(s, name);
    }
    const std::string where = found.closest == 0 ? "in the header"
                                                 : "in any of the first lines (line " +
                                                       bridge::str(found.closest + 1) +
                                                       " comes closest)";
    throw cellcore::record_error(
        path, "no column " + missing + " " + where +
                  (named_by_map ? "; check the names in the \"columns\" setting"
                                : "; the \"columns\" setting maps the record's own "
                                  "names to ours"));
}

py::object read_frame(const std::string& path, long long header) {
    const py::module_ pd = py::module_::import("pandas");
    py::dict options;
    options["header"] = 0;
    options["delimiter"] = ",";
    options["decimal"] = ".";
    options["index_col"] = false; // a trailing comma must not make time the index
    if (header > 0)
        options["skiprows"] = header;
    const QuietReadWarnings quiet;
    try {
        return pd.attr("read_csv")(path, **options);
    } catch (py::error_already_set& e) {
        const std::string reason = bridge::str(e.value());
        if (!e.matches(pd.attr("errors").attr("ParserError")))
            throw cellcore::record_error(path,
                                         "cannot read the record (" + reason + ")");
        // some lines longer than the header, as a trailing comma on only some of them
        // makes them: the header's columns are all there is
        const std::size_t fields =
            cellcore::header_fields(header_search_lines(path)[header]).size();
        // a trailing comma adds a field or two; a line of thousands more is no row of
        // this table, and reading past it would cost a column of memory per field
        const cellcore::WidestLine widest = cellcore::widest_line(path);
        if (widest.fields > fields + kExtraFields)
            throw cellcore::record_error(
                path, "line " + bridge::str(widest.line) + " has " +
                          bridge::str(widest.fields) + " fields where the header has " +
                          bridge::str(fields) + ": it is not a row of the record");
        options["usecols"] = py::module_::import("builtins").attr("range")(fields);
        try {
            return pd.attr("read_csv")(path, **options);
        } catch (py::error_already_set&) {
            throw cellcore::record_error(path,
                                         "cannot read the record (" + reason + ")");
        }
    }
}

py::bool_ has_column(const py::object& df, const std::string& name) {
    return df.attr("columns").attr("__contains__")(name);
}

// The standard names in place of the record's own.
py::object apply_column_map(const std::string& path, py::object df,
                            const RecordSettings& s) {
    if (s.columns.empty())
        return df;
    py::dict rename;
    py::list drop;
    for (const auto& [name, source] : s.columns) {
        if (!has_column(df, source))
            throw cellcore::record_error(path, "no column " + quoted(source) +
                                                   " in the header (the \"columns\" "
                                                   "setting's name for " +
                                                   quoted(name) + ")");
        rename[py::str(source)] = py::str(name);
    }
    // a column that already has a standard name the map gives to another goes
    for (const auto& [name, source] : s.columns)
        if (name != source && !mapped(s, name) && has_column(df, name))
            drop.append(py::str(name));
    return df.attr("drop")(py::arg("columns") = drop)
        .attr("rename")(py::arg("columns") = rename);
}

// One of the time, voltage and current columns as numbers: a numeric column as pandas
// read it, a column with text in it converted cell by cell (text becomes NaN).
struct NumberColumn {
    std::string source; // the record's name, for messages
    std::vector<double> values;
    py::object cells; // the cells as read (an object array) when there was text
};

NumberColumn number_column(const py::object& df, const char* name,
                           const RecordSettings& s) {
    NumberColumn c;
    c.source = source_name(s, name);
    const py::module_ pd = py::module_::import("pandas");
    const py::object column = df[py::str(name)];
    py::object numbers;
    if (pd.attr("api").attr("types").attr("is_numeric_dtype")(column).cast<bool>()) {
        numbers = column.attr("values").attr("astype")(
            py::module_::import("builtins").attr("float"));
    } else {
        c.cells = column.attr("to_numpy")(py::arg("dtype") = py::str("object"));
        numbers = pd.attr("to_numeric")(column, py::arg("errors") = "coerce")
                      .attr("to_numpy")(py::arg("dtype") = py::str("float64"),
                                        py::arg("na_value") = py::float_(NAN));
    }
    const bridge::InArray array = numbers;
    const auto view = bridge::view<double>(array);
    c.values.assign(view.begin(), view.end());
    return c;
}

enum class Cell { number, blank, text };

// A cell that is not a finite number is blank (empty, NaN, inf) or text.
Cell cell_kind(const NumberColumn& c, std::size_t row) {
    const double v = c.values[row];
    if (std::isfinite(v))
        return Cell::number;
    if (std::isinf(v) || !c.cells)
        return Cell::blank;
    const py::object cell = c.cells[py::int_(row)];
    const bool text = py::isinstance<py::str>(cell) &&
                      !py::str(cell.attr("strip")()).cast<std::string>().empty();
    return text ? Cell::text : Cell::blank;
}

// Rows whose three cells are numbers. A row without a number (a note, a repeated header
// line) or with blank cells is no sample and goes; a row with text beside numbers holds
// a sample whose value was damaged, and guessing it would fit something unknown.
std::vector<std::size_t> sample_rows(const std::string& path,
                                     const std::vector<NumberColumn>& cols,
                                     RowLines& line_of, const MessageSink& note) {
    const std::size_t n = cols.front().values.size();
    std::vector<std::size_t> kept;
    kept.reserve(n);
    std::size_t dropped = 0;
    long long first_dropped = -1;
    for (std::size_t r = 0; r < n; ++r) {
        if (std::all_of(cols.begin(), cols.end(), [r](const NumberColumn& c) {
                return std::isfinite(c.values[r]);
            })) {
            kept.push_back(r);
            continue;
        }
        std::vector<Cell> kinds;
        for (const NumberColumn& c : cols)
            kinds.push_back(cell_kind(c, r));
        const bool numbers = std::count(kinds.begin(), kinds.end(), Cell::number) > 0;
        for (std::size_t j = 0; j < cols.size(); ++j)
            if (numbers && kinds[j] == Cell::text)
                throw cellcore::record_error(
                    path, "column " + quoted(cols[j].source) +
                              " is not numeric: line " + bridge::str(line_of(r)) +
                              " holds " +
                              bridge::str(py::repr(cols[j].cells[py::int_(r)])) +
                              " beside numbers");
        if (first_dropped < 0)
            first_dropped = line_of(r);
        ++dropped;
    }
    if (dropped == 0)
        return kept;
    const std::string what = " with a blank or non-numeric time, voltage or current "
                             "(first at line " +
                             bridge::str(first_dropped) + ")";
    if (static_cast<double>(dropped) > kMostBadRowShare * static_cast<double>(n))
        throw cellcore::record_error(
            path, bridge::str(dropped) + " of " + rows_text(n) + what +
                      ": more than 1 % of the record, too many to drop");
    note("warning", path + ": " + rows_text(dropped) + what +
                        (dropped == 1 ? " is" : " are") + " dropped");
    return kept;
}

// Of the sample rows, those whose time rises above the row before: a repeated row or a
// second row at one time stamp goes; time going back is an error.
std::vector<std::size_t> increasing_rows(const std::string& path,
                                         const std::vector<std::size_t>& rows,
                                         const NumberColumn& time, RowLines& line_of,
                                         const MessageSink& note) {
    std::vector<double> time_s(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k)
        time_s[k] = time.values[rows[k]];
    const cellcore::TimeOrder order = cellcore::increasing_time_rows(time_s);
    if (order.backwards_row >= 0) {
        const auto back = static_cast<std::size_t>(order.backwards_row);
        const auto before =
            std::lower_bound(order.kept.begin(), order.kept.end(), back);
        throw cellcore::record_error(
            path, "time goes backwards at line " + bridge::str(line_of(rows[back])) +
                      ": " + quoted(time.source) + " is " + bridge::str(time_s[back]) +
                      " after " + bridge::str(time_s[*(before - 1)]));
    }
    std::vector<std::size_t> kept(order.kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k)
        kept[k] = rows[order.kept[k]];
    if (order.repeated > 0) {
        std::size_t first = 0;
        while (first < order.kept.size() && order.kept[first] == first)
            ++first;
        note("warning", path + ": " + rows_text(order.repeated) +
                            " repeating the time of the row before (first at line " +
                            bridge::str(line_of(rows[first])) + ")" +
                            (order.repeated == 1 ? " is" : " are") + " dropped");
    }
    return kept;
}

std::vector<double> take(const std::vector<double>& values,
                         const std::vector<std::size_t>& rows) {
    std::vector<double> out(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k)
        out[k] = values[rows[k]];
    return out;
}

// Arbin's exports name voltage and current as we do, time "Test_Time(s)", and carry
// the step clock ("Step_Time(s)", "Step_Index") and auxiliary temperatures; a record
// with that header and no "Seconds" is read by those names unless the settings map
// them otherwise.
RecordSettings with_cycler_layout(const std::string& path, RecordSettings s,
                                  const MessageSink& note) {
    if (s.columns.count(kTimeColumn) != 0)
        return s;
    for (const std::string& line : header_search_lines(path)) {
        const std::vector<std::string> fields = cellcore::header_fields(line);
        const auto has = [&](const std::string& name) {
            return std::find(fields.begin(), fields.end(), name) != fields.end();
        };
        if (has(kTimeColumn) || !has("Test_Time(s)") || !has(kVoltageColumn) ||
            !has(kCurrentColumn))
            continue;
        std::string found = "time from \"Test_Time(s)\"";
        s.columns[kTimeColumn] = "Test_Time(s)";
        for (const char* name : {kStepTimeColumn, kStepIndexColumn})
            if (has(name) && s.columns.count(name) == 0) {
                s.columns[name] = name;
                found += std::string(", ") +
                         (name == kStepTimeColumn ? "the step clock from \""
                                                  : "step numbers from \"") +
                         name + "\"";
            }
        const auto temperature =
            std::find_if(fields.begin(), fields.end(), [](auto& f) {
                return f.rfind("Aux_Temperature", 0) == 0 &&
                       f.find("dT/dt") == std::string::npos;
            });
        if (temperature != fields.end() && s.columns.count(kTemperatureColumn) == 0 &&
            !has(kTemperatureColumn)) {
            s.columns[kTemperatureColumn] = *temperature;
            found += ", temperature from \"" + *temperature + "\"";
        }
        note("info", path + ": an Arbin export: " + found);
        return s;
    }
    return s;
}

// A time column written as a clock ("1:02:03.5"): read as such when the settings say
// so, or when every cell that is not blank reads as one.
void read_clock_times(const std::string& path, NumberColumn& time, TimeFormat format,
                      RowLines& line_of, const MessageSink& note) {
    if (format == TimeFormat::seconds || !time.cells)
        return;
    const std::size_t n = time.values.size();
    std::vector<double> seconds(n, NAN);
    std::size_t cells = 0, clocks = 0;
    long long first_bad = -1;
    for (std::size_t r = 0; r < n; ++r) {
        const py::object cell = time.cells[py::int_(r)];
        if (!py::isinstance<py::str>(cell))
            continue;
        const std::string text = cell.cast<std::string>();
        if (text.find_first_not_of(" \t") == std::string::npos)
            continue;
        ++cells;
        seconds[r] = cellcore::clock_seconds(text);
        if (std::isfinite(seconds[r]))
            ++clocks;
        else if (first_bad < 0)
            first_bad = static_cast<long long>(r);
    }
    if (format == TimeFormat::automatic && (clocks == 0 || clocks < cells))
        return; // not clock texts: the usual checks say what the column holds
    if (first_bad >= 0)
        throw cellcore::record_error(
            path,
            "column " + quoted(time.source) + " is not a clock time (h:mm:ss): line " +
                bridge::str(line_of(static_cast<std::size_t>(first_bad))) + " holds " +
                bridge::str(py::repr(time.cells[py::int_(first_bad)])));
    time.values = seconds;
    time.cells = py::object(); // blank cells stay blank; there is no text left
    if (format == TimeFormat::automatic)
        note("info", path + ": column " + quoted(time.source) +
                         " holds clock times (h:mm:ss), read as seconds");
}

// The cycler's step clock of the kept rows, where the record has one: a clock with a
// cell that is not a number is no clock (said in a warning).
cellcore::StepClock step_clock(const std::string& path, const py::object& df,
                               const RecordSettings& s,
                               const std::vector<std::size_t>& rows,
                               const MessageSink& note) {
    cellcore::StepClock clock;
    if (!has_column(df, kStepTimeColumn))
        return clock;
    clock.step_time_s = take(number_column(df, kStepTimeColumn, s).values, rows);
    if (has_column(df, kStepIndexColumn))
        clock.step_index = take(number_column(df, kStepIndexColumn, s).values, rows);
    for (const std::vector<double>* column : {&clock.step_time_s, &clock.step_index})
        if (!std::all_of(column->begin(), column->end(),
                         [](double x) { return std::isfinite(x); })) {
            note("warning", path + ": column " +
                                quoted(source_name(s, column == &clock.step_time_s
                                                          ? kStepTimeColumn
                                                          : kStepIndexColumn)) +
                                " has cells that are not numbers; the step clock is "
                                "not used");
            return {};
        }
    return clock;
}

// No cell, no instrument: a voltage of kilovolts, a current of 100 kA or a record
// spanning decades is a broken export or a wrong column, and the numbers downstream
// would overflow rather than say so.
void check_magnitudes(const std::string& path, const RecordTable& t,
                      const std::vector<std::size_t>& rows, RowLines& line_of) {
    const auto check = [&](const std::vector<double>& values, double limit,
                           const char* name, const char* unit) {
        for (std::size_t k = 0; k < values.size(); ++k)
            if (std::fabs(values[k]) > limit)
                throw cellcore::record_error(
                    path, std::string("line ") + bridge::str(line_of(rows[k])) +
                              ": a " + name + " of " + bridge::str(values[k]) + " " +
                              unit + " is beyond any cell's");
    };
    check(t.voltage_v, cellcore::kLargestVoltage_v, "voltage", "V");
    check(t.current_a, cellcore::kLargestCurrent_a, "current", "A");
    if (t.time_s.size() >= 2 &&
        t.time_s.back() - t.time_s.front() > cellcore::kLongestRecord_s)
        throw cellcore::record_error(
            path, "the record spans " +
                      bridge::str(t.time_s.back() - t.time_s.front()) +
                      " s, more than 30 years: is the time column in seconds?");
}

} // namespace

RecordTable read_record_table(const std::string& path, const RecordSettings& given,
                              const MessageSink& note) {
    const RecordSettings settings = with_cycler_layout(path, given, note);
    const long long header = header_line(path, settings);
    py::object df = apply_column_map(path, read_frame(path, header), settings);
    // a current profile without voltages: its rows are judged by time and current
    const bool no_voltage =
        settings.voltage_optional && !has_column(df, kVoltageColumn);
    for (const char* name : {kTimeColumn, kVoltageColumn, kCurrentColumn})
        if (!has_column(df, name) && !(no_voltage && name == kVoltageColumn))
            throw cellcore::record_error(path, "no column " +
                                                   quoted(source_name(settings, name)) +
                                                   " in the header");
    NumberColumn time = number_column(df, kTimeColumn, settings);
    NumberColumn voltage{kVoltageColumn, std::vector<double>(time.values.size(), 0.0)};
    if (!no_voltage)
        voltage = number_column(df, kVoltageColumn, settings);
    std::vector<NumberColumn> cols = {std::move(time), std::move(voltage),
                                      number_column(df, kCurrentColumn, settings)};
    const std::size_t n = cols.front().values.size();
    RowLines line_of(path, header, n);
    read_clock_times(path, cols[0], settings.time_format, line_of, note);
    const std::vector<std::size_t> rows = increasing_rows(
        path, sample_rows(path, cols, line_of, note), cols[0], line_of, note);

    RecordTable table;
    table.time_s = take(cols[0].values, rows);
    table.voltage_v = take(cols[1].values, rows);
    table.current_a = take(cols[2].values, rows);
    if (no_voltage)
        table.voltage_v.assign(rows.size(), std::nan(""));
    table.clock = step_clock(path, df, settings, rows, note);
    check_magnitudes(path, table, rows, line_of);
    if (rows.size() != n)
        df = df.attr("iloc")[bridge::to_numpy(
                                 std::vector<long long>(rows.begin(), rows.end()))]
                 .attr("reset_index")(py::arg("drop") = true);
    if (settings.current_in_ma)
        for (double& i : table.current_a)
            i /= 1000.0;
    if (settings.discharge_positive) {
        // 0.0 - i: the sign flips and a rest current of 0.0 stays 0.0, not -0.0
        for (double& i : table.current_a)
            i = 0.0 - i;
        py::dict current;
        current[py::str(kCurrentColumn)] = bridge::to_numpy(table.current_a);
        df = df.attr("assign")(**current);
    }
    table.frame = df;
    table.temperature = has_column(df, kTemperatureColumn)
                            ? py::object(df[py::str(kTemperatureColumn)])
                            : py::object(py::none());
    return table;
}

void RecordTable::keep_rows(std::size_t begin, std::size_t end) {
    for (std::vector<double>* column : {&time_s, &voltage_v, &current_a}) {
        column->resize(std::min(end, column->size()));
        column->erase(column->begin(),
                      column->begin() + static_cast<long>(std::min(begin, end)));
    }
    std::vector<std::size_t> kept;
    for (std::size_t k = begin; k < end; ++k)
        kept.push_back(k);
    if (!clock.empty())
        clock = clock.rows(kept);
}

py::object median_temperature(const py::object& column) {
    if (column.is_none())
        return py::none();
    const py::module_ np = py::module_::import("numpy");
    try {
        const py::object temps = column.attr("values").attr("astype")(
            py::module_::import("builtins").attr("float"));
        const py::object median = np.attr("median")(temps);
        if (!std::isfinite(median.cast<double>()))
            return py::none();
        return py::int_(np.attr("round")(median, 0));
    } catch (py::error_already_set&) {
        return py::none();
    }
}

} // namespace records
