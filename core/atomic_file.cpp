// Temporary names, whole-file writes and the rename that puts a finished file in place.
#include "core/atomic_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace cellcore {

std::string temporary_path_for(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    return target + ".tmp" + std::to_string(static_cast<long>(getpid())) + "_" +
           std::to_string(counter++);
}

void replace_file(const std::string& tmp, const std::string& target) {
    if (std::rename(tmp.c_str(), target.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(tmp.c_str());
        throw FileError(target, target + ": cannot replace the file: " + reason);
    }
}

void write_whole_file(const std::string& path, const std::string& text,
                      const std::string& target) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw FileError(target,
                        target + ": cannot write the file: " + std::strerror(errno));
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        std::remove(path.c_str());
        throw FileError(target, target + ": writing the file failed (disk full?)");
    }
}

void write_file_atomically(const std::string& target, const std::string& text) {
    const std::string tmp = temporary_path_for(target);
    write_whole_file(tmp, text, target);
    replace_file(tmp, target);
}

} // namespace cellcore
