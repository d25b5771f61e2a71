// Output files are never left half-written: the text goes to a temporary file in the
// target's folder, which is then renamed over the target in one step.
#pragma once

#include <string>

#include "core/errors.hpp"

namespace cellcore {

/// A unique temporary path beside target (same folder, so the rename is atomic).
std::string temporary_path_for(const std::string& target);

/// Writes text to target through a temporary file and a rename. Throws FileError
/// naming the file when it cannot be written; an existing target then stays as it was.
void write_file_atomically(const std::string& target, const std::string& text);

/// Writes text to path (creating or truncating it). Throws FileError naming target
/// when it cannot be written completely; a partial file at path is removed.
void write_whole_file(const std::string& path, const std::string& text,
                      const std::string& target);

/// Renames tmp over target; removes tmp and throws FileError on failure.
void replace_file(const std::string& tmp, const std::string& target);

} // namespace cellcore
