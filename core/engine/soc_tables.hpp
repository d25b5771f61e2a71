// Parameter tables over state of charge and temperature: what simulation tools load as
// look-up tables, where battery_model.json holds one set of medians per temperature.
// Each record gives its OCV curve where it rested and its fitted pulses, discharge and
// charge apart, since a cell's resistances differ between the two directions. Between
// pulses the parameters are interpolated linearly; beyond the outermost pulse the end
// value holds for a short reach, and further out a table has no value (NaN), so that
// users see where the measurements end instead of an extrapolation nobody measured.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "core/circuit_parameters.hpp"
#include "core/pulse_table.hpp"
#include "core/span.hpp"

namespace cellcore {

/// One record's results at its temperature.
struct RecordResults {
    double temp_c = 0.0;
    double capacity_ah = 0.0;    ///< charge drawn to the cut-off; SOC counts against it
    std::vector<double> ocv_soc; ///< the OCV curve's SOC axis, either order
    std::vector<double> ocv_v;   ///< OCV (V) at each axis point, same length
    std::vector<PulseRow> pulses; ///< the record's pulses table, as written
    std::vector<double>
        rest_soc; ///< SOC of the OCV curve's rested points; may be empty
};

struct TableSettings {
    std::vector<double> soc;  ///< the tables' SOC grid, ascending
    double reach_soc = 0.05;  ///< how far beyond the outermost pulse its values hold
    std::size_t rc_pairs = 1; ///< 1 or 2: R0, R1, C1 get tables, and R2, C2 with 2
};

/// values[i][j]: the value at soc[i] and temps_c[j]; NaN where nothing was measured.
using SocTempTable = std::vector<std::vector<double>>;

struct SocTables {
    std::vector<double> soc;
    std::vector<double> temps_c;     ///< ascending, one per distinct temperature
    std::vector<double> capacity_ah; ///< per temperature
    /// Per temperature, the SOC range the rests span: [lowest, highest] over the OCV
    /// curve's rested points and the pulses' start and end SOCs, within 0..1; NaN, NaN
    /// for a record with neither.
    std::vector<std::array<double, 2>> rested_soc;
    SocTempTable ocv_v; ///< the record's curve inside rested_soc, non-decreasing in SOC
    std::vector<SocTempTable> discharge; ///< one table per circuit parameter, R0 first
    std::vector<SocTempTable> charge;
};

/// The value at each grid point from the pulses at pulse_soc (any order, equal SOCs
/// averaged; NaN values skipped): linear between the lowest and highest pulse, the end
/// value within reach_soc beyond them, NaN further out and everywhere without pulses.
/// pulse_soc and values have one length; the result has the grid's.
std::vector<double> near_pulse_values(Span<const double> pulse_soc,
                                      Span<const double> values,
                                      Span<const double> grid, double reach_soc);

/// The least-squares non-decreasing sequence closest to values (pool adjacent
/// violators, equal weights). NaN entries stay NaN and are left out of the fit.
std::vector<double> nondecreasing_fit(Span<const double> values);

/// The tables of the records, temperatures ascending. A later record at the same
/// temperature (compared as numbers) replaces an earlier one, as in battery_model.json.
SocTables build_soc_tables(const std::vector<RecordResults>& records,
                           const TableSettings& settings);

} // namespace cellcore
