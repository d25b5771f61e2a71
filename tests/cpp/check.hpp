// The few checks the core's unit tests need, without a test framework: TEST(name)
// registers a function, CHECK and its variants report a failure with its file, line and
// values and let the test carry on, and check_main.cpp runs the tests named on the
// command line (all of them without names).
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace celltest {

struct Case {
    const char* name;
    void (*run)();
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, void (*run)()) { registry().push_back({name, run}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
}

/// |got - want| <= atol + rtol |want|, as numpy's isclose.
inline bool close(double got, double want, double rtol, double atol) {
    return std::fabs(got - want) <= atol + rtol * std::fabs(want);
}

inline std::string values(double got, double want) {
    char text[96];
    std::snprintf(text, sizeof text, " (got %.17g, want %.17g)", got, want);
    return text;
}

} // namespace celltest

#define TEST(name)                                                                     \
    static void test_##name();                                                         \
    static const celltest::Register register_##name(#name, &test_##name);              \
    static void test_##name()

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond))                                                                   \
            celltest::fail(__FILE__, __LINE__, "CHECK(" #cond ") failed");             \
    } while (0)

#define CHECK_CLOSE(got, want, rtol, atol)                                             \
    do {                                                                               \
        const double got_ = (got), want_ = (want);                                     \
        if (!celltest::close(got_, want_, rtol, atol))                                 \
            celltest::fail(__FILE__, __LINE__,                                         \
                           "CHECK_CLOSE(" #got ", " #want ")" +                        \
                               celltest::values(got_, want_));                         \
    } while (0)

#define CHECK_THROWS(expr, type)                                                       \
    do {                                                                               \
        bool thrown_ = false;                                                          \
        try {                                                                          \
            (void)(expr);                                                              \
        } catch (const type&) {                                                        \
            thrown_ = true;                                                            \
        }                                                                              \
        if (!thrown_)                                                                  \
            celltest::fail(__FILE__, __LINE__, #expr " did not throw " #type);         \
    } while (0)
