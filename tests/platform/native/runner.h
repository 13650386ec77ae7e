#pragma once
// A small test runner for the Qt-free platform suite: it has to build with MinGW-w64 and run under
// Wine, where no Qt Test exists. CASE registers a test; CHECK records a failure and goes on;
// REQUIRE and SKIP leave the case. Closing line: "N passed, N failed, N skipped".

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace runner {

struct Skip {
    std::string reason;
};
struct Stop {};

struct Case {
    const char *name;
    void (*body)();
};

inline std::vector<Case> &cases()
{
    static std::vector<Case> all;
    return all;
}

inline int &failures()
{
    static int count = 0;
    return count;
}

struct Register {
    Register(const char *name, void (*body)()) { cases().push_back({name, body}); }
};

inline void fail(const char *file, int line, const std::string &what)
{
    ++failures();
    std::cout << "  FAIL " << file << ":" << line << ": " << what << std::endl;
}

template <typename A, typename B> std::string both(const A &a, const B &b)
{
    std::ostringstream out;
    out << "[" << a << "] vs [" << b << "]";
    return out.str();
}

int run(int argc, char **argv);

} // namespace runner

#define CASE(name)                                                                                           \
    static void name();                                                                                      \
    static runner::Register register_##name(#name, name);                                                    \
    static void name()
#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            runner::fail(__FILE__, __LINE__, #cond);                                                         \
    } while (0)
#define CHECK_EQ(a, b)                                                                                       \
    do {                                                                                                     \
        const auto &a_ = (a);                                                                                \
        const auto &b_ = (b);                                                                                \
        if (!(a_ == b_))                                                                                     \
            runner::fail(__FILE__, __LINE__, std::string(#a " == " #b ": ") + runner::both(a_, b_));         \
    } while (0)
#define REQUIRE(cond)                                                                                        \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            runner::fail(__FILE__, __LINE__, #cond);                                                         \
            throw runner::Stop{};                                                                            \
        }                                                                                                    \
    } while (0)
#define SKIP(reason)                                                                                         \
    throw runner::Skip                                                                                       \
    {                                                                                                        \
        reason                                                                                               \
    }
