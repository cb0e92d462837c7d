// Distance matrix, checked arithmetic, exceptions and memory accounting.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <unistd.h>

#include "BasicCluster.h"
#include "ClusterException.h"
#include "cluster_helpers.h"
#include "SafeInt.h"
#include "UpperDiagonalMatrix.h"
#include "VectorDataFunctions.h"

typedef CSafeInt<unsigned long long> SafeU64;
static const unsigned long long kMax = ~0ULL;

// Runs f and returns the message of the std::out_of_range* it throws ("" if none).
template <typename F>
static std::string RangeError(F f)
{
    try {
        f();
    } catch (std::out_of_range* e) {
        std::string m = e->what();
        delete e;
        return m;
    }
    return "";
}


TEST(UpperDiagonalMatrix, SymmetricStoreAndChecks)
{
    CUpperDiagonalMatrix m(7);
    m.SetValue(2, 5, 1.5);
    EXPECT_EQ(m.GetValue(2, 5), 1.5);
    EXPECT_EQ(m.GetValue(5, 2), 1.5);
    m.SetValue(5, 2, -3.0);
    EXPECT_EQ(m.GetValue(2, 5), -3.0);
    EXPECT_EQ(ClusterError([&] { m.GetValue(7, 0); }).first, 5);
    EXPECT_EQ(ClusterError([&] { m.SetValue(0, -1, 1.0); }).first, 5);
    CUpperDiagonalMatrix empty(0);
    EXPECT_EQ(ClusterError([&] { empty.GetValue(0, 0); }).first, 5);
    EXPECT_EQ(ClusterError([] { CUpperDiagonalMatrix bad(-2); }).first, 5);
}

TEST(UpperDiagonalMatrix, LargeMatrixKeepsEveryPair)
{
    // 1500 rows: a triangle of several megabytes, allocated as one block.
    const int n = 1500;
    CUpperDiagonalMatrix m(n);
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; j += 7)
            m.SetValue(j, i, i * 10000.0 + j);
    for (int i = 0; i < n; i += 3)
        for (int j = i + 1; j < n; j += 7)
        {
            ASSERT_EQ(m.GetValue(i, j), i * 10000.0 + j);
            ASSERT_EQ(m.GetValue(j, i), i * 10000.0 + j);
        }
    m.SetValue(n - 1, n - 1, 2.5); // the diagonal has room too
    EXPECT_EQ(m.GetValue(n - 1, n - 1), 2.5);
    EXPECT_EQ(m.GetSize(), n);
}

TEST(UpperDiagonalMatrix, NodesAddressSlots)
{
    // Three slots for five nodes: nodes 3 and 4 start without a slot.
    CUpperDiagonalMatrix m(3, 5);
    m.SetValue(0, 1, 1.0);
    m.SetValue(0, 2, 2.0);
    m.SetValue(1, 2, 3.0);
    EXPECT_EQ(ClusterError([&] { m.GetValue(0, 3); }).first, 5);
    // Node 3 takes over slot 1 from node 1: it sees node 1's values.
    m.AssignSlot(3, m.Slot(1));
    m.AssignSlot(1, -1);
    EXPECT_EQ(m.GetValue(3, 0), 1.0);
    EXPECT_EQ(m.GetValue(2, 3), 3.0);
    EXPECT_EQ(ClusterError([&] { m.GetValue(1, 0); }).first, 5);
    m.SetValue(3, 2, 4.0);
    EXPECT_EQ(m.GetValue(2, 3), 4.0);
    EXPECT_EQ(m.GetValue(0, 2), 2.0);
    EXPECT_EQ(ClusterError([&] { m.GetValue(5, 0); }).first, 5);
    EXPECT_EQ(ClusterError([] { CUpperDiagonalMatrix bad(4, 3); }).first, 5);

    // A pending refill runs before the first checked access, once.
    int refills = 0;
    m.SetRefill([&] {
        ++refills;
        m.AssignSlot(1, 1);
        m.AssignSlot(3, -1);
    });
    EXPECT_EQ(m.GetValue(1, 2), 4.0);
    EXPECT_EQ(m.GetValue(1, 0), 1.0);
    EXPECT_EQ(refills, 1);
}

