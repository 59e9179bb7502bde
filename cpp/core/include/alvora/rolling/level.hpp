// The instruction-set level a kernel source is compiled for.
//
// The kernel sources are compiled once per level, each time with that
// level's compiler flags and ALVORA_ISA_LEVEL set (0 baseline, 1 AVX2,
// 2 AVX-512; the build system sets it). Everything they define, and every
// helper they inline, lives in the namespace alvora::rolling::ALVORA_ISA_NS,
// so code built for one level never stands in for another's at link time.
#pragma once

#include <cstddef>
#include <type_traits>

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

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// Vectors of the compiler's vector extension (GCC and Clang), lowered to the
// widest registers of the level: two 128-bit ones for V4 at the baseline.
// Element alignment only: the buffers come from std::vector, and unaligned
// vector moves cost the same on aligned data.
using V2 = double __attribute__((vector_size(16), aligned(8)));
using V4 = double __attribute__((vector_size(32), aligned(8)));
using V8 = double __attribute__((vector_size(64), aligned(8)));

// Whether this level has 512-bit vectors (and the kernels written for them).
inline constexpr bool kWide = ALVORA_ISA_LEVEL >= 2;

// The vector type of the scans at this level: the width is the only
// difference between the levels' versions of a kernel.
using VW = std::conditional_t<kWide, V8, V4>;

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
