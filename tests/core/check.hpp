// The checks of the native test programs: each failed check is reported with
// its place and counted; the program's exit status is the count.
#pragma once

#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace zun_test {

inline int failures = 0;

inline void fail(const char* file, int line, const std::string& what) {
    std::cerr << file << ":" << line << ": FAILED " << what << "\n";
    ++failures;
}

// Texts compare by content, whatever their type; everything else by ==.
template <class A, class E>
bool same(const A& actual, const E& expected) {
    if constexpr (std::is_convertible_v<const A&, std::string_view> &&
                  std::is_convertible_v<const E&, std::string_view>) {
        return std::string_view(actual) == std::string_view(expected);
    } else {
        return actual == expected;
    }
}

template <class A, class E>
void check_equal(const A& actual, const E& expected, const char* file, int line, std::string_view what) {
    if (same(actual, expected)) return;
    std::ostringstream message;
    message << what << "\n  got:      [" << actual << "]\n  expected: [" << expected << "]";
    fail(file, line, message.str());
}

}  // namespace zun_test

#define CHECK(cond)                                                      \
    do {                                                                 \
        if (!(cond)) ::zun_test::fail(__FILE__, __LINE__, #cond);        \
    } while (0)

#define CHECK_EQ(actual, expected) ::zun_test::check_equal((actual), (expected), __FILE__, __LINE__, #actual)

// As CHECK_EQ, naming the case (a table row, an input) in the report.
#define CHECK_EQ_LABEL(actual, expected, label) \
    ::zun_test::check_equal((actual), (expected), __FILE__, __LINE__, std::string(#actual) + " [" + (label) + "]")
