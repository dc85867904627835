#pragma once

// Element-wise loops that are exactly rounded at any vector width may also be compiled for AVX2
// and picked at run time. Only x86-64 has those clones; elsewhere the portable loop is all.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUILLON_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUILLON_AVX2_CLONES
#endif
