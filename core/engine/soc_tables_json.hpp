// The text of battery_tables.json: strict JSON (null where a table has no value), one
// entry or table row a line so that the file reads and diffs well. Tables are written
// SOC-major, values[i][j] at soc[i] and temps[j], the layout look-up table readers
// (PyBaMM's Interpolant among them) take.
#pragma once

#include <array>
#include <string>

#include "core/engine/soc_tables.hpp"

namespace cellcore {

/// {"soc", "temps", "capacity_ah", "voltage_limits", "rested_soc", "ocv",
/// "discharge": {"R0", ...}, "charge": {...}} as strict JSON. voltage_limits_v holds
/// the records' low and high cut-off (V).
std::string soc_tables_json(const SocTables& tables,
                            std::array<double, 2> voltage_limits_v);

} // namespace cellcore
