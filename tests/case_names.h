// Readable names for the rows of table-driven suites, in CTest's list and in
// GoogleTest's failure messages, which would otherwise show a row as a dump of
// its bytes. A test file brings them in with `using case_names::operator<<;` in
// the namespace of its rows and names its cases with case_names::ByName{} or
// case_names::ByText<&Row::member>{}.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <utility>

namespace case_names {

// A base for rows that are named first: `struct Row : case_names::Named {...}`,
// written as Row{{"Name"}, ...}.
struct Named {
    const char* name;
};

// A legal test name from any text: letters and digits kept, every run of
// anything else one '_'.
inline std::string Identifier(const std::string& text) {
    std::string name;
    for (const char ch : text) {
        if (std::isalnum(static_cast<unsigned char>(ch))) {
            name += ch;
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name.empty() ? "_" : name;
}

// Rows with a `name` member: the case is called by it.
struct ByName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return Identifier(info.param.name);
    }
};

// Rows without a name: the case is called by one of its texts, typically the
// expected line, then its place in the table, since texts may repeat.
template <auto Member>
struct ByText {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return Identifier(info.param.*Member) + "_" + std::to_string(info.index);
    }
};

// A failing row is shown by its name. A stream operator rather than a
// PrintTo: a PrintTo template would tie with GoogleTest's own.
template <class Row, class = decltype(std::declval<const Row&>().name)>
std::ostream& operator<<(std::ostream& os, const Row& row) {
    return os << row.name;
}

}  // namespace case_names
