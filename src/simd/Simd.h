#ifndef LUMO_SIMD_SIMD_H
#define LUMO_SIMD_SIMD_H

// The one choice of instruction set for every vector kernel of the library.
//
// The processor is probed once, when a kernel first asks (never at load), from
// its feature bits and the registers its operating system saves. Each kernel
// keeps a table of the variants it was compiled for, widest first, each tagged
// with the level it needs, and runs the first one at or below the active level
// (Pick). Every table ends with the portable variant, which runs everywhere,
// also in a build without the vector library.
//
// The active level is the best one the processor runs; SetLevel forces a
// narrower one, as an older processor would have it, for comparisons in tests
// and benchmarks.

#include <cstdint>

namespace lumo
{
namespace simd
{
// Within one architecture a higher level runs everything a lower one does.
enum Level
{
    kPortable = 0, // plain C++ (the compiler's baseline), on any processor
    kSSSE3 = 1,    // x86: SSE up to SSSE3
    kSSE4 = 2,     // x86: SSE4.1, SSE4.2, POPCNT, CLMUL, AES
    kAVX2 = 3,     // x86: AVX2, FMA, F16C, BMI1, BMI2, LZCNT
    kAVX3 = 4,     // x86: AVX-512 F, DQ, CD, BW, VL
    kAVX3_DL = 5,  // x86: AVX3 with VBMI, VBMI2, VAES, VPCLMULQDQ, VNNI, BITALG, VPOPCNTDQ
    kNative = 6    // other architectures: the vectors every processor of the build has (NEON on arm64)
};
const int kLevelCount = 7;

// The levels this processor runs, bit L for level L; kPortable is always in.
uint32_t RunnableLevels();
// The widest level this processor runs.
Level BestLevel();
// The level the kernels use: BestLevel(), unless SetLevel chose another.
Level ActiveLevel();
// Makes the kernels use `level`; a level this processor does not run (or a
// negative one) restores the best. Returns the level used before.
// Process-wide; meant for comparisons, not to be changed while kernels run.
Level SetLevel(int level);
// "scalar" for kPortable, else the instruction set's name ("SSSE3", "SSE4",
// "AVX2", "AVX3", "AVX3_DL", "NEON", ...).
const char* LevelName(Level level);

// Index of the entry of table[0..count) that runs: the first whose `level`
// member is runnable and at most the active level. The last entry is the
// portable one and always qualifies.
template <class T> int Pick(const T* table, int count)
{
    const uint32_t runnable = RunnableLevels();
    const int active = ActiveLevel();
    for (int i = 0; i + 1 < count; i++)
        if ((runnable >> table[i].level & 1u) != 0 && (int)table[i].level <= active)
            return i;
    return count - 1;
}
} // namespace simd
} // namespace lumo

#endif
