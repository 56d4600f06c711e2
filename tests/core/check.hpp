// A tiny self-registering test harness for the native core (no Python involved).
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace core_tests {

struct Case {
    const char* name;
    std::function<void()> body;
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
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

template <class T>
std::string show(const T& value) {
    std::ostringstream out;
    if constexpr (requires { out << value; }) {
        out << value;
    } else {
        out << '[';
        bool first = true;
        for (const auto& item : value) {
            if (!first) out << ", ";
            first = false;
            out << show(item);
        }
        out << ']';
    }
    return out.str();
}

}  // namespace core_tests

#define CORE_CAT2(a, b) a##b
#define CORE_CAT(a, b) CORE_CAT2(a, b)
#define TEST_CASE(name)                                                              \
    static void CORE_CAT(test_body_, __LINE__)();                                    \
    static core_tests::Register CORE_CAT(test_reg_, __LINE__)(name, CORE_CAT(test_body_, __LINE__)); \
    static void CORE_CAT(test_body_, __LINE__)()

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            ++core_tests::failures();                                                \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                            \
    } while (0)

#define CHECK_EQ(a, b)                                                               \
    do {                                                                             \
        const auto& check_a_ = (a);                                                  \
        const auto& check_b_ = (b);                                                  \
        if (!(check_a_ == check_b_)) {                                               \
            ++core_tests::failures();                                                \
            std::fprintf(stderr, "%s:%d: CHECK_EQ failed: %s == %s\n  left:  %s\n  right: %s\n", \
                         __FILE__, __LINE__, #a, #b, core_tests::show(check_a_).c_str(), \
                         core_tests::show(check_b_).c_str());                        \
        }                                                                            \
    } while (0)

// Checks that `expr` throws `Exc` whose text() equals `expected`.
#define CHECK_THROWS_TEXT(Exc, expr, expected)                                       \
    do {                                                                             \
        bool check_thrown_ = false;                                                  \
        try {                                                                        \
            (void)(expr);                                                            \
        } catch (const Exc& e) {                                                     \
            check_thrown_ = true;                                                    \
            CHECK_EQ(e.text(), std::string(expected));                               \
        }                                                                            \
        if (!check_thrown_) {                                                        \
            ++core_tests::failures();                                                \
            std::fprintf(stderr, "%s:%d: expected %s from %s\n", __FILE__, __LINE__, #Exc, #expr); \
        }                                                                            \
    } while (0)
