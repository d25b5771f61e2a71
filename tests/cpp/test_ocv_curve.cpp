// The OCV curve at the edges of its input: a state of charge that is not a number
// (an SOC counted over a record with a NaN current, say) must give NaN, never a value
// read from beyond the curve's points.
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/engine/ocv_curve.hpp"

using cellcore::OcvCurve;

TEST(nan_soc_gives_nan_ocv) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const OcvCurve one({0.5}, {3.7}), three({0.0, 0.5, 1.0}, {3.3, 3.7, 4.1});
    CHECK(std::isnan(one(nan)));
    CHECK(std::isnan(three(nan)));
    CHECK(std::isnan(three(-nan)));
    // infinities follow the end segments' lines
    CHECK(three(std::numeric_limits<double>::infinity()) > 4.1);
    CHECK(three(-std::numeric_limits<double>::infinity()) < 3.3);
}
