// The open-circuit voltage over state of charge, through the rested voltages of a
// record. A monotone piecewise cubic (Fritsch-Carlson) follows the points without the
// overshoot a cubic spline shows between unevenly spaced points at the low-SOC knee,
// and beyond the outermost points it continues along the end segments' straight
// lines.
#pragma once

#include <vector>

namespace cellcore {

/// A point of the OCV curve: the rested voltage at the last sample of a long rest, or,
/// where the record never rests (below its lowest rest, down to the cut-off), a loaded
/// voltage less the fitted circuit's drop (`loaded`).
struct OcvPoint {
    std::size_t sample = 0;
    double time_s = 0.0, soc = 0.0, ocv_v = 0.0;
    bool loaded = false;
};

class OcvCurve {
  public:
    OcvCurve() = default;
    /// Points in any order; SOC values closer than 1e-9 count as one (the later point
    /// wins). Throws std::invalid_argument when there is no point or one is not finite.
    OcvCurve(const std::vector<double>& soc, const std::vector<double>& ocv_v);

    /// OCV (V) at soc; NaN for a NaN soc.
    double operator()(double soc) const;
    bool empty() const { return soc_.empty(); }
    const std::vector<double>& soc() const { return soc_; }
    const std::vector<double>& ocv_v() const { return ocv_; }
    double min_soc() const { return soc_.front(); }
    double max_soc() const { return soc_.back(); }

  private:
    std::vector<double> soc_, ocv_, slope_; ///< ascending SOC, slopes dV/dSOC at points
};

} // namespace cellcore
