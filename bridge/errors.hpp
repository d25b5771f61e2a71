// One error policy for every module: the C++ exceptions of the core and of the
// bindings become the Python exceptions a user expects, here and nowhere else. Bad
// input (cellcore::InputError) is a ValueError whose message names the record or the
// setting; a file that cannot be written is an OSError whose message names it,
// whichever module wrote it.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "core/errors.hpp"

namespace bridge {
namespace py = pybind11;

/// Sets the Python error the exception p becomes, as pybind11 maps the standard ones
/// (InputError and std::invalid_argument: ValueError, std::out_of_range: IndexError,
/// ...), with cellcore::FileError as OSError. (OSError's filename attribute stays
/// unset: set, it would replace the message in the error's text.)
inline void set_python_error(const std::exception_ptr& p) {
    try {
        std::rethrow_exception(p);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const cellcore::FileError& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

/// The Python exception the exception p becomes, taken out of the interpreter's error
/// state: its type and message, for a caller that reports the error and goes on.
inline py::error_already_set python_error(const std::exception_ptr& p) {
    set_python_error(p);
    return py::error_already_set();
}

/// Registers the module's translator of C++ exceptions; call once in the module body.
inline void translate_core_errors() {
    py::register_local_exception_translator(
        [](std::exception_ptr p) { set_python_error(p); });
}

/// Raises OSError(message) caused by the library error e (a failed write inside numpy,
/// say), so that the traceback keeps the original reason.
[[noreturn]] inline void raise_file_error_from(py::error_already_set& e,
                                               const std::string& message) {
    py::raise_from(e, PyExc_OSError, message.c_str());
    throw py::error_already_set();
}

} // namespace bridge
