// Offset arrays of the kernels: index ranges, contiguous matrix rows, empty ranges.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "lumo.h"

TEST(OffsetArrays, VectorsAreValidOverTheirIndexRange)
{
    double* v = vector(-2, 3);
    long32* iv = ivector(5, 9);
    int* ints = intvector(0, 0);
    ASSERT_TRUE(v && iv && ints);
    for (long32 i = -2; i <= 3; i++)
        v[i] = i;
    for (long32 i = 5; i <= 9; i++)
        iv[i] = i;
    ints[0] = 7;
    EXPECT_EQ(v[-2] + v[3], 1.0);
    EXPECT_EQ(iv[5] + iv[9], 14);
    free_vector(v, -2, 3);
    free_ivector(iv, 5, 9);
    free_intvector(ints, 0, 0);
}

TEST(OffsetArrays, MatrixRowsShareOneRowMajorBlock)
{
    double** m = matrix(1, 3, 0, 4);
    ASSERT_TRUE(m != 0);
    for (long32 i = 1; i <= 3; i++)
        for (long32 j = 0; j <= 4; j++)
            m[i][j] = 10 * i + j;
    EXPECT_EQ(&m[2][0], &m[1][0] + 5);
    EXPECT_EQ(m[3][4], 34.0);
    free_matrix(m, 1, 3, 0, 4);
}

TEST(OffsetArrays, EmptyRangesAllocateAndRelease)
{
    // Empty row or column ranges are legal (a study without genes): nothing
    // may be written outside the blocks on the way in or out.
    double** m0 = matrix(0, -1, 0, 3);
    long32** i0 = imatrix(0, -1, 0, -1);
    double* v0 = vector(0, -1);
    ASSERT_TRUE(m0 && i0 && v0);
    free_matrix(m0, 0, -1, 0, 3);
    free_imatrix(i0, 0, -1, 0, -1);
    free_vector(v0, 0, -1);
    CDoubleMatrix owner(0, 5);
    CLongVector empty(0);
    EXPECT_TRUE(owner.get() != 0 && empty.get() != 0);
}

// Failed allocations report through the message hook, and without one on the
// process's standard output. Each case runs in a child process whose address
// space is too small for the request.
namespace
{
std::string g_said;
void Capture(const char* text) { g_said += text; }

struct SFailedAllocation
{
    const char* name;
    bool (*fails)();
    const char* text;
    const char* pattern; // the text as a regular expression
};

const long32 kHuge = 1 << 28; // at least 1 GiB for every element type

const SFailedAllocation kFailures[] = {
    {"vector", [] { return vector(0, kHuge) == nullptr; }, "\n allocation failure in vector()\n",
     "allocation failure in vector\\(\\)"},
    {"ivector", [] { return ivector(1, kHuge) == nullptr; }, "\n allocation failure in ivector()\n",
     "allocation failure in ivector\\(\\)"},
    {"intvector", [] { return intvector(0, kHuge) == nullptr; }, "\n allocation failure in intvector()\n",
     "allocation failure in intvector\\(\\)"},
    {"matrix", [] { return matrix(0, 1 << 14, 0, 1 << 14) == nullptr; }, "allocation fialure\n",
     "allocation fialure"},
};

// Child process body: exits with 0 when the hook received the text and the
// default then wrote it to standard output (redirected to the matcher).
void FailInSmallAddressSpace(const SFailedAllocation& c)
{
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = 256u << 20;
    setrlimit(RLIMIT_AS, &limit);
    SetOffsetArrayMessageHook(&Capture);
    bool hooked = c.fails() && g_said == c.text;
    SetOffsetArrayMessageHook(nullptr);
    dup2(2, 1);
    std::exit(hooked && c.fails() ? 0 : 1);
}

} // namespace

TEST(OffsetArraysDeathTest, FailedAllocationsReportThroughTheHook)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's allocator ends the process when it runs out of address
    // space instead of returning null.
    GTEST_SKIP() << "allocation failures cannot be provoked under a sanitizer";
#endif
    for (const SFailedAllocation& c : kFailures) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(FailInSmallAddressSpace(c), ::testing::ExitedWithCode(0), c.pattern);
    }
}
