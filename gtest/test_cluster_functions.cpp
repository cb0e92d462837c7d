// The parts of the clustering engine: distance and merge functions, the
// distance matrix, checked arithmetic, memory accounting, tree nodes and
// their leaf lists.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <unistd.h>

#include "BasicCluster.h"
#include "SafeInt.h"
#include "UpperDiagonalMatrix.h"
#include "VectorDataFunctions.h"
#include "cluster_helpers.h"

typedef CSafeInt<unsigned long long> SafeU64;
static const unsigned long long kMax = ~0ULL;

// Runs f and returns the message of the std::out_of_range* it throws ("" if none).
static std::string RangeError(const std::function<void()>& f)
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

// Values of both distances, the rounding guard of the correlation, and the
// weighting of merged data by the rows below each node.
TEST(VectorData, DistanceAndMergeValues)
{
    Vec x{1, 2, 3}, y{2, 4, 6}, z{3, 2, 1}, w{1, 3, 2}, p{0, 0}, q{3, 4};
    CClusterNode a(&x, 0), b(&y, 1), c(&z, 2), d(&w, 3), e(&p, 4), f(&q, 5);
    CEuclidean euclid;
    EXPECT_EQ(euclid.Distance(&e, &f), 5.0);
    EXPECT_EQ(euclid.Distance(&f, &e), 5.0);
    CCorrelation corr(4);
    EXPECT_NEAR(corr.Distance(&a, &b), 0.0, 1e-15);
    EXPECT_NEAR(corr.Distance(&a, &c), 2.0, 1e-15);
    EXPECT_NEAR(corr.Distance(&a, &d), 0.5, 1e-15);
    EXPECT_NEAR(corr.Distance(&d, &a), 0.5, 1e-15); // from the cached statistics
    // A correlation that rounds just past +-1 counts as +-1; further out it is no distance.
    EXPECT_EQ(CCorrelation::DistanceOf(1.0 + 0x1p-52, 1.0, 1.0), 0.0);
    EXPECT_EQ(CCorrelation::DistanceOf(-1.0 - 0x1p-52, 1.0, 1.0), 2.0);
    EXPECT_TRUE(std::isnan(CCorrelation::DistanceOf(1.001, 1.0, 1.0)));
    EXPECT_TRUE(std::isnan(CCorrelation::DistanceOf(-1.001, 1.0, 1.0)));

    Vec s{0, 0}, t{9, 9}, u{0, 0}, m{3, 3};
    CClusterNode ns(&s, 0), nt(&t, 1), nu(&u, 2), ntu(&m, 3, &nt, &nu);
    CCentroidLinkage link;
    CAddVectors add;
    for (auto r : {std::make_pair(link.CombineData(&ns, &ntu), Vec{2, 2}),
                   std::make_pair(link.CombineData(&ntu, &ns), Vec{2, 2}),
                   std::make_pair(link.CombineData(&ns, &nt), Vec{4.5, 4.5}),
                   std::make_pair(add.CombineData(&nt, &ntu), Vec{12, 12})})
    {
        std::unique_ptr<Vec> got(static_cast<Vec*>(r.first));
        EXPECT_EQ(*got, r.second);
    }
}

