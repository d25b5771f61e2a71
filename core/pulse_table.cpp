#include "core/pulse_table.hpp"

#include <cmath>

#include "core/number_text.hpp"

namespace cellcore {
namespace {

std::string cell(double x) { return std::isfinite(x) ? float_repr(x) : std::string(); }

} // namespace

const char* const kPulseTableHeader =
    "pulse,kind,start_s,duration_s,current_A,soc,R0,R1,C1,R2,C2,rms_mV,R0_se,R1_se,"
    "C1_se,R2_se,C2_se,flags,R_1s,R_10s,R_end";

std::string pulse_table_csv(const std::vector<PulseRow>& rows) {
    std::string text = std::string(kPulseTableHeader) + "\n";
    for (const PulseRow& r : rows) {
        text += std::to_string(r.pulse) + "," + r.kind;
        for (double x : {r.start_s, r.duration_s, r.current_a, r.soc})
            text += "," + cell(x);
        for (double x : r.params)
            text += "," + cell(x);
        text += "," + cell(r.rms_mv);
        for (double x : r.std_error)
            text += "," + cell(x);
        text += "," + r.flags;
        for (double x :
             {r.measured.r_1s_ohm, r.measured.r_10s_ohm, r.measured.r_end_ohm})
            text += "," + cell(x);
        text += "\n";
    }
    return text;
}

std::string ocv_points_csv(const std::vector<double>& time_s,
                           const std::vector<double>& soc,
                           const std::vector<double>& ocv_v,
                           const std::vector<bool>& loaded) {
    std::string text = "time_s,soc,ocv_V,source\n";
    for (std::size_t k = 0; k < time_s.size(); ++k)
        text += cell(time_s[k]) + "," + cell(soc[k]) + "," + cell(ocv_v[k]) + "," +
                (loaded[k] ? "corrected load" : "rest") + "\n";
    return text;
}

std::string bound_flags(const std::array<double, kCircuitParameters>& params) {
    std::string flags;
    for (std::size_t c = 0; c < params.size(); ++c)
        if (on_bound(params[c]))
            flags += (flags.empty() ? "" : ";") + std::string(kCircuitNames[c]) +
                     "_at_bound";
    return flags;
}

bool fit_to_check(const PulseRow& row) {
    const std::string& flags = row.flags;
    const std::string bound = "_at_bound";
    std::size_t start = 0;
    while (start <= flags.size()) {
        std::size_t end = flags.find(';', start);
        if (end == std::string::npos)
            end = flags.size();
        const std::string tag = flags.substr(start, end - start);
        if (tag == "not_converged" ||
            (tag.size() > bound.size() &&
             tag.compare(tag.size() - bound.size(), bound.size(), bound) == 0))
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace cellcore
