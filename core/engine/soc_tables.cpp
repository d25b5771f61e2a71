// Building the tables: per record, the OCV curve is cut to the SOC range its rests span
// and made non-decreasing, and each circuit parameter of its unflagged pulses is spread
// over the grid by the near rule, discharge and charge pulses apart. The rests a record
// holds are those before and after its pulses, so the pulses' start and end SOCs mark
// where its OCV was measured; outside, the curve is the extraction's extrapolation.
#include "core/engine/soc_tables.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

namespace cellcore {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Grid points and SOCs come from sums of decimal steps: a point this close to an edge
// is on it.
constexpr double kSocTolerance = 1e-9;

struct Point {
    double soc;
    double value;
};

// Finite points sorted by SOC, points of one SOC merged into their mean.
std::vector<Point> merged_points(Span<const double> soc, Span<const double> values) {
    std::vector<Point> points;
    for (std::size_t i = 0; i < soc.size(); ++i)
        if (std::isfinite(soc[i]) && std::isfinite(values[i]))
            points.push_back({soc[i], values[i]});
    std::sort(points.begin(), points.end(),
              [](const Point& a, const Point& b) { return a.soc < b.soc; });
    std::vector<Point> merged;
    std::size_t count = 0;
    for (const Point& p : points) {
        if (!merged.empty() && p.soc == merged.back().soc) {
            ++count;
            merged.back().value += (p.value - merged.back().value) / double(count);
        } else {
            merged.push_back(p);
            count = 1;
        }
    }
    return merged;
}

// Linear interpolation in ascending points; x within [front, back].
double interpolate(const std::vector<Point>& points, double x) {
    const auto upper =
        std::upper_bound(points.begin(), points.end(), x,
                         [](double s, const Point& p) { return s < p.soc; });
    if (upper == points.end())
        return points.back().value;
    if (upper == points.begin())
        return points.front().value;
    const Point& a = *(upper - 1);
    const Point& b = *upper;
    return a.value + (b.value - a.value) * (x - a.soc) / (b.soc - a.soc);
}

// The SOC range the record's rests span: every pulse starts after a rest and is
// followed by one, which lies lower by the charge the pulse drew.
std::array<double, 2> rested_range(const RecordResults& r) {
    double lo = kNaN, hi = kNaN;
    auto take = [&](double s) {
        if (!std::isfinite(s))
            return;
        lo = std::isnan(lo) ? s : std::min(lo, s);
        hi = std::isnan(hi) ? s : std::max(hi, s);
    };
    for (const double s : r.rest_soc)
        take(s);
    for (const PulseRow& p : r.pulses) {
        double end = p.soc;
        if (r.capacity_ah > 0 && std::isfinite(r.capacity_ah) &&
            std::isfinite(p.current_a) && std::isfinite(p.duration_s))
            end += p.current_a * p.duration_s / 3600.0 / r.capacity_ah;
        take(p.soc);
        take(end);
    }
    if (std::isnan(lo))
        return {kNaN, kNaN};
    return {std::clamp(lo, 0.0, 1.0), std::clamp(hi, 0.0, 1.0)};
}

std::vector<double> rested_ocv(const RecordResults& r, std::array<double, 2> range,
                               Span<const double> grid) {
    const std::vector<Point> curve = merged_points(r.ocv_soc, r.ocv_v);
    std::vector<double> out(grid.size(), kNaN);
    if (curve.empty() || std::isnan(range[0]))
        return out;
    const double lo = std::max(range[0], curve.front().soc) - kSocTolerance;
    const double hi = std::min(range[1], curve.back().soc) + kSocTolerance;
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (grid[i] >= lo && grid[i] <= hi)
            out[i] = interpolate(curve, grid[i]);
    return nondecreasing_fit(out);
}

// One column per circuit parameter: the pulses of one kind, flagged ones left out.
std::vector<std::vector<double>> pulse_columns(const RecordResults& r, PulseKind kind,
                                               std::size_t parameters,
                                               Span<const double> grid,
                                               double reach_soc) {
    std::vector<double> soc;
    std::vector<std::vector<double>> values(parameters);
    for (const PulseRow& p : r.pulses) {
        if (p.kind != kind || fit_to_check(p))
            continue;
        soc.push_back(p.soc);
        for (std::size_t k = 0; k < parameters; ++k)
            values[k].push_back(p.params[k]);
    }
    std::vector<std::vector<double>> columns;
    for (std::size_t k = 0; k < parameters; ++k)
        columns.push_back(near_pulse_values(soc, values[k], grid, reach_soc));
    return columns;
}

SocTempTable empty_table(std::size_t rows, std::size_t columns) {
    return SocTempTable(rows, std::vector<double>(columns, kNaN));
}

void set_column(SocTempTable& table, std::size_t j, const std::vector<double>& column) {
    for (std::size_t i = 0; i < column.size(); ++i)
        table[i][j] = column[i];
}

} // namespace

