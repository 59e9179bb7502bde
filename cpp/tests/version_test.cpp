#include <gtest/gtest.h>

#include <string>

#include "alvora/version.hpp"

TEST(Version, IsSemantic) {
    std::string v = alvora::core_version();
    EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 2);
}
