// The passes of a row's ranks at the level in use. The kernel source
// (cpp/core/kernels/stats_rank_kernels.cpp) is compiled once per level into the
// namespaces baseline, avx2 and avx512.
#include "alvora/stats/rank_kernels.hpp"
#include "isa_dispatch.hpp"

namespace alvora::stats {

#define ALVORA_DECLARE_LEVEL(level)           \
    namespace level {                         \
    rank_kernels::Kernels row_rank_kernels(); \
    }

ALVORA_DECLARE_LEVEL(baseline)
#if defined(ALVORA_X86_LEVELS)
ALVORA_DECLARE_LEVEL(avx2)
ALVORA_DECLARE_LEVEL(avx512)
#endif

rank_kernels::Kernels rank_kernels::kernels() {
    ALVORA_AT_LEVEL(row_rank_kernels());
}

}  // namespace alvora::stats
