// Table-driven tests: each case carries a readable name, which gtest shows in
// the test's name and in failure messages instead of the case's raw bytes.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

struct NamedCase {
    const char* name;
};

// Found through the base class, so every case type derived from NamedCase prints by its name.
inline std::ostream& operator<<(std::ostream& os, const NamedCase& c) {
    return os << c.name;
}

// The name generator for INSTANTIATE_TEST_SUITE_P.
struct CaseName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};
