// The instruction-set level a kernel source is compiled for.
//
// The kernel sources are compiled once per level, each time with that
// level's compiler flags and ALVORA_ISA_LEVEL set (0 baseline, 1 AVX2,
// 2 AVX-512; the build system sets it). Everything they define, and every
// helper they inline, lives in the namespace alvora::rolling::ALVORA_ISA_NS,
// so code built for one level never stands in for another's at link time.
#pragma once

#ifndef ALVORA_ISA_LEVEL
#define ALVORA_ISA_LEVEL 0
#endif

#if ALVORA_ISA_LEVEL == 0
#define ALVORA_ISA_NS baseline
#elif ALVORA_ISA_LEVEL == 1
#define ALVORA_ISA_NS avx2
#if !defined(__AVX2__)
#error "the AVX2 kernels need -mavx2"
#endif
#elif ALVORA_ISA_LEVEL == 2
#define ALVORA_ISA_NS avx512
#if !defined(__AVX512F__)
#error "the AVX-512 kernels need -mavx512f"
#endif
#else
#error "ALVORA_ISA_LEVEL is 0, 1 or 2"
#endif

// The vector types of the level, in the namespace the macro above names.
#include "alvora/rolling/vectors.hpp"
