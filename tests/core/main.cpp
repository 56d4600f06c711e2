#include <cstdio>
#include <exception>

#include "check.hpp"

int main() {
    int ran = 0;
    for (const auto& c : core_tests::registry()) {
        try {
            c.body();
        } catch (const std::exception& e) {
            ++core_tests::failures();
            std::fprintf(stderr, "%s: unexpected exception: %s\n", c.name, e.what());
        }
        ++ran;
    }
    std::printf("core tests: %d cases, %d failed checks\n", ran, core_tests::failures());
    return core_tests::failures() == 0 ? 0 : 1;
}
