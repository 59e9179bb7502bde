// The elementwise steps of an engine program over spans of values, at the
// instruction-set level in use (see alvora/isa.hpp). Every level computes each
// value with the same operations in the same order (no fused multiply-adds, pow
// and log called per value), so the levels give identical results; the wider
// ones only do more values per instruction.
//
// A program runs its steps block by block, a few dozen values a call, so a
// step's kernel is looked up once (for the level in use then) and called
// directly. A null operand pointer stands for its constant (`ca`, `cb`); at
// least one operand of a binary step is a series. `out` holds n values and
// must not overlap an operand.
#pragma once

#include <cstddef>

#include "alvora/engine/program.hpp"

namespace alvora::engine::elementwise {

// out[t] = a[t] op b[t]
using Binary = void (*)(const double* a, const double* b, double ca, double cb, double* out,
                        std::size_t n);
// out[t] = op a[t]
using Unary = void (*)(const double* a, double* out, std::size_t n);
// out[t] = c[t] != 0 ? a[t] : b[t], NaN where c[t] is NaN
using Choice = void (*)(const double* c, const double* a, const double* b, double ca, double cb,
                        double* out, std::size_t n);
// out[t] = a[t + 1] / a[t] - 1 (a holds n + 1 values)
using Returns = void (*)(const double* a, double* out, std::size_t n);
// to[t] = from[t], stored past the caches where the level can (values nobody
// reads soon: a large result grid); a full fence must follow before the values
// are handed over.
using Store = void (*)(const double* from, double* to, std::size_t n);

// Arithmetic (Power and SignedPower by a constant exponent go by
// power_by_constant), comparisons, logical operations, FloatDivide, Minimum,
// Maximum and BoolTimes; nullptr for another op.
Binary binary(Op op);

// Negate, Absolute, Not, FloatAbs, Sign and Log; nullptr for another op.
Unary unary(Op op);

Choice if_else();

Returns returns();

Store stream_store();

}  // namespace alvora::engine::elementwise
