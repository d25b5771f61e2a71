// The core's error types. Each says what went wrong in words a user can act on (the
// file, the problem, the value); the bindings turn each into the Python exception a
// user expects, in one place (bridge/errors.hpp).
#pragma once

#include <stdexcept>
#include <string>

namespace cellcore {

/// Input the system cannot use: a record, a setting, an argument. ValueError in Python.
class InputError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

/// The error about one record, worded as every message about a record is:
/// "<record>: <problem>".
inline InputError record_error(const std::string& record, const std::string& problem) {
    return InputError(record + ": " + problem);
}

/// A file that cannot be written or put in place. what() names the target and the
/// reason; path() is the target. OSError in Python.
class FileError : public std::runtime_error {
  public:
    FileError(std::string path, const std::string& message)
        : std::runtime_error(message), path_(std::move(path)) {}
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

} // namespace cellcore
