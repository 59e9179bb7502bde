// The elementwise steps of an engine program over spans of values: each call
// runs the version of the instruction-set level in use (see alvora/isa.hpp).
// Every level computes each value with the same operations in the same order
// (no fused multiply-adds, pow and log called per value), so the levels give
// identical results; the wider ones only do more values per instruction.
//
// A null operand pointer stands for its constant (`ca`, `cb`); at least one
// operand of a binary step is a series. `out` holds n values and must not
// overlap an operand.
#pragma once

#include <cstddef>

#include "alvora/engine/program.hpp"

namespace alvora::engine::elementwise {

// Arithmetic, comparisons, logical operations, SignedPower, FloatDivide,
// Minimum, Maximum and BoolTimes. Throws std::logic_error for another op.
void binary(Op op, const double* a, const double* b, double ca, double cb, double* out,
            std::size_t n);

// Negate, Absolute, Not, FloatAbs, Sign and Log.
void unary(Op op, const double* a, double* out, std::size_t n);

// c != 0 ? a : b, NaN where c is NaN.
void if_else(const double* c, const double* a, const double* b, double ca, double cb, double* out,
             std::size_t n);

// out[t] = a[t + 1] / a[t] - 1 (a holds n + 1 values).
void returns(const double* a, double* out, std::size_t n);

}  // namespace alvora::engine::elementwise