// Every argument check of the distance and merge functions, by id and message.
TEST(VectorData, ArgumentChecks)
{
    const std::string outside = "correlation value was outside the range (-1, 1)";
    const std::string sizes = "pData1->size() != pData2->size()";
    Vec x{1, 2, 3}, flat{5, 5, 5}, y{1, 2}, empty, nan{1, std::numeric_limits<double>::quiet_NaN(), 3};
    CClusterNode a(&x, 0), fl(&flat, 1), b(&y, 2), none(nullptr, 3), em(&empty, 4), na(&nan, 1);
    CClusterNode far(&x, 5), negative(&x, -1);
    CEuclidean euclid;
    CCorrelation corr(3), noCache(0);
    CCentroidLinkage link;
    CAddVectors add;
    struct SCheck
    {
        std::function<void()> call;
        int id;
        std::string message;
    } checks[] = {
        {[&] { euclid.Distance(nullptr, &a); }, 4, "pNode1 is NULL"},
        {[&] { euclid.Distance(&a, nullptr); }, 4, "pNode2 is NULL"},
        {[&] { euclid.Distance(&none, &a); }, 4, "pData1 is NULL"},
        {[&] { euclid.Distance(&a, &none); }, 4, "pData2 is NULL"},
        {[&] { euclid.Distance(&em, &em); }, 5, "pData1->size() == 0"},
        {[&] { euclid.Distance(&a, &b); }, 5, sizes},
        {[&] { corr.Distance(&a, &fl); }, 5, outside},
        {[&] { corr.Distance(&fl, &fl); }, 5, outside},
        {[&] { corr.Distance(&em, &em); }, 5, outside},
        {[&] { corr.Distance(&na, &a); }, 5, outside},
        {[&] { corr.Distance(&a, &b); }, 5, sizes},
        {[&] { corr.Distance(&none, &a); }, 4, "pData1 is NULL"},
        {[&] { corr.Distance(&a, &none); }, 4, "pData2 is NULL"},
        {[&] { corr.Distance(&a, &far); }, 5, "node index out of range of the correlation cache"},
        {[&] { corr.Distance(&negative, &a); }, 5, "node index out of range of the correlation cache"},
        {[&] { noCache.Distance(&a, &a); }, 5, "node index out of range of the correlation cache"},
        {[&] { link.CombineData(nullptr, &a); }, 4, "pNode1 is NULL"},
        {[&] { link.CombineData(&a, nullptr); }, 4, "pNode2 is NULL"},
        {[&] { link.CombineData(&none, &a); }, 4, "pData1 is NULL"},
        {[&] { link.CombineData(&a, &none); }, 4, "pData2 is NULL"},
        {[&] { link.CombineData(&a, &b); }, 5, sizes},
        {[&] { add.CombineData(&a, &b); }, 5, sizes},
        {[&] { add.CombineData(&none, &a); }, 4, "pData1 is NULL"},
    };
    for (std::size_t k = 0; k < sizeof checks / sizeof checks[0]; ++k)
        EXPECT_EQ(ClusterError(checks[k].call), std::make_pair(checks[k].id, checks[k].message)) << "check " << k;
}

