#ifndef LUMO_SIMD_TARGETS_H
#define LUMO_SIMD_TARGETS_H

// The entries of a kernel table (see simd::Pick) for the code that
// hwy/foreach_target.h compiled once per instruction set. A kernel file
// includes this after foreach_target and lists LUMO_SIMD_ENTRIES(ENTRY) before
// its portable entry; ENTRY(LEVEL, QUALIFY) receives the level and a macro
// that qualifies a name with the namespace of that instruction set's code.
//
// On x86 every instruction set the vector library builds has its entry; on
// other processors the compiler's baseline vectors (NEON on arm64), unless
// they are only emulated. Only the library's headers are used: the choice is
// made by simd::Pick from our own probe.

#include <hwy/highway.h>

#include "simd/Simd.h"

#if HWY_ARCH_X86

#define LUMO_SIMD_NS_AVX3_DL(name) N_AVX3_DL::name
#define LUMO_SIMD_NS_AVX3(name) N_AVX3::name
#define LUMO_SIMD_NS_AVX2(name) N_AVX2::name
#define LUMO_SIMD_NS_SSE4(name) N_SSE4::name
#define LUMO_SIMD_NS_SSSE3(name) N_SSSE3::name

#if HWY_TARGETS & HWY_AVX3_DL
#define LUMO_SIMD_ENTRY_AVX3_DL(ENTRY) ENTRY(lumo::simd::kAVX3_DL, LUMO_SIMD_NS_AVX3_DL),
#else
#define LUMO_SIMD_ENTRY_AVX3_DL(ENTRY)
#endif
#if HWY_TARGETS & HWY_AVX3
#define LUMO_SIMD_ENTRY_AVX3(ENTRY) ENTRY(lumo::simd::kAVX3, LUMO_SIMD_NS_AVX3),
#else
#define LUMO_SIMD_ENTRY_AVX3(ENTRY)
#endif
#if HWY_TARGETS & HWY_AVX2
#define LUMO_SIMD_ENTRY_AVX2(ENTRY) ENTRY(lumo::simd::kAVX2, LUMO_SIMD_NS_AVX2),
#else
#define LUMO_SIMD_ENTRY_AVX2(ENTRY)
#endif
#if HWY_TARGETS & HWY_SSE4
#define LUMO_SIMD_ENTRY_SSE4(ENTRY) ENTRY(lumo::simd::kSSE4, LUMO_SIMD_NS_SSE4),
#else
#define LUMO_SIMD_ENTRY_SSE4(ENTRY)
#endif
#if HWY_TARGETS & HWY_SSSE3
#define LUMO_SIMD_ENTRY_SSSE3(ENTRY) ENTRY(lumo::simd::kSSSE3, LUMO_SIMD_NS_SSSE3),
#else
#define LUMO_SIMD_ENTRY_SSSE3(ENTRY)
#endif

#define LUMO_SIMD_ENTRIES(ENTRY)                                                                                       \
    LUMO_SIMD_ENTRY_AVX3_DL(ENTRY)                                                                                     \
    LUMO_SIMD_ENTRY_AVX3(ENTRY) LUMO_SIMD_ENTRY_AVX2(ENTRY) LUMO_SIMD_ENTRY_SSE4(ENTRY) LUMO_SIMD_ENTRY_SSSE3(ENTRY)

#elif (HWY_STATIC_TARGET & (HWY_SCALAR | HWY_EMU128)) == 0

#define LUMO_SIMD_ENTRIES(ENTRY) ENTRY(lumo::simd::kNative, HWY_STATIC_DISPATCH),

#else

#define LUMO_SIMD_ENTRIES(ENTRY)

#endif

// Code compiled per instruction set keeps every multiplication and addition
// a separate operation, as the portable code does: a fused multiply-add
// rounds once instead of twice. Put it right after HWY_BEFORE_NAMESPACE().
#if defined(__GNUC__) && !defined(__clang__)
#define LUMO_SIMD_NO_CONTRACT() _Pragma("GCC optimize(\"fp-contract=off\")")
#else
#define LUMO_SIMD_NO_CONTRACT() _Pragma("STDC FP_CONTRACT OFF")
#endif

#endif
