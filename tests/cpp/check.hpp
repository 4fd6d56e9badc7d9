// The checks of the C++ test programs: a failed check prints its place and values and counts;
// run() prints one line per failing case and a summary, and gives the exit status (0: all passed).
#pragma once
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ctest_checks {

inline int failures = 0;

inline void check(bool ok, const char* what, int line, const std::string& detail = "") {
    if (ok) return;
    ++failures;
    std::printf("FAILED line %d: %s %s\n", line, what, detail.c_str());
}

inline std::string pair_of(double a, double b) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "(%.17g vs %.17g)", a, b);
    return buf;
}

using Case = std::pair<const char*, std::function<void()>>;

inline int run(const char* suite, const std::vector<Case>& cases) {
    int failed_cases = 0;
    for (const auto& [name, fn] : cases) {
        const int before = failures;
        fn();
        if (failures != before) {
            ++failed_cases;
            std::printf("FAIL %s\n", name);
        }
    }
    std::printf("%s: %d cases, %d failed\n", suite, static_cast<int>(cases.size()), failed_cases);
    return failed_cases == 0 ? 0 : 1;
}

}  // namespace ctest_checks

#define CHECK(cond) ctest_checks::check((cond), #cond, __LINE__)
#define CHECK_CLOSE(a, b, tol)                                                \
    ctest_checks::check(std::abs((a) - (b)) <= (tol), #a " == " #b, __LINE__, \
                        ctest_checks::pair_of((a), (b)))
// One case of run(): the test function under its own name.
#define CASE(fn) ctest_checks::Case(#fn, fn)