TEST(UpperDiagonalMatrix, MemoryRequirement)
{
    // A triangle of 5 slots: 15 values and 5 row pointers.
    EXPECT_EQ(CUpperDiagonalMatrix::GetMemoryRequirement(5), 160u);
    EXPECT_EQ(CUpperDiagonalMatrix::GetMemoryRequirement(0), 0u);
    EXPECT_EQ(RangeError([] { CUpperDiagonalMatrix::GetMemoryRequirement(1ULL << 31); }),
              "Multiply argument out of range");
}

TEST(SafeInt, AddBoundaries)
{
    EXPECT_EQ(RangeError([] { SafeU64::Add(kMax, 1); }), "Add argument out of range");
    EXPECT_EQ(RangeError([] { SafeU64::Add(1, kMax); }), "Add argument out of range");
    EXPECT_EQ(SafeU64::Add(1ULL << 63, (1ULL << 63) - 1), kMax);
    EXPECT_EQ(SafeU64::Add(kMax, 0), kMax);
    EXPECT_EQ(RangeError([] { SafeU64::Add(1ULL << 63, 1ULL << 63); }), "Add argument out of range");
}

TEST(SafeInt, MultiplyDetectsEveryOverflow)
{
    EXPECT_EQ(SafeU64::Multiply(0, kMax), 0u);
    EXPECT_EQ(SafeU64::Multiply(kMax, 0), 0u);
    EXPECT_EQ(SafeU64::Multiply(1, kMax), kMax);
    EXPECT_EQ(SafeU64::Multiply(1ULL << 32, (1ULL << 32) - 1), kMax - ((1ULL << 32) - 1));
    EXPECT_EQ(RangeError([] { SafeU64::Multiply(1ULL << 32, 1ULL << 32); }), "Multiply argument out of range");
    // Wraps to 2^33 + 1, above both operands.
    EXPECT_EQ(RangeError([] { SafeU64::Multiply((1ULL << 32) + 1, (1ULL << 32) + 1); }),
              "Multiply argument out of range");
    EXPECT_EQ(RangeError([] { SafeU64::Multiply(3, 6148914691236517206ULL); }), "Multiply argument out of range");
    EXPECT_EQ(SafeU64::Multiply(3, 6148914691236517205ULL), kMax);
    EXPECT_EQ(RangeError([] { SafeU64::Multiply(kMax, kMax); }), "Multiply argument out of range");
}

TEST(SafeInt, DivideAndMod)
{
    EXPECT_EQ(SafeU64::Divide(7, 2), 3u);
    EXPECT_EQ(SafeU64::Mod(7, 2), 1u);
    EXPECT_EQ(RangeError([] { SafeU64::Divide(7, 0); }), "Divide argument out of range");
    EXPECT_EQ(RangeError([] { SafeU64::Mod(7, 0); }), "Mod argument out of range");
}

TEST(ClusterException, IdAndMessage)
{
    CClusterException* e = new CClusterException(4, "pNode is NULL");
    EXPECT_EQ(e->Id(), 4);
    EXPECT_EQ(e->Message(), "pNode is NULL");
    delete e;
    std::exception* base = new invalid_index();
    delete base;
}

TEST(MemoryAccounting, RequirementOfARun)
{
    CEuclidean euclid;
    CCentroidLinkage centroid;
    CBasicCluster e(&euclid, &centroid);
    // 3 rows of 16 bytes: a triangle of 3 slots (6 values, 3 row pointers:
    // 72), 5 nodes of 65 + 16 bytes (405), 4 leaf places of 268 + 16 bytes
    // (1136), 400 fixed and 88 for each function.
    EXPECT_EQ(e.GetMemoryRequirement(16, 3), 72u + 405u + 1136u + 400u + 176u);
    CCorrelation corr(3);
    EXPECT_EQ(corr.GetMemoryRequirement(), 85u);
    CBasicCluster c(&corr, &centroid);
    EXPECT_EQ(c.GetMemoryRequirement(16, 3), 72u + 405u + 1136u + 400u + 173u);
    CBasicCluster none(0, 0);
    EXPECT_EQ(none.GetMemoryRequirement(16, 3), 72u + 405u + 1136u + 400u);
    // 16,000 rows of 20 columns need about 4n^2 bytes, not the 32n^2 of a
    // square over all node indices.
    const double big = static_cast<double>(e.GetMemoryRequirement(160, 16000));
    EXPECT_GT(big, 4.0 * 16000.0 * 16000.0);
    EXPECT_LT(big, 4.1 * 16000.0 * 16000.0);
    // Overflow of the formula surfaces as std::out_of_range*.
    EXPECT_FALSE(RangeError([&] { e.GetMemoryRequirement(8, 1ULL << 40); }).empty());
    EXPECT_FALSE(RangeError([&] { e.GetMemoryRequirement(kMax - 8, 2); }).empty());
    // Doubling a huge row count must not wrap to a small node count.
    EXPECT_FALSE(RangeError([&] { e.GetMemoryRequirement(8, (1ULL << 63) + 1); }).empty());
    EXPECT_FALSE(RangeError([&] { e.GetMemoryRequirement(8, 0); }).empty());
}

