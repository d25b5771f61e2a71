// The text of battery_model.json: one line holding the model's lists of numbers and its
// name. Every number goes through the model file's own number text (no exponents), and
// the layout is fixed down to the spaces, because downstream tools compare the files as
// text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cellcore {

/// One number of a model list: a double, or an integer as a parameter file may hold it
/// (an SOC axis of 0 and 1), which is written as its plain digits.
struct ModelNumber {
    double value = 0.0;
    long long integer = 0;
    bool is_integer = false;

    static ModelNumber of_float(double v) { return {v, 0, false}; }
    static ModelNumber of_integer(long long i) { return {0.0, i, true}; }
};

/// One entry of the model map, in file order. The entry keyed "name" holds the model
/// name as its characters in `items`; every other entry holds `numbers`.
struct ModelEntry {
    std::string key;
    std::vector<ModelNumber> numbers;
    std::vector<std::string> items;
};

/// An entry that held numbers which are not finite, written as null.
struct NonFiniteEntry {
    std::string key;
    std::size_t count = 0;
};

struct EncodedModel {
    std::string text;
    std::vector<NonFiniteEntry> non_finite;
};

/// The text of a number in the model file: integers as digits, floats as
/// model_number_text, non-finite floats as null.
std::string model_json_number(const ModelNumber& n);

/// text as the inside of a JSON string: quote, backslash and control characters
/// escaped; other characters, UTF-8 included, unchanged.
std::string json_escape(const std::string& text);

/// The one-line JSON text of the model: {"key": [n, n], ..., "name": "cellA"}. Entries
/// with no numbers (no items for "name") are left out; with none left the text is "}".
EncodedModel encode_model(const std::vector<ModelEntry>& entries);

} // namespace cellcore
