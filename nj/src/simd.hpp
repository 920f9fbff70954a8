// SPDX-License-Identifier: MIT
// Wider instruction sets on a baseline build. The library is compiled for the
// baseline of its target, so that it runs on any processor of it; code for a
// wider instruction set is compiled per function and runs only where the
// processor has that set: NJ_TARGET_* functions once the processor has been
// asked (the counting kernels), NJ_TARGET_CLONES_* functions as the clone
// the loader picks (the engines' loops). The engines' loops work on Lanes,
// four doubles at once, or WideLanes, eight: GCC lowers the vector
// operations to those of the target, each lane with the IEEE operation as
// written, so every lane computes exactly what the scalar code would.
#pragma once

#if defined(__x86_64__)
#define NJ_X86_64 1
#define NJ_TARGET_POPCNT __attribute__((target("popcnt")))
#define NJ_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#define NJ_TARGET_AVX512 __attribute__((target("avx512f,avx512vpopcntdq")))
#define NJ_TARGET_CLONES_AVX2 __attribute__((target_clones("avx2", "default")))
#define NJ_TARGET_CLONES_AVX512 __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define NJ_X86_64 0
#define NJ_TARGET_CLONES_AVX2
#define NJ_TARGET_CLONES_AVX512
#endif

namespace nj::detail {

using Lanes = double __attribute__((vector_size(4 * sizeof(double))));
using WideLanes = double __attribute__((vector_size(8 * sizeof(double))));

}  // namespace nj::detail