TEST(MemoryAccounting, ProbeBlocks)
{
    unsigned long long full = 0, rest = 0;
    CCluster::GetProbeBlocks(2147483647ULL, &full, &rest);
    EXPECT_EQ(full, 1u);
    EXPECT_EQ(rest, 0u);
    CCluster::GetProbeBlocks(2147483648ULL, &full, &rest);
    EXPECT_EQ(full, 1u);
    EXPECT_EQ(rest, 1u);
    CCluster::GetProbeBlocks(100, &full, &rest);
    EXPECT_EQ(full, 0u);
    EXPECT_EQ(rest, 100u);
    CCluster::GetProbeBlocks(0, &full, &rest);
    EXPECT_EQ(full + rest, 0u);
}

namespace
{
// A clustering object whose requirement is set by the test.
class CFixedRequirement : public CBasicCluster
{
public:
    explicit CFixedRequirement(unsigned long long req) : CBasicCluster(0, 0), m_req(req) {}
    virtual unsigned long long GetMemoryRequirement(unsigned long long, unsigned long long) { return m_req; }

private:
    unsigned long long m_req;
};

// Requirement formula that overflows.
class COverflowingRequirement : public CBasicCluster
{
public:
    COverflowingRequirement() : CBasicCluster(0, 0) {}
    virtual unsigned long long GetMemoryRequirement(unsigned long long, unsigned long long)
    {
        return SafeU64::Add(kMax, 1);
    }
};
} // namespace

TEST(MemoryAccounting, CheckMemory)
{
    const std::pair<int, std::string> noMemory(1, "Not enough memory available to cluster.");
    CEuclidean euclid;
    CCentroidLinkage centroid;
    CBasicCluster small(&euclid, &centroid);
    EXPECT_NO_THROW(small.CheckMemory(8 * 20, 1000));
    CFixedRequirement exactBlock(2147483647ULL), blockAndOne(2147483648ULL);
    unsigned long long physical =
        static_cast<unsigned long long>(sysconf(_SC_PHYS_PAGES)) * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
    if (physical > 2147483648ULL)
    {
        EXPECT_NO_THROW(exactBlock.CheckMemory(0, 0));
        EXPECT_NO_THROW(blockAndOne.CheckMemory(0, 0));
    }
    // More than the machine has: refused even where the allocator overcommits.
    CFixedRequirement beyondPhysical(physical + 1);
    EXPECT_EQ(ClusterError([&] { beyondPhysical.CheckMemory(0, 0); }), noMemory);
    CFixedRequirement huge(1ULL << 62);
    EXPECT_EQ(ClusterError([&] { huge.CheckMemory(0, 0); }), noMemory);
    COverflowingRequirement overflow;
    EXPECT_EQ(ClusterError([&] { overflow.CheckMemory(0, 0); }), noMemory);
    // The real formula: a million rows need 32 TB of distances.
    EXPECT_EQ(ClusterError([&] { small.CheckMemory(8 * 20, 1000000); }), noMemory);
    EXPECT_EQ(ClusterError([&] { small.CheckMemory(8, 1ULL << 40); }), noMemory);
    EXPECT_EQ(ClusterError([&] { small.CheckMemory(8, 0); }), noMemory);
}
