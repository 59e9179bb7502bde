// Powers by a constant exponent over a series: the exponents formulas use most
// (squares, square roots, small whole powers) without a call to pow per value.
#pragma once

#include <cstddef>

namespace alvora::engine {

// out[t] = x[t] ** y, or sign(x[t]) * |x[t]| ** y with `signed_power` (NaN kept,
// zeros keep their sign). Equal to std::pow within a few units in the last place
// for every input, special values (zeros, infinities, NaN) exactly as std::pow
// gives them. `out` must not overlap `x`.
void power_by_constant(const double* x, double y, double* out, std::size_t n,
                       bool signed_power = false);

}  // namespace alvora::engine
