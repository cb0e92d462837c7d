#include "Simd.h"

#include <atomic>
#include <initializer_list>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define LUMO_SIMD_X86 1
#endif

namespace
{
#ifdef LUMO_SIMD_X86
bool Bits(unsigned reg, std::initializer_list<int> bits)
{
    for (int b : bits)
        if (((reg >> b) & 1u) == 0)
            return false;
    return true;
}

// The x86 levels this processor and its operating system run, from CPUID and
// XCR0 (the wide registers must be saved by the system). Each level requires
// everything its kernels may be compiled to use.
uint32_t X86Levels()
{
    unsigned a = 0, b = 0, c1 = 0, d1 = 0;
    if (!__get_cpuid(1, &a, &b, &c1, &d1))
        return 0;
    unsigned b7 = 0, c7 = 0, d = 0;
    if (__get_cpuid_max(0, 0) >= 7)
        __cpuid_count(7, 0, a, b7, c7, d);
    unsigned c81 = 0;
    if (!__get_cpuid(0x80000001u, &a, &b, &c81, &d))
        c81 = 0;
    unsigned long long xcr0 = 0;
    if (Bits(c1, {27})) { // OSXSAVE: XGETBV is there
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        xcr0 = ((unsigned long long)hi << 32) | lo;
    }
    const bool ymm = (xcr0 & 0x6) == 0x6, zmm = (xcr0 & 0xe6) == 0xe6;
    // SSE, SSE2, SSE3, SSSE3
    const bool ssse3 = Bits(d1, {25, 26}) && Bits(c1, {0, 9});
    // SSE4.1, SSE4.2, POPCNT, PCLMULQDQ, AES
    const bool sse4 = ssse3 && Bits(c1, {19, 20, 23, 1, 25});
    // AVX, FMA, F16C, AVX2, BMI1, BMI2, LZCNT
    const bool avx2 = sse4 && ymm && Bits(c1, {28, 12, 29}) && Bits(b7, {5, 3, 8}) && Bits(c81, {5});
    // AVX-512 F, DQ, CD, BW, VL
    const bool avx3 = avx2 && zmm && Bits(b7, {16, 17, 28, 30, 31});
    // VBMI, VBMI2, VAES, VPCLMULQDQ, VNNI, BITALG, VPOPCNTDQ
    const bool avx3dl = avx3 && Bits(c7, {1, 6, 9, 10, 11, 12, 14});
    using namespace lumo::simd;
    return (ssse3 ? 1u << kSSSE3 : 0) | (sse4 ? 1u << kSSE4 : 0) | (avx2 ? 1u << kAVX2 : 0) | (avx3 ? 1u << kAVX3 : 0) |
           (avx3dl ? 1u << kAVX3_DL : 0);
}
#endif

// The level SetLevel chose; -1: the best.
std::atomic<int> g_level(-1);
} // namespace

namespace lumo
{
namespace simd
{
uint32_t RunnableLevels()
{
    static const uint32_t runnable = [] {
#ifdef LUMO_SIMD_X86
        return (1u << kPortable) | X86Levels();
#else
        return (1u << kPortable) | (1u << kNative);
#endif
    }();
    return runnable;
}

Level BestLevel()
{
    const uint32_t runnable = RunnableLevels();
    return (Level)(31 - __builtin_clz(runnable));
}

Level ActiveLevel()
{
    const int level = g_level.load(std::memory_order_relaxed);
    return level < 0 ? BestLevel() : (Level)level;
}

Level SetLevel(int level)
{
    const Level previous = ActiveLevel();
    const bool runs = level >= 0 && level < kLevelCount && (RunnableLevels() >> level & 1u) != 0;
    g_level.store(runs ? level : -1);
    return previous;
}

const char* LevelName(Level level)
{
    switch (level) {
    case kPortable:
        return "scalar";
    case kSSSE3:
        return "SSSE3";
    case kSSE4:
        return "SSE4";
    case kAVX2:
        return "AVX2";
    case kAVX3:
        return "AVX3";
    case kAVX3_DL:
        return "AVX3_DL";
    case kNative:
#if defined(__aarch64__)
        return "NEON";
#else
        return "baseline";
#endif
    }
    return "";
}
} // namespace simd
} // namespace lumo