std::vector<double> near_pulse_values(Span<const double> pulse_soc,
                                      Span<const double> values,
                                      Span<const double> grid, double reach_soc) {
    const std::vector<Point> points = merged_points(pulse_soc, values);
    std::vector<double> out(grid.size(), kNaN);
    if (points.empty())
        return out;
    const double first = points.front().soc, last = points.back().soc;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        const double s = grid[i];
        if (s >= first && s <= last)
            out[i] = interpolate(points, s);
        else if (s < first && first - s <= reach_soc + kSocTolerance)
            out[i] = points.front().value;
        else if (s > last && s - last <= reach_soc + kSocTolerance)
            out[i] = points.back().value;
    }
    return out;
}

std::vector<double> nondecreasing_fit(Span<const double> values) {
    // Blocks of pooled values: their mean and how many values they hold. A new value
    // below the last block's mean merges into it until the means rise again.
    std::vector<std::pair<double, std::size_t>> blocks;
    for (const double v : values) {
        if (std::isnan(v))
            continue;
        blocks.emplace_back(v, 1);
        while (blocks.size() > 1 &&
               blocks[blocks.size() - 2].first > blocks.back().first) {
            const auto top = blocks.back();
            blocks.pop_back();
            auto& below = blocks.back();
            const double n = double(below.second + top.second);
            below.first =
                (below.first * double(below.second) + top.first * double(top.second)) /
                n;
            below.second += top.second;
        }
    }
    std::vector<double> out(values.begin(), values.end());
    std::size_t b = 0, used = 0;
    for (double& v : out) {
        if (std::isnan(v))
            continue;
        v = blocks[b].first;
        if (++used == blocks[b].second) {
            ++b;
            used = 0;
        }
    }
    return out;
}

SocTables build_soc_tables(const std::vector<RecordResults>& records,
                           const TableSettings& settings) {
    // double keys compare as numbers and come out ascending; a later record wins
    std::map<double, const RecordResults*> by_temp;
    for (const RecordResults& r : records)
        by_temp[r.temp_c] = &r;

    const std::size_t rows = settings.soc.size(), columns = by_temp.size();
    const std::size_t parameters = settings.rc_pairs == 2 ? 5 : 3;
    SocTables t;
    t.soc = settings.soc;
    t.ocv_v = empty_table(rows, columns);
    t.discharge.assign(parameters, empty_table(rows, columns));
    t.charge.assign(parameters, empty_table(rows, columns));
    std::size_t j = 0;
    for (const auto& [temp_c, record] : by_temp) {
        t.temps_c.push_back(temp_c);
        t.capacity_ah.push_back(record->capacity_ah);
        t.rested_soc.push_back(rested_range(*record));
        set_column(t.ocv_v, j, rested_ocv(*record, t.rested_soc.back(), t.soc));
        for (const PulseKind kind : {PulseKind::discharge, PulseKind::charge}) {
            auto& tables = kind == PulseKind::discharge ? t.discharge : t.charge;
            const auto cols =
                pulse_columns(*record, kind, parameters, t.soc, settings.reach_soc);
            for (std::size_t k = 0; k < parameters; ++k)
                set_column(tables[k], j, cols[k]);
        }
        ++j;
    }
    return t;
}

} // namespace cellcore
