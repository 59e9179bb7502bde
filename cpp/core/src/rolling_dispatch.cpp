// The public rolling kernels: each call runs the version of the level in use
// (see alvora/isa.hpp). The kernel sources are compiled once per level into
// the namespaces baseline, avx2 and avx512 (see alvora/rolling/level.hpp).
#include <cstdint>
#include <span>

#include "alvora/isa.hpp"
#include "alvora/rolling/kernels.hpp"
#include "isa_dispatch.hpp"

namespace alvora::rolling {

namespace {
using D = std::span<const double>;
using I = std::span<const std::int64_t>;
using B = std::span<const Bool>;
using DOut = std::span<double>;
using IOut = std::span<std::int64_t>;
using BOut = std::span<Bool>;
}  // namespace

// X(name, input type, output type) for the kernels of one series, and
// Y(name) for the pairwise ones.
#define ALVORA_ONE_SERIES_KERNELS(X)                                                         \
    X(sum, D, DOut)                                                                          \
    X(sum, I, IOut)                                                                          \
    X(product, D, DOut)                                                                      \
    X(product, I, IOut)                                                                      \
    X(ma, D, DOut)                                                                           \
    X(ema, D, DOut)                                                                          \
    X(wma, D, DOut)                                                                          \
    X(slope, D, DOut)                                                                        \
    X(var, D, DOut)                                                                          \
    X(stddev, D, DOut)                                                                       \
    X(zscore, D, DOut)                                                                       \
    X(skew, D, DOut)                                                                         \
    X(kurt, D, DOut)                                                                         \
    X(avedev, D, DOut)                                                                       \
    X(ts_min, D, DOut)                                                                       \
    X(ts_min, I, IOut)                                                                       \
    X(ts_min, B, BOut)                                                                       \
    X(ts_max, D, DOut)                                                                       \
    X(ts_max, I, IOut)                                                                       \
    X(ts_max, B, BOut)                                                                       \
    X(ts_argmin, D, DOut)                                                                    \
    X(ts_argmin, I, DOut)                                                                    \
    X(ts_argmin, B, DOut)                                                                    \
    X(ts_argmax, D, DOut)                                                                    \
    X(ts_argmax, I, DOut)                                                                    \
    X(ts_argmax, B, DOut)                                                                    \
    X(ts_rank, D, DOut)                                                                      \
    X(ts_rank, I, DOut)                                                                      \
    X(count, D, IOut)                                                                        \
    X(count, I, IOut)                                                                        \
    X(count, B, IOut)

#define ALVORA_PAIRWISE_KERNELS(Y) Y(covariance) Y(correlation) Y(regression)

#define ALVORA_DECLARE_ONE(name, In, Out) void name(In x, size_t n, Out out);
#define ALVORA_DECLARE_PAIR(name) void name(D a, D b, size_t n, DOut out);
#define ALVORA_DECLARE_LEVEL(level)                    \
    namespace level {                                  \
    ALVORA_ONE_SERIES_KERNELS(ALVORA_DECLARE_ONE)      \
    ALVORA_PAIRWISE_KERNELS(ALVORA_DECLARE_PAIR)       \
    }

ALVORA_DECLARE_LEVEL(baseline)
#if defined(ALVORA_X86_LEVELS)
ALVORA_DECLARE_LEVEL(avx2)
ALVORA_DECLARE_LEVEL(avx512)
#endif

#define ALVORA_DISPATCH_ONE(name, In, Out) \
    void name(In x, size_t n, Out out) { ALVORA_AT_LEVEL(name(x, n, out)) }
#define ALVORA_DISPATCH_PAIR(name) \
    void name(D a, D b, size_t n, DOut out) { ALVORA_AT_LEVEL(name(a, b, n, out)) }

ALVORA_ONE_SERIES_KERNELS(ALVORA_DISPATCH_ONE)
ALVORA_PAIRWISE_KERNELS(ALVORA_DISPATCH_PAIR)

}  // namespace alvora::rolling
