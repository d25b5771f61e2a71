// Writing the tables file entry by entry; the numbers go through strict_json.
#include "core/engine/soc_tables_json.hpp"

#include "core/strict_json.hpp"

namespace cellcore {
namespace {

std::string entry(const char* key, const std::string& value) {
    return std::string("\"") + key + "\": " + value;
}

std::string direction(const std::vector<SocTempTable>& tables) {
    std::string out = "{";
    for (std::size_t k = 0; k < tables.size(); ++k)
        out += (k > 0 ? ",\n" : "\n") +
               entry(kCircuitNames[k], strict_json_rows(tables[k]));
    return out + "\n}";
}

} // namespace

std::string soc_tables_json(const SocTables& t,
                            std::array<double, 2> voltage_limits_v) {
    std::vector<std::vector<double>> rested;
    for (const auto& range : t.rested_soc)
        rested.push_back({range[0], range[1]});
    const std::vector<double> limits(voltage_limits_v.begin(), voltage_limits_v.end());
    const std::string entries[] = {
        entry("soc", strict_json_array(t.soc)),
        entry("temps", strict_json_array(t.temps_c)),
        entry("capacity_ah", strict_json_array(t.capacity_ah)),
        entry("voltage_limits", strict_json_array(limits)),
        entry("rested_soc", strict_json_rows(rested)),
        entry("ocv", strict_json_rows(t.ocv_v)),
        entry("discharge", direction(t.discharge)),
        entry("charge", direction(t.charge)),
    };
    std::string out = "{";
    for (const std::string& e : entries)
        out += (out.size() > 1 ? ",\n" : "\n") + e;
    return out + "\n}\n";
}

} // namespace cellcore
