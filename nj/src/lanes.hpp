// SPDX-License-Identifier: MIT
// Four doubles at once for the engines' hot loops, and the attribute that
// also builds such a loop for AVX2, chosen at load time where the processor
// has it. GCC lowers the vector operations to those of the target, each lane
// with the IEEE operation as written, so every lane computes exactly what
// the scalar code would.
#pragma once

namespace nj::detail {

using Lanes = double __attribute__((vector_size(4 * sizeof(double))));

}  // namespace nj::detail

#if defined(__x86_64__)
#define NJ_WITH_AVX2 __attribute__((target_clones("avx2", "default")))
#else
#define NJ_WITH_AVX2
#endif
