// A pulse test as the cycler ran it: rests and constant-current steps of either sign.
// Cyclers log the instant of a step change imperfectly: a row at the step instant
// that still carries the old current while the voltage has already moved (a
// transition row), or a row whose current already reads the new value while the
// voltage still shows the old load (a lagging row). Both are recognised from the
// voltage and moved to the step they belong to, and each step change is placed in
// time where the voltage says it happened, so that simulated and measured voltages
// line up sample for sample.
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "core/engine/step_changes.hpp"
#include "core/span.hpp"

namespace cellcore {

enum class StepKind { rest, discharge_pulse, charge_pulse, discharge, charge };

/// "rest", "discharge pulse", "charge pulse", "discharge" (a long one, an SOC step),
/// "charge" (a long one, a charge phase).
const char* step_kind_name(StepKind kind);

/// Samples [begin, end) of one step. The step starts at start_s, the step change: where
/// the cycler's step clock or its logging intervals place it (logged_start), else just
/// before its first sample, or just after the previous step's last sample when that
/// row lagged. It ends where the next one starts, or at its last sample.
/// Rows [begin, end) of a record.
struct RowRange {
    std::size_t begin = 0, end = 0;
};

struct Step {
    std::size_t begin = 0, end = 0;
    StepKind kind = StepKind::rest;
    double start_s = 0.0, end_s = 0.0;
    bool logged_start = false;
    double mean_current_a = 0.0; ///< 0 for rests
    double duration_s() const { return end_s - start_s; }
    bool is_load() const { return kind != StepKind::rest; }
    bool is_pulse() const {
        return kind == StepKind::discharge_pulse || kind == StepKind::charge_pulse;
    }
};

struct SegmentationOptions {
    double rest_limit_a = -1.0; ///< |I| at or below is rest; < 0: from the record
    /// Longer load steps are SOC steps or charge phases; by default a pulse may last
    /// any time (GITT's minutes as HPPC's seconds), told from the SOC steps by length.
    double pulse_max_s = std::numeric_limits<double>::infinity();
    double level_change = 0.2;   ///< relative current change that starts a new step
    double quirk_fraction = 0.8; ///< share of a step's voltage jump that marks a quirk
    double quirk_min_v = 0.003;  ///< smallest voltage jump (V) read as a step
};

/// The steps of a record and the current with logger quirks mended: a transition row
/// carries the new step's current, a lagging row the old one's.
struct Segmentation {
    std::vector<Step> steps;
    std::vector<double> current_a; ///< per sample, quirks mended
    std::vector<long long> quirks; ///< samples whose current was mended
    double rest_limit_a = 0.0;
    std::size_t count(StepKind kind) const;
};

/// Splits a record (time strictly increasing, all finite) into steps; clock is the
/// cycler's step clock of the same rows, or empty. Throws std::invalid_argument on
/// unequal lengths or fewer than 2 samples.
Segmentation segment_record(Span<const double> time_s, Span<const double> voltage_v,
                            Span<const double> current_a,
                            const SegmentationOptions& options = {},
                            const StepClock& clock = {});

} // namespace cellcore
