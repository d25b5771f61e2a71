// The per-run workspace: a module's global namespace. Every stage reads its inputs from
// it by name and leaves its outputs there, so users and tests see them as module
// attributes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace bridge {
namespace py = pybind11;

class Workspace {
  public:
    explicit Workspace(py::dict globals) : globals_(std::move(globals)) {}

    /// The value bound to name; NameError as the interpreter words it when unbound.
    py::object get(const char* name) const {
        PyObject* value = PyDict_GetItemString(globals_.ptr(), name); // borrowed
        if (value == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(value);
    }
    template <typename T> T get_as(const char* name) const {
        return get(name).cast<T>();
    }
    bool has(const char* name) const {
        return PyDict_GetItemString(globals_.ptr(), name) != nullptr;
    }
    void set(const char* name, py::handle value) const { globals_[name] = value; }
    const py::dict& dict() const { return globals_; }

  private:
    py::dict globals_;
};

} // namespace bridge
