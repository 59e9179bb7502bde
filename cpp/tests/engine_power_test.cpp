#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "alvora/engine/power.hpp"

namespace {

using alvora::engine::power_by_constant;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double signed_pow(double x, double y) {
    const double sign = x > 0 ? 1.0 : x < 0 ? -1.0 : x;
    return sign * std::pow(std::abs(x), y);
}

// Against std::pow: special values (zeros of both signs, infinities, NaN, results
// that overflow or fall below the normal range) bit for bit, others within a few
// units in the last place (1e-14 relative: far inside what the paths must agree to).
TEST(EnginePower, ConstantExponentsAgreeWithPow) {
    std::vector<double> x{0.0,   -0.0,  kInf,     -kInf,  kNaN,    1.0,   -1.0,     2.0,
                          -2.5,  0.5,   -0.75,    1e-70,  -1e-70,  1e-64, 3e-62,    1e70,
                          -1e62, 1e300, 4.9e-324, 1e-300, 123.456, -7.25, 0.999999, 1.0000001};
    for (int k = 0; k < 200; ++k)
        x.push_back(std::ldexp(1.0 + k / 199.0, k % 60 - 30) * (k % 3 ? 1 : -1));
    std::vector<double> out(x.size());
    for (double y : {0.5, 0.0, 1.0, 2.0, 3.0, 5.0, 16.0, -1.0, -2.0, -5.0, 17.0, 1.7, -0.5}) {
        for (bool sign : {false, true}) {
            power_by_constant(x.data(), y, out.data(), x.size(), sign);
            for (std::size_t t = 0; t < x.size(); ++t) {
                const double want = sign ? signed_pow(x[t], y) : std::pow(x[t], y);
                const double got = out[t];
                SCOPED_TRACE(testing::Message() << x[t] << " ** " << y << (sign ? " signed" : ""));
                if (std::isnan(want)) {
                    EXPECT_TRUE(std::isnan(got)) << got;
                } else if (!std::isfinite(want) || std::abs(want) < 2.2250738585072014e-308) {
                    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << got << " vs " << want;
                } else {
                    EXPECT_NEAR(got, want, std::abs(want) * 1e-14);
                }
            }
        }
    }
}

}  // namespace
