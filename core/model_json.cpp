// The model file's JSON text, built piece by piece rather than by a JSON library: the
// format has its own number texts, "}" for an empty model, and keys written as they
// are. Non-finite numbers, which JSON has no words for, are written as null and
// reported so the caller can warn about them.
#include "core/model_json.hpp"

#include "core/number_text.hpp"

#include <cmath>
#include <cstdio>

namespace cellcore {
namespace {

// "[n, n, n]"; counts the non-finite numbers it writes as null.
std::string number_list(const std::vector<ModelNumber>& numbers,
                        std::size_t& non_finite) {
    std::string out = "[";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0)
            out += ", ";
        const ModelNumber& n = numbers[i];
        if (!n.is_integer && !std::isfinite(n.value))
            ++non_finite;
        out += model_json_number(n);
    }
    return out + "]";
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items)
        out += item;
    return out;
}

} // namespace

std::string model_json_number(const ModelNumber& n) {
    if (n.is_integer)
        return std::to_string(n.integer);
    if (!std::isfinite(n.value))
        return "null";
    return model_number_text(n.value);
}

std::string json_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x",
                              static_cast<unsigned char>(c));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out;
}

EncodedModel encode_model(const std::vector<ModelEntry>& entries) {
    EncodedModel result;
    std::string s = "{";
    for (const ModelEntry& entry : entries) {
        const bool is_name = entry.key == "name";
        if (is_name ? entry.items.empty() : entry.numbers.empty())
            continue;
        s += "\"" + entry.key + "\": ";
        if (is_name) {
            s += "\"" + json_escape(joined(entry.items)) + "\"";
        } else {
            std::size_t non_finite = 0;
            s += number_list(entry.numbers, non_finite);
            if (non_finite > 0)
                result.non_finite.push_back({entry.key, non_finite});
        }
        s += ", ";
    }
    // The last ", " gives way to the closing brace. With no entry written the cut takes
    // the opening brace instead, and an empty model reads "}".
    s.erase(s.size() >= 2 ? s.size() - 2 : 0);
    result.text = s + "}";
    return result;
}

} // namespace cellcore
