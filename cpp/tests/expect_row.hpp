// Shared check for tests comparing one row of results: NaN exactly where
// expected, other entries equal to within a few units in the last place.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

inline void expect_row(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << "entry " << i << " = " << got[i];
        else
            EXPECT_DOUBLE_EQ(got[i], want[i]) << "entry " << i;
    }
}
