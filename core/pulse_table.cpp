#include "core/pulse_table.hpp"

#include <cmath>

#include "core/number_text.hpp"

namespace cellcore {
namespace {

std::string cell(double x) { return std::isfinite(x) ? float_repr(x) : std::string(); }

constexpr const char* kFlagTags[] = {"R0_at_bound", "R1_at_bound",   "C1_at_bound",
                                     "R2_at_bound", "C2_at_bound",   "not_converged",
                                     "R0_at_step",  "tau1_at_limit", "tau2_at_limit"};
constexpr unsigned kFlagCount = sizeof(kFlagTags) / sizeof(kFlagTags[0]);

} // namespace

const char* const kPulseTableHeader =
    "pulse,kind,start_s,duration_s,current_A,soc,R0,R1,C1,R2,C2,rms_mV,R0_se,R1_se,"
    "C1_se,R2_se,C2_se,flags,R_1s,R_10s,R_end";

std::string pulse_table_csv(const std::vector<PulseRow>& rows) {
    std::string text = std::string(kPulseTableHeader) + "\n";
    for (const PulseRow& r : rows) {
        text += std::to_string(r.pulse) + "," + pulse_kind_name(r.kind);
        for (double x : {r.start_s, r.duration_s, r.current_a, r.soc})
            text += "," + cell(x);
        for (double x : r.params)
            text += "," + cell(x);
        text += "," + cell(r.rms_mv);
        for (double x : r.std_error)
            text += "," + cell(x);
        text += "," + pulse_flag_text(r.flags);
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

const char* pulse_kind_name(PulseKind kind) {
    return kind == PulseKind::charge ? "charge" : "discharge";
}

std::string pulse_flag_text(unsigned flags) {
    std::string text;
    for (unsigned b = 0; b < kFlagCount; ++b)
        if (flags & (1u << b))
            text += (text.empty() ? "" : ";") + std::string(kFlagTags[b]);
    return text;
}

unsigned pulse_flags_of(const std::string& text) {
    unsigned flags = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string tag = text.substr(start, end - start);
        for (unsigned b = 0; b < kFlagCount; ++b)
            if (tag == kFlagTags[b])
                flags |= 1u << b;
        start = end + 1;
    }
    return flags;
}

static_assert(r0_at_bound == 1u << 0 && c2_at_bound == 1u << (kCircuitParameters - 1),
              "the bound flags follow the circuit's parameters in order");

unsigned bound_flags(const std::array<double, kCircuitParameters>& params) {
    unsigned flags = 0;
    for (std::size_t c = 0; c < params.size(); ++c)
        if (on_bound(params[c]))
            flags |= 1u << c;
    return flags;
}

} // namespace cellcore
