// One error policy for every module: the core's own error types become the Python
// exceptions a user expects. A file that cannot be written is an OSError whose message
// names it, whichever module wrote it.
#pragma once

#include <pybind11/pybind11.h>

#include "core/atomic_file.hpp"

namespace bridge {
namespace py = pybind11;

/// Sets OSError with the message, which names the file. (OSError's filename attribute
/// stays unset: set, it would replace the message in the error's text.)
inline void set_os_error(const cellcore::FileError& e) {
    PyErr_SetString(PyExc_OSError, e.what());
}

/// Raises OSError(message) caused by the library error e (a failed write inside numpy,
/// say), so that the traceback keeps the original reason.
[[noreturn]] inline void raise_file_error_from(py::error_already_set& e,
                                               const std::string& message) {
    py::raise_from(e, PyExc_OSError, message.c_str());
    throw py::error_already_set();
}

/// Registers the module's translator of core errors; call once in the module body.
inline void translate_core_errors() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const cellcore::FileError& e) {
            set_os_error(e);
        }
    });
}

} // namespace bridge
