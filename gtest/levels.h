#ifndef LUMO_GTEST_LEVELS_H
#define LUMO_GTEST_LEVELS_H

// The instruction-set levels of lumo::simd for tests that compare the vector
// kernels across them.

#include <vector>

#include "simd/Simd.h"

namespace kh
{
// Every level this processor runs, narrowest first.
inline std::vector<lumo::simd::Level> RunnableLevels()
{
    std::vector<lumo::simd::Level> levels;
    const uint32_t runnable = lumo::simd::RunnableLevels();
    for (int level = 0; level < lumo::simd::kLevelCount; level++)
        if ((runnable >> level & 1u) != 0)
            levels.push_back((lumo::simd::Level)level);
    return levels;
}

// Makes the kernels use a level while it lives, as a processor that has
// nothing wider would.
class CForcedLevel
{
public:
    explicit CForcedLevel(lumo::simd::Level level) : m_previous(lumo::simd::SetLevel(level)) {}
    ~CForcedLevel() { lumo::simd::SetLevel(m_previous); }

private:
    CForcedLevel(const CForcedLevel&);
    CForcedLevel& operator=(const CForcedLevel&);
    lumo::simd::Level m_previous;
};
} // namespace kh

#endif
