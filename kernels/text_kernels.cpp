// The model file's number texts, one value at a time and over whole arrays, so tests
// can hold them against the interpreter's repr() and str.format on millions of doubles.
#include "kernels/kernels.hpp"

#include <pybind11/numpy.h>

#include "bridge/arrays.hpp"
#include "core/number_text.hpp"

namespace py = pybind11;

namespace {

template <typename Text> py::list texts_of(const bridge::InArray& xs, Text text) {
    const auto x = bridge::view(xs);
    py::list out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        out[i] = py::str(text(x[i], i));
    return out;
}

} // namespace

void register_text_kernels(py::module_& m) {
    m.def("float_repr", &cellcore::float_repr, py::arg("x"),
          "repr(x) of a float, from the native shortest round-trip formatter.");
    m.def("fixed_text", &cellcore::fixed_text, py::arg("x"), py::arg("decimals"),
          "'{:.{}f}'.format(x, decimals), natively.");
    m.def("model_number_text", &cellcore::model_number_text, py::arg("x"),
          "The model file's text of x: its repr, or fixed point where repr has an "
          "exponent.");
    m.def(
        "float_reprs",
        [](const bridge::InArray& xs) {
            return texts_of(
                xs, [](double x, std::size_t) { return cellcore::float_repr(x); });
        },
        py::arg("xs"), "float_repr of every element, as a list.");
    m.def(
        "model_number_texts",
        [](const bridge::InArray& xs) {
            return texts_of(xs, [](double x, std::size_t) {
                return cellcore::model_number_text(x);
            });
        },
        py::arg("xs"), "model_number_text of every element, as a list.");
    m.def(
        "fixed_texts",
        [](const bridge::InArray& xs, const bridge::IndexArray& decimals) {
            if (decimals.size() != xs.size())
                throw cellcore::InputError(
                    "fixed_texts: xs and decimals differ in length");
            const auto d = bridge::view(decimals);
            return texts_of(xs, [&](double x, std::size_t i) {
                return cellcore::fixed_text(x, static_cast<int>(d[i]));
            });
        },
        py::arg("xs"), py::arg("decimals"), "fixed_text of every element, as a list.");
}
