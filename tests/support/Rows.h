// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Table-driven tests: every row type has a `name` that reads like a sentence, and names its test.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace quellon::testing {

template <typename Row>
concept NamedRow = requires(const Row& row)
{
    std::string(row.name);
};

// The row's name as its test's name: the last argument of INSTANTIATE_TEST_SUITE_P.
template <NamedRow Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

// Prints a row as its name instead of its bytes. A test file brings it next to its row types with
// `using quellon::testing::PrintTo;`, where Google Test's lookup finds it.
template <NamedRow Row>
void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

} // namespace quellon::testing
