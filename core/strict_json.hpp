// Numbers and number lists as strict JSON, which has no words for NaN or infinity: a
// non-finite value is written as null, so that any JSON reader loads the file (Python's
// json module would accept NaN, most others would not). Finite values are written as
// the interpreter's repr, which reads back to the same double.
#pragma once

#include <string>
#include <vector>

#include "core/span.hpp"

namespace cellcore {

/// repr(x) for a finite x ("0.03", "1e-05", "25.0"); "null" for NaN and infinities.
std::string strict_json_number(double x);

/// "[a, b, c]" with each element as strict_json_number; "[]" when empty.
std::string strict_json_array(Span<const double> values);

/// Rows of equal or unequal length as "[\n[..],\n[..]\n]", one row a line.
std::string strict_json_rows(const std::vector<std::vector<double>>& rows);

} // namespace cellcore
