// The elementwise steps and powers by a constant: each call runs the version of
// the level in use (see alvora/isa.hpp). The kernel source
// (cpp/core/kernels/engine_elementwise.cpp) is compiled once per level into the
// namespaces baseline, avx2 and avx512.
#include "alvora/engine/elementwise.hpp"
#include "alvora/engine/power.hpp"
#include "isa_dispatch.hpp"

namespace alvora::engine {

#define ALVORA_DECLARE_LEVEL(level)                                               \
    namespace level {                                                             \
    void power_by_constant(const double* x, double y, double* out, std::size_t n, \
                           bool signed_power);                                    \
    elementwise::Binary binary(Op op);                                            \
    elementwise::Unary unary(Op op);                                              \
    elementwise::Choice if_else();                                                \
    elementwise::Returns returns();                                               \
    elementwise::Store stream_store();                                            \
    }

ALVORA_DECLARE_LEVEL(baseline)
#if defined(ALVORA_X86_LEVELS)
ALVORA_DECLARE_LEVEL(avx2)
ALVORA_DECLARE_LEVEL(avx512)
#endif

void power_by_constant(const double* x, double y, double* out, std::size_t n, bool signed_power) {
    ALVORA_AT_LEVEL(power_by_constant(x, y, out, n, signed_power));
}

namespace elementwise {

Binary binary(Op op) {
    ALVORA_AT_LEVEL(binary(op));
}

Unary unary(Op op) {
    ALVORA_AT_LEVEL(unary(op));
}

Choice if_else() {
    ALVORA_AT_LEVEL(if_else());
}

Returns returns() {
    ALVORA_AT_LEVEL(returns());
}

Store stream_store() {
    ALVORA_AT_LEVEL(stream_store());
}

}  // namespace elementwise

}  // namespace alvora::engine
