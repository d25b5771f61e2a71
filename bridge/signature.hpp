// Argument binding for module functions that take their parameters by position or by
// keyword, with the TypeError texts a compiled Python function gives for a wrong count:
// "model1() takes exactly 4 positional arguments (3 given)".
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <vector>

namespace bridge {
namespace py = pybind11;

struct Signature {
    const char* name;
    std::vector<const char*> params;
    std::size_t required; // the first `required` params have no default
};

[[noreturn]] inline void raise_count(const Signature& sig, std::size_t given,
                                     bool too_few) {
    const std::size_t total = sig.params.size();
    const bool exact = sig.required == total;
    const std::size_t expected = too_few ? sig.required : total;
    const char* bound = exact ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, bound, static_cast<Py_ssize_t>(expected),
                 expected == 1 ? "" : "s", static_cast<Py_ssize_t>(given));
    throw py::error_already_set();
}

/// The arguments in parameter order; an unset optional parameter is a null object.
inline std::vector<py::object>
bind_arguments(const Signature& sig, const py::args& args, const py::kwargs& kwargs) {
    const std::size_t total = sig.params.size();
    if (args.size() > total)
        raise_count(sig, args.size(), false);
    std::vector<py::object> bound(total);
    for (std::size_t i = 0; i < args.size(); ++i)
        bound[i] = py::reinterpret_borrow<py::object>(args[i]);
    for (auto item : kwargs) {
        const std::string key = py::str(item.first).cast<std::string>();
        std::size_t i = 0;
        while (i < total && key != sig.params[i])
            ++i;
        if (i == total) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() got an unexpected keyword argument '%s'", sig.name,
                         key.c_str());
            throw py::error_already_set();
        }
        if (bound[i]) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() got multiple values for keyword argument '%s'",
                         sig.name, key.c_str());
            throw py::error_already_set();
        }
        bound[i] = py::reinterpret_borrow<py::object>(item.second);
    }
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!bound[i])
            raise_count(sig, i, true);
    return bound;
}

} // namespace bridge
