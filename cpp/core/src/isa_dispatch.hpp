// ALVORA_AT_LEVEL(call): returns `call` from the namespace of the instruction-set
// level in use (baseline, avx2, avx512; see alvora/isa.hpp). Each kernel source
// is compiled once per level into those namespaces; a dispatching source
// declares what each level holds, then forwards through this macro.
#pragma once

#include "alvora/isa.hpp"

#if defined(ALVORA_X86_LEVELS)
#define ALVORA_AT_LEVEL(call)    \
    switch (alvora::isa()) {     \
        case Isa::avx512:        \
            return avx512::call; \
        case Isa::avx2:          \
            return avx2::call;   \
        case Isa::baseline:      \
            break;               \
    }                            \
    return baseline::call;
#else
#define ALVORA_AT_LEVEL(call) return baseline::call;
#endif
