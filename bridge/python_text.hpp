// Log lines, printed lines and error texts with values shown exactly as the interpreter
// shows them (str() of the value), so that 3 reads 3.0 and arrays print as numpy
// prints.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace bridge {
namespace py = pybind11;

inline std::string str(py::handle value) { return py::str(value).cast<std::string>(); }
inline std::string str(double value) { return str(py::float_(value)); }
inline std::string str(long long value) { return str(py::int_(value)); }
inline std::string str(int value) { return str(py::int_(value)); }
inline std::string str(std::size_t value) { return str(py::int_(value)); }

/// Logs through the named logger, looked up per call: a logger object kept in a static
/// would outlive the interpreter.
inline void log(const char* logger, const char* level, const std::string& message) {
    py::module_::import("logging").attr("getLogger")(logger).attr(level)(message);
}

/// Prints one line to sys.stdout, as print() does.
inline void print_line(const std::string& line) { py::print(line); }

/// Ends the process as sys.exit(message) does: the message goes to stderr, status 1.
[[noreturn]] inline void exit_with_message(const std::string& message) {
    py::module_::import("sys").attr("exit")(message);
    throw std::logic_error("sys.exit returned"); // unreachable: sys.exit raises
}

} // namespace bridge
