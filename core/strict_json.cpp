// Strict JSON number texts on top of the interpreter-exact float texts of number_text.
#include "core/strict_json.hpp"

#include "core/number_text.hpp"

#include <cmath>

namespace cellcore {

std::string strict_json_number(double x) {
    return std::isfinite(x) ? float_repr(x) : "null";
}

std::string strict_json_array(Span<const double> values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += strict_json_number(values[i]);
    }
    return out + "]";
}

std::string strict_json_rows(const std::vector<std::vector<double>>& rows) {
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i)
        out += (i > 0 ? ",\n" : "\n") + strict_json_array(rows[i]);
    return out + (rows.empty() ? "]" : "\n]");
}

} // namespace cellcore