// Stores and reads both halves, rejects indices outside, addresses nodes
// through slots, and runs a pending refill once before the first checked read.
TEST(UpperDiagonalMatrix, StoreSlotsAndRefill)
{
    // 1500 rows: a triangle of several megabytes, allocated as one aligned block.
    const int n = 1500;
    CUpperDiagonalMatrix big(n);
    for (int i = 0; i < n; i += 3)
        for (int j = i + 1; j < n; j += 7)
            big.SetValue(j, i, i * 10000.0 + j);
    for (int i = 0; i < n; i += 3)
        for (int j = i + 1; j < n; j += 7)
            ASSERT_EQ(big.GetValue(i, j), i * 10000.0 + j);
    big.SetValue(n - 1, n - 1, 2.5);
    EXPECT_EQ(big.GetValue(n - 1, n - 1), 2.5);
    EXPECT_EQ(ClusterError([&] { big.GetValue(n, 0); }).first, 5);
    EXPECT_EQ(ClusterError([&] { big.SetValue(0, -1, 1.0); }).first, 5);
    CUpperDiagonalMatrix empty(0);
    EXPECT_EQ(ClusterError([&] { empty.GetValue(0, 0); }).first, 5);
    EXPECT_EQ(ClusterError([] { CUpperDiagonalMatrix bad(-2); }).first, 5);
    EXPECT_EQ(ClusterError([] { CUpperDiagonalMatrix bad(4, 3); }).first, 5);

    // Three slots for five nodes: nodes 3 and 4 start without a slot.
    CUpperDiagonalMatrix m(3, 5);
    m.SetValue(0, 1, 1.0);
    m.SetValue(0, 2, 2.0);
    m.SetValue(1, 2, 3.0);
    EXPECT_EQ(ClusterError([&] { m.GetValue(0, 3); }).first, 5);
    m.AssignSlot(3, m.Slot(1)); // node 3 takes over node 1's slot and values
    m.AssignSlot(1, -1);
    EXPECT_EQ(m.GetValue(3, 0), 1.0);
    EXPECT_EQ(ClusterError([&] { m.GetValue(1, 0); }).first, 5);
    m.SetValue(3, 2, 4.0);
    EXPECT_EQ(m.GetValue(2, 3), 4.0);
    EXPECT_EQ(m.GetValue(0, 2), 2.0);
    EXPECT_EQ(ClusterError([&] { m.GetValue(5, 0); }).first, 5);
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

// Overflow checks at the boundaries of 64-bit arithmetic.
TEST(SafeInt, Boundaries)
{
    const std::string add = "Add argument out of range", mul = "Multiply argument out of range";
    struct SCase
    {
        std::function<unsigned long long()> f;
        unsigned long long value;
        std::string error;
    } cases[] = {
        {[] { return SafeU64::Add(kMax, 1); }, 0, add},
        {[] { return SafeU64::Add(1, kMax); }, 0, add},
        {[] { return SafeU64::Add(1ULL << 63, 1ULL << 63); }, 0, add},
        {[] { return SafeU64::Add(1ULL << 63, (1ULL << 63) - 1); }, kMax, ""},
        {[] { return SafeU64::Add(kMax, 0); }, kMax, ""},
        {[] { return SafeU64::Multiply(0, kMax); }, 0, ""},
        {[] { return SafeU64::Multiply(kMax, 0); }, 0, ""},
        {[] { return SafeU64::Multiply(1, kMax); }, kMax, ""},
        {[] { return SafeU64::Multiply(1ULL << 32, (1ULL << 32) - 1); }, kMax - ((1ULL << 32) - 1), ""},
        {[] { return SafeU64::Multiply(1ULL << 32, 1ULL << 32); }, 0, mul},
        {[] { return SafeU64::Multiply((1ULL << 32) + 1, (1ULL << 32) + 1); }, 0, mul}, // wraps above both
        {[] { return SafeU64::Multiply(3, 6148914691236517206ULL); }, 0, mul},
        {[] { return SafeU64::Multiply(3, 6148914691236517205ULL); }, kMax, ""},
        {[] { return SafeU64::Multiply(kMax, kMax); }, 0, mul},
        {[] { return SafeU64::Divide(7, 2); }, 3, ""},
        {[] { return SafeU64::Mod(7, 2); }, 1, ""},
        {[] { return SafeU64::Divide(7, 0); }, 0, "Divide argument out of range"},
        {[] { return SafeU64::Mod(7, 0); }, 0, "Mod argument out of range"},
    };
    for (std::size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k)
    {
        unsigned long long got = 0;
        EXPECT_EQ(RangeError([&] { got = cases[k].f(); }), cases[k].error) << "case " << k;
        EXPECT_EQ(got, cases[k].value) << "case " << k;
    }
}

// A clustering object whose requirement is set by the test (all ones: overflows).
class CFixedRequirement : public CBasicCluster
{
public:
    explicit CFixedRequirement(unsigned long long req) : CBasicCluster(0, 0), m_req(req) {}
    virtual unsigned long long GetMemoryRequirement(unsigned long long, unsigned long long)
    {
        return m_req == kMax ? SafeU64::Add(kMax, 1) : m_req;
    }

private:
    unsigned long long m_req;
};

// The requirement of a run, its overflow checks, the probe blocks, and the
// refusal of requirements beyond the machine.
TEST(MemoryAccounting, RequirementAndCheck)
{
    CEuclidean euclid;
    CCentroidLinkage centroid;
    CAddVectors add;
    CCorrelation corr(3);
    EXPECT_EQ(CUpperDiagonalMatrix::GetMemoryRequirement(5), 160u); // 15 values, 5 row pointers
    EXPECT_EQ(CUpperDiagonalMatrix::GetMemoryRequirement(4), 112u);
    EXPECT_EQ(CUpperDiagonalMatrix::GetMemoryRequirement(0), 0u);
    EXPECT_EQ(RangeError([] { CUpperDiagonalMatrix::GetMemoryRequirement(1ULL << 31); }), "Multiply argument out of range");
    EXPECT_EQ(add.GetMemoryRequirement(), 88u);
    // 3 rows of 16 bytes: a triangle of 3 slots (72), 5 nodes of 65 + 16
    // bytes (405), 4 leaf places of 268 + 16 bytes (1136), 400 fixed, and
    // the functions (88 each, correlation 17 per node index).
    const unsigned long long base = 72 + 405 + 1136 + 400;
    EXPECT_EQ(CBasicCluster(&euclid, &centroid).GetMemoryRequirement(16, 3), base + 176);
    EXPECT_EQ(CBasicCluster(&corr, &centroid).GetMemoryRequirement(16, 3), base + 85 + 88);
    EXPECT_EQ(CBasicCluster(0, 0).GetMemoryRequirement(16, 3), base);
    // 16,000 rows of 20 columns need about 4n^2 bytes, not a square over all nodes.
    CBasicCluster e(&euclid, &centroid);
    const double big = static_cast<double>(e.GetMemoryRequirement(160, 16000));
    EXPECT_GT(big, 4.0 * 16000.0 * 16000.0);
    EXPECT_LT(big, 4.1 * 16000.0 * 16000.0);
    // Overflows of the formula, including a doubled row count that would wrap.
    for (auto sizes : {std::make_pair(8ULL, 1ULL << 40), std::make_pair(kMax - 8, 2ULL),
                       std::make_pair(8ULL, (1ULL << 63) + 1), std::make_pair(8ULL, 0ULL)})
        EXPECT_FALSE(RangeError([&] { e.GetMemoryRequirement(sizes.first, sizes.second); }).empty());

    unsigned long long full = 0, rest = 0;
    for (auto c : {std::make_tuple(2147483647ULL, 1ULL, 0ULL), std::make_tuple(2147483648ULL, 1ULL, 1ULL),
                   std::make_tuple(100ULL, 0ULL, 100ULL), std::make_tuple(0ULL, 0ULL, 0ULL)})
    {
        CCluster::GetProbeBlocks(std::get<0>(c), &full, &rest);
        EXPECT_EQ(std::make_pair(full, rest), std::make_pair(std::get<1>(c), std::get<2>(c))) << std::get<0>(c);
    }

    const std::pair<int, std::string> noMemory(1, "Not enough memory available to cluster.");
    EXPECT_EQ(ClusterError([&] { e.CheckMemory(8 * 20, 1000); }).first, 0);
    const unsigned long long physical =
        static_cast<unsigned long long>(sysconf(_SC_PHYS_PAGES)) * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
    for (unsigned long long req : {2147483647ULL, 2147483648ULL})
        EXPECT_TRUE(physical <= req || ClusterError([&] { CFixedRequirement(req).CheckMemory(0, 0); }).first == 0) << req;
    // Beyond the machine: refused even where the allocator overcommits.
    for (unsigned long long req : {physical + 1, 1ULL << 62, kMax})
        EXPECT_EQ(ClusterError([&] { CFixedRequirement(req).CheckMemory(0, 0); }), noMemory) << req;
    EXPECT_EQ(ClusterError([&] { e.CheckMemory(8 * 20, 1000000); }), noMemory); // 32 TB of distances
    EXPECT_EQ(ClusterError([&] { e.CheckMemory(8, 1ULL << 40); }), noMemory);
    EXPECT_EQ(ClusterError([&] { e.CheckMemory(8, 0); }), noMemory);
}

namespace
{
struct SCollect : public CClusterNodeFunction
{
    std::vector<int> seen;
    virtual void Go(CClusterNode* pNode) { seen.push_back(pNode->GetIndex()); }
};

std::vector<int> Indices(CClusterNodeVector* v)
{
    std::vector<int> out;
    for (CClusterNodeVector_iterator it = v->begin(); it != v->end(); it++)
        out.push_back((*it)->GetIndex());
    return out;
}

template <void (CClusterNode::*Walk)(CClusterNodeFunction*)> std::vector<int> Visit(CClusterNode* p)
{
    SCollect c;
    (p->*Walk)(&c);
    return c.seen;
}
} // namespace

// (a, (b, c)): leaf counts, parents, leaf lists, walks, membership, and
// swaps, which reorder the swapped node's lists but not its ancestors'.
TEST(ClusterNode, ListsWalksAndSwaps)
{
    CClusterNode a{0, 0}, b{0, 1}, c{0, 2};
    CClusterNode bc{0, 3, &b, &c};
    CClusterNode root{0, 4, &a, &bc};
    EXPECT_TRUE(a.IsLeaf());
    EXPECT_EQ(a.GetLeafCount(), 0);
    EXPECT_EQ(root.GetLeafCount(), 3);
    EXPECT_EQ(a.GetParent(), &root);
    EXPECT_EQ(b.GetParent(), &bc);
    EXPECT_EQ(root.GetParent(), nullptr);
    EXPECT_EQ(Indices(root.GetLeftLeaves()), (std::vector<int>{0}));
    EXPECT_EQ(Indices(root.GetRightLeaves()), (std::vector<int>{1, 2}));
    EXPECT_EQ(Visit<&CClusterNode::WalkTree>(&root), (std::vector<int>{4, 0, 3, 1, 2}));
    EXPECT_EQ(Visit<&CClusterNode::WalkLeaves>(&a), (std::vector<int>{0}));
    EXPECT_TRUE(root.IsLeftLeaf(&a));
    EXPECT_FALSE(root.IsLeftLeaf(&b));
    EXPECT_TRUE(root.IsRightLeaf(&c));
    EXPECT_FALSE(root.IsRightLeaf(&bc)); // internal nodes are not in the lists
    EXPECT_FALSE(root.IsRightLeaf(&a));
    EXPECT_FALSE(a.IsLeftLeaf(&a));
    EXPECT_FALSE(a.IsRightLeaf(&a));
    bc.SwapLeaves();
    EXPECT_EQ(Indices(bc.GetLeftLeaves()), (std::vector<int>{2}));
    EXPECT_EQ(Visit<&CClusterNode::WalkLeaves>(&root), (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(Indices(root.GetRightLeaves()), (std::vector<int>{1, 2}));
    root.SwapLeaves();
    EXPECT_EQ(root.GetLeftChild(), &bc);
    EXPECT_EQ(Indices(root.GetLeftLeaves()), (std::vector<int>{1, 2}));
    EXPECT_EQ(Visit<&CClusterNode::WalkLeaves>(&root), (std::vector<int>{2, 1, 0}));

    CClusterNode half(0, 5, &a, nullptr), none(0, 6, nullptr, nullptr);
    EXPECT_EQ(half.GetLeafCount(), 1);
    EXPECT_TRUE(half.IsLeftLeaf(&a));
    EXPECT_FALSE(half.IsRightLeaf(&a));
    EXPECT_TRUE(none.IsLeaf());
}

// The fixed-capacity leaf list: overfilling, range inserts only at the end,
// iterators that stop at the end and refuse to read past it.
TEST(ClusterNodeVector, CapacityAndIterators)
{
    CClusterNodeVector empty(0), negative(-3);
    EXPECT_TRUE(empty.begin() == empty.end());
    EXPECT_THROW(empty.push_back(nullptr), invalid_index);
    EXPECT_THROW(*empty.begin(), invalid_index);
    EXPECT_EQ(negative.capacity(), -3);
    EXPECT_THROW(negative.push_back(nullptr), invalid_index);
    EXPECT_THROW(CClusterNodeVector_iterator(nullptr, 0), std::bad_alloc);

    CClusterNode a(0, 0), b(0, 1), c(0, 2);
    CClusterNodeVector src(3);
    src.push_back(&a);
    src.insert(src.begin(), &b); // appends whatever the position
    src.push_back(&c);
    EXPECT_EQ(Indices(&src), (std::vector<int>{0, 1, 2}));
    EXPECT_THROW(src.push_back(&a), invalid_index);
    CClusterNodeVector_iterator end = src.end();
    end++;
    EXPECT_TRUE(end == src.end());
    EXPECT_THROW(*end, invalid_index);

    CClusterNodeVector dst(3), small(2);
    EXPECT_THROW(dst.insert(src.begin(), src.begin(), src.end()), invalid_index);
    EXPECT_EQ(dst.size(), 0);
    dst.insert(dst.end(), src.begin(), src.end());
    EXPECT_EQ(Indices(&dst), (std::vector<int>{0, 1, 2}));
    EXPECT_THROW(small.insert(small.end(), src.begin(), src.end()), invalid_index);
    EXPECT_EQ(small.size(), 2);
}
