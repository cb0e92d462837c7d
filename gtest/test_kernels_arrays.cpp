// Offset arrays of the kernels: index ranges, contiguous matrix rows, empty
// ranges, and failed allocations reported through the message hook.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "lumo.h"

// Catches offset ranges not fully valid, rows outside one block, failing empty ranges.
TEST(OffsetArrays, RangesRowsAndEmptyRanges)
{
    double* v = vector(-2, 3);
    long32* iv = ivector(5, 9);
    int* ints = intvector(0, 0);
    double** m = matrix(1, 3, 0, 4);
    double** m0 = matrix(0, -1, 0, 3);
    long32** i0 = imatrix(0, -1, 0, -1);
    double* v0 = vector(0, -1);
    ASSERT_TRUE(v && iv && ints && m && m0 && i0 && v0);
    for (long32 i = -2; i <= 3; i++)
        v[i] = i;
    for (long32 i = 5; i <= 9; i++)
        iv[i] = i;
    for (long32 i = 1; i <= 3; i++)
        for (long32 j = 0; j <= 4; j++)
            m[i][j] = 10 * i + j;
    ints[0] = 7;
    EXPECT_TRUE(v[-2] + v[3] == 1.0 && iv[5] + iv[9] == 14 && m[3][4] == 34.0);
    EXPECT_EQ(&m[2][0], &m[1][0] + 5);
    free_vector(v, -2, 3);
    free_ivector(iv, 5, 9);
    free_intvector(ints, 0, 0);
    free_matrix(m, 1, 3, 0, 4);
    free_matrix(m0, 0, -1, 0, 3);
    free_imatrix(i0, 0, -1, 0, -1);
    free_vector(v0, 0, -1);
    CDoubleMatrix owner(0, 5);
    CLongVector empty(0);
    EXPECT_TRUE(owner.get() != 0 && empty.get() != 0);
}

namespace
{
std::string g_said;
void Capture(const char* text)
{
    g_said += text;
}

const long32 kHuge = 1 << 28; // at least 1 GiB for every element type
const struct
{
    bool (*fails)();
    const char* text;
    const char* pattern;
} kFailures[] = {
    {[] { return vector(0, kHuge) == nullptr; }, "\n allocation failure in vector()\n", "failure in vector\\(\\)"},
    {[] { return ivector(1, kHuge) == nullptr; }, "\n allocation failure in ivector()\n", "failure in ivector\\(\\)"},
    {[] { return intvector(0, kHuge) == nullptr; }, "\n allocation failure in intvector()\n",
     "failure in intvector\\(\\)"},
    {[] { return matrix(0, 1 << 14, 0, 1 << 14) == nullptr; }, "allocation fialure\n", "allocation fialure"},
};

// In a child with too small an address space: exits 0 when the hook got the
// text and, without a hook, it went to standard output (sent to the matcher).
template <class Case> void FailInSmallAddressSpace(const Case& c)
{
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = 256u << 20;
    setrlimit(RLIMIT_AS, &limit);
    SetOffsetArrayMessageHook(&Capture);
    const bool hooked = c.fails() && g_said == c.text;
    SetOffsetArrayMessageHook(nullptr);
    dup2(2, 1);
    std::exit(hooked && c.fails() ? 0 : 1);
}
} // namespace

// Catches failed allocations that return garbage or report the wrong text or none.
TEST(OffsetArraysDeathTest, FailedAllocationsReportThroughTheHook)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator ends the process instead of returning null";
#endif
    for (const auto& c : kFailures)
        EXPECT_EXIT(FailInSmallAddressSpace(c), ::testing::ExitedWithCode(0), c.pattern) << c.text;
}
