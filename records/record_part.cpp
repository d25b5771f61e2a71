// The part of a record the pipeline fits. A test may open with a charge to full, which
// is not part of the discharge; a whole cycler export may hold a capacity check before
// the pulse test and a recharge and a second series after it. The user may name the
// part with the "section" setting; otherwise the first pulse test is taken, and what
// was left out, and from when, is said.
#include <cmath>
#include <stdexcept>

#include "bridge/python_text.hpp"
#include "core/engine/test_parts.hpp"
#include "core/record_rows.hpp"
#include "records/record_table.hpp"

namespace records {
namespace {

// A test that opens with a charge (to full, before the first rest) is not part of the
// discharge: counted in, it makes the SOC axis and the capacity those of a cell that
// was never full. The record is taken from the rest after the charge, when a rest does
// follow it (a positive offset of the rest current is no charge) and the record
// discharges after it (a record whose sign is reversed is left to the sign check).
void drop_leading_charge(const std::string& path, RecordTable& table,
                         const MessageSink& note) {
    const cellcore::Span<const double> current(table.current_a);
    const double rest_a = cellcore::rest_current_limit_a(current);
    const long long start = cellcore::rest_after_leading_charge(current, rest_a);
    const auto k = static_cast<std::size_t>(start);
    if (start <= 0 || k == current.size() || std::fabs(current[k]) > rest_a)
        return;
    const cellcore::Span<const double> after_t(table.time_s.data() + k,
                                               table.time_s.size() - k);
    const cellcore::Span<const double> after_i(table.current_a.data() + k,
                                               table.current_a.size() - k);
    if (!cellcore::current_balance(after_t, after_i, rest_a).discharges)
        return;
    note("warning",
         path + ": the record opens with a charge; its first " + bridge::str(k) +
             " rows (" + bridge::str(table.time_s[k] - table.time_s[0]) +
             " s) are dropped and the record is taken from the rest after it");
    table.keep_rows(k, table.time_s.size());
}

void keep_section(const std::string& path, RecordTable& table, const Section& section,
                  const MessageSink& note) {
    const bool by_time = section.by == Section::By::time;
    if (!by_time && table.clock.step_index.empty())
        throw cellcore::record_error(
            path, "the \"section\" setting selects by step index, but the record has "
                  "no \"Step_Index\" column (map the record's own with \"columns\")");
    cellcore::RowRange rows;
    try {
        rows = cellcore::rows_in_range(by_time ? table.time_s : table.clock.step_index,
                                       section.from, section.to);
    } catch (const std::invalid_argument& e) {
        throw cellcore::record_error(path, std::string("the \"section\" setting: ") +
                                               e.what() +
                                               (by_time ? " s" : " of the step index"));
    }
    note("info", path +
                     ": the section from t = " + bridge::str(table.time_s[rows.begin]) +
                     " s to t = " + bridge::str(table.time_s[rows.end - 1]) +
                     " s is fitted, as the \"section\" setting says");
    table.keep_rows(rows.begin, rows.end);
}

std::string time_range(double from_s, double to_s) {
    return "t = " + bridge::str(from_s) + " to " + bridge::str(to_s) + " s";
}

} // namespace

void choose_test_rows(const std::string& path, RecordTable& table,
                      const RecordSettings& settings, double cutoff_v,
                      const MessageSink& note) {
    if (settings.section.by != Section::By::pulse_test) {
        keep_section(path, table, settings.section, note);
        drop_leading_charge(path, table, note);
        return;
    }
    drop_leading_charge(path, table, note);
    const std::vector<double>& t = table.time_s;
    if (t.size() < 2)
        return; // too short to judge: the stages say what is wrong
    cellcore::PulseTestPart part;
    try {
        part =
            cellcore::find_pulse_test(t, table.voltage_v, table.current_a, cutoff_v,
                                      cellcore::rest_current_limit_a(table.current_a));
    } catch (const std::invalid_argument& e) {
        throw cellcore::record_error(path, e.what());
    }
    for (const cellcore::CapacityCheck& c : part.capacity_checks)
        note("info", path + ": a capacity check before the pulse test, not fitted: " +
                         bridge::str(std::round(c.charge_ah * 10000) / 10000) +
                         " Ah at " +
                         bridge::str(std::round(c.current_a * 1000) / 1000) +
                         " A to the cut-off (" + time_range(c.begin_s, c.end_s) + ")");
    std::string left_out;
    if (part.begin > 0)
        left_out = "the rows before it (" + time_range(t.front(), t[part.begin]) +
                   (part.capacity_checks.empty() ? "" : ", with the capacity check") +
                   ")";
    if (part.recharged_after)
        left_out += (left_out.empty() ? "" : "; ") +
                    std::string("after the cut-off, a recharge and what follows (") +
                    time_range(t[part.end - 1], t.back()) + ")";
    if (!left_out.empty())
        note("warning",
             path + ": the pulse test from t = " + bridge::str(t[part.begin]) + " s" +
                 (part.crossed
                      ? " to the cut-off at t = " + bridge::str(t[part.end - 1]) + " s"
                      : std::string()) +
                 " is fitted; left out: " + left_out +
                 ". The \"section\" setting chooses another part");
    table.keep_rows(part.begin, part.end);
}

} // namespace records
