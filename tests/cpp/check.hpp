// A small test runner for the core's C++ unit tests: TEST(name) defines a
// case, CHECK(cond) and CHECK_EQ(a, b) record a failure and carry on, and
// SCOPE(text) names the table row a failure belongs to.  main.cpp runs the
// cases (those whose name contains argv[1], when given).
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*run)();
};
inline std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}
inline int failures = 0;
inline std::vector<std::string> scopes;

struct Register {
    Register(const char* name, void (*run)()) { cases().push_back({name, run}); }
};

// Names the row of a table under test while it is alive.
struct Scope {
    explicit Scope(std::string what) { scopes.push_back(std::move(what)); }
    ~Scope() { scopes.pop_back(); }
};

template <class T>
std::string show(const T& v) {
    if constexpr (requires { v.begin(); v.end(); } && !requires(std::ostream& o) { o << v; }) {
        std::string out = "[";
        for (const auto& item : v) out += (out.size() > 1 ? ", " : "") + show(item);
        return out + "]";
    } else if constexpr (requires(std::ostream& o) { o << v; }) {
        std::ostringstream out;
        out << v;
        return out.str();
    } else {
        return "(not printable)";
    }
}

inline bool expect(bool ok, const char* file, int line, const std::string& what) {
    if (ok) return true;
    ++failures;
    std::fprintf(stderr, "  %s:%d: CHECK failed: %s\n", file, line, what.c_str());
    for (const std::string& s : scopes) std::fprintf(stderr, "    in %s\n", s.c_str());
    return false;
}

template <class A, class B>
bool expect_eq(const A& a, const B& b, const char* file, int line, const char* what) {
    return expect(a == b, file, line, std::string(what) + "\n    got      " + show(a) + "\n    expected " + show(b));
}

}  // namespace check

#define CHECK_CONCAT_INNER(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_INNER(a, b)
#define TEST(name)                                                \
    static void name();                                           \
    static const ::check::Register name##_registered(#name, name); \
    static void name()
#define CHECK(cond) ::check::expect(static_cast<bool>(cond), __FILE__, __LINE__, #cond)
#define CHECK_EQ(a, b) ::check::expect_eq((a), (b), __FILE__, __LINE__, #a " == " #b)
#define SCOPE(text) const ::check::Scope CHECK_CONCAT(scope_, __LINE__)(text)
