// Runs the registered tests, or only those named on the command line; the exit status
// is non-zero when a check failed or a name matched no test.
#include <cstdio>
#include <cstring>
#include <exception>

#include "check.hpp"

int main(int argc, char** argv) {
    int unknown = 0;
    for (int a = 1; a < argc; ++a) {
        bool found = false;
        for (const celltest::Case& c : celltest::registry())
            found = found || std::strcmp(c.name, argv[a]) == 0;
        if (!found) {
            std::fprintf(stderr, "no test named %s\n", argv[a]);
            ++unknown;
        }
    }
    for (const celltest::Case& c : celltest::registry()) {
        bool wanted = argc == 1;
        for (int a = 1; a < argc; ++a)
            wanted = wanted || std::strcmp(c.name, argv[a]) == 0;
        if (!wanted)
            continue;
        const int before = celltest::failures();
        try {
            c.run();
        } catch (const std::exception& e) {
            celltest::fail(__FILE__, __LINE__,
                           std::string("unexpected exception: ") + e.what());
        }
        std::printf("%s %s\n", celltest::failures() == before ? "ok  " : "FAIL",
                    c.name);
    }
    return celltest::failures() > 0 || unknown > 0 ? 1 : 0;
}
