// The parts of the clustering engine: argument checks of the distance and
// merge functions and the matrix, checked arithmetic, memory accounting,
// tree nodes and their leaf lists (the list itself is exercised by every run).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <limits>
#include <stdexcept>
#include <unistd.h>

#include "BasicCluster.h"
#include "SafeInt.h"
#include "UpperDiagonalMatrix.h"
#include "VectorDataFunctions.h"
#include "helpers.h"
#include "levels.h"

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

// The rounding guard of the correlation, and merged data weighted by the
// rows below each node (or simply added).
TEST(VectorData, RoundingGuardAndMergedData)
{
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
                   std::make_pair(add.CombineData(&nt, &ntu), Vec{12, 12})}) {
        EXPECT_EQ(*static_cast<Vec*>(r.first), r.second);
        delete static_cast<Vec*>(r.first);
    }
}

// Catches a block-sum kernel of any level that reorders a row's sum, fuses a
// multiply into an add, or mishandles a block pair, a single block or the
// first block b0 > 0: every value against the pair-by-pair loop written out.
TEST(VectorData, BlockSumsOfEveryLevelAreThePairByPairSums)
{
    const struct
    {
        std::size_t dim;
        int b0, b1;
    } cases[] = {{1, 0, 1}, {3, 0, 2}, {7, 1, 6}, {17, 0, 9}, {2, 3, 4}, {5, 2, 2}};
    std::mt19937 rng(5);
    std::normal_distribution<double> norm(0.0, 1.0);
    for (const auto& c : cases) {
        std::vector<double> x(c.dim), blocks(4 * c.dim * (std::size_t)c.b1);
        for (double& v : x)
            v = norm(rng) * 1e3;
        for (double& v : blocks)
            v = norm(rng);
        const int rows = 4 * (c.b1 - c.b0);
        std::vector<double> euclid(rows), product(rows);
        for (int r = 0; r < rows; r++) {
            const std::size_t b = (std::size_t)(c.b0 + r / 4), l = (std::size_t)(r % 4);
            // The loops of CEuclidean::Distance and of the correlation.
            double s2 = 0.0, sp = 0.0;
            for (std::size_t k = 0; k < c.dim; k++) {
                const double y = blocks[4 * c.dim * b + 4 * k + l];
                const double d = x[k] - y;
                s2 += d * d;
            }
            for (std::size_t k = 0; k < c.dim; k++)
                sp += x[k] * blocks[4 * c.dim * b + 4 * k + l];
            euclid[r] = std::sqrt(s2);
            product[r] = sp;
        }
        for (lumo::simd::Level level : kh::RunnableLevels()) {
            const kh::CForcedLevel forced(level);
            std::vector<double> e(rows + 1, 7.0), p(rows + 1, 7.0);
            CEuclidean::BlockDistances(x.data(), blocks.data(), c.dim, c.b0, c.b1, e.data());
            CCorrelation::BlockProducts(x.data(), blocks.data(), c.dim, c.b0, c.b1, p.data());
            for (int r = 0; r < rows; r++) {
                EXPECT_TRUE(kh::SameBits(e[r], euclid[r])) << lumo::simd::LevelName(level) << " row " << r;
                EXPECT_TRUE(kh::SameBits(p[r], product[r])) << lumo::simd::LevelName(level) << " row " << r;
            }
            EXPECT_EQ(e[rows], 7.0);
            EXPECT_EQ(p[rows], 7.0);
        }
    }
}

// Every argument check of the distance and merge functions and the matrix.
TEST(VectorData, ArgumentChecks)
{
    const std::string outside = "correlation value was outside the range (-1, 1)";
    const std::string sizes = "pData1->size() != pData2->size()",
                      cache = "node index out of range of the correlation cache";
    Vec x{1, 2, 3}, flat{5, 5, 5}, y{1, 2}, empty, nan{1, std::numeric_limits<double>::quiet_NaN(), 3};
    CClusterNode a(&x, 0), fl(&flat, 1), b(&y, 2), none(nullptr, 3), em(&empty, 4), na(&nan, 1), far(&x, 5),
        neg(&x, -1);
    CEuclidean euclid;
    CCorrelation corr(3), noCache(0);
    CCentroidLinkage link;
    CAddVectors add;
    CUpperDiagonalMatrix m(3, 5), empty0(0);
    const struct
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
        {[&] { corr.Distance(&em, &em); }, 5, outside},
        {[&] { corr.Distance(&na, &a); }, 5, outside},
        {[&] { corr.Distance(&a, &b); }, 5, sizes},
        {[&] { corr.Distance(&a, &none); }, 4, "pData2 is NULL"},
        {[&] { corr.Distance(&a, &far); }, 5, cache},
        {[&] { corr.Distance(&neg, &a); }, 5, cache},
        {[&] { noCache.Distance(&a, &a); }, 5, cache},
        {[&] { link.CombineData(&a, &b); }, 5, sizes},
        {[&] { add.CombineData(&a, &b); }, 5, sizes},
        {[&] { add.CombineData(&a, nullptr); }, 4, "pNode2 is NULL"},
        {[&] { m.GetValue(0, 3); }, 5, "no distance is kept for this node"},
        {[&] { m.GetValue(5, 0); }, 5, "matrix index out of range"},
        {[&] { m.SetValue(0, -1, 1.0); }, 5, "matrix index out of range"},
        {[&] { empty0.GetValue(0, 0); }, 5, "matrix index out of range"},
        {[] { CUpperDiagonalMatrix bad(-2); }, 5, "matrix size is negative"},
        {[] { CUpperDiagonalMatrix bad(4, 3); }, 5, "matrix size is negative"},
    };
    for (std::size_t k = 0; k < sizeof checks / sizeof checks[0]; ++k)
        EXPECT_EQ(ClusterError(checks[k].call), std::make_pair(checks[k].id, checks[k].message)) << "check " << k;
}

// Overflow checks at the boundaries of 64-bit arithmetic (value 0 with a message: throws).
TEST(SafeInt, Boundaries)
{
    const std::string add = "Add argument out of range", mul = "Multiply argument out of range";
    const unsigned long long third = 6148914691236517205ULL; // kMax / 3
    const struct
    {
        std::function<unsigned long long()> f;
        unsigned long long value;
        std::string error;
    } cases[] = {
        {[] { return SafeU64::Add(kMax, 1); }, 0, add},
        {[] { return SafeU64::Add(1ULL << 63, 1ULL << 63); }, 0, add},
        {[] { return SafeU64::Add(1ULL << 63, (1ULL << 63) - 1); }, kMax, ""},
        {[] { return SafeU64::Add(kMax, 0); }, kMax, ""},
        {[] { return SafeU64::Multiply(0, kMax); }, 0, ""},
        {[] { return SafeU64::Multiply(kMax, 0); }, 0, ""},
        {[] { return SafeU64::Multiply(1ULL << 32, (1ULL << 32) - 1); }, kMax - ((1ULL << 32) - 1), ""},
        {[] { return SafeU64::Multiply(1ULL << 32, 1ULL << 32); }, 0, mul},
        {[] { return SafeU64::Multiply((1ULL << 32) + 1, (1ULL << 32) + 1); }, 0, mul}, // wraps above both
        {[=] { return SafeU64::Multiply(3, third + 1); }, 0, mul},
        {[=] { return SafeU64::Multiply(3, third); }, kMax, ""},
        {[] { return SafeU64::Divide(7, 2); }, 3, ""},
        {[] { return SafeU64::Mod(7, 2); }, 1, ""},
        {[] { return SafeU64::Divide(7, 0); }, 0, "Divide argument out of range"},
        {[] { return SafeU64::Mod(7, 0); }, 0, "Mod argument out of range"},
    };
    for (std::size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
        unsigned long long got = 0;
        EXPECT_EQ(RangeError([&] { got = cases[k].f(); }), cases[k].error) << "case " << k;
        EXPECT_EQ(got, cases[k].value) << "case " << k;
    }
}

// A clustering object whose requirement is set by the test (kMax: overflows).
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
    EXPECT_EQ(add.GetMemoryRequirement(), 88u);
    // 3 rows of 16 bytes: a triangle of 3 slots (72), 5 nodes of 65 + 16
    // bytes (405), 4 leaf places of 268 + 16 bytes (1136), 400 fixed, and
    // the functions (88 each, correlation 17 per node index).
    const unsigned long long base = 72 + 405 + 1136 + 400;
    EXPECT_EQ(CBasicCluster(&euclid, &centroid).GetMemoryRequirement(16, 3), base + 176);
    EXPECT_EQ(CBasicCluster(&corr, &centroid).GetMemoryRequirement(16, 3), base + 85 + 88);
    EXPECT_EQ(CBasicCluster(0, 0).GetMemoryRequirement(16, 3), base);
    CBasicCluster e(&euclid, &centroid);
    // Overflows of the formula, including a doubled row count that would wrap.
    EXPECT_FALSE(RangeError([] { CUpperDiagonalMatrix::GetMemoryRequirement(1ULL << 31); }).empty());
    for (auto sizes : {std::make_pair(8ULL, 1ULL << 40), std::make_pair(kMax - 8, 2ULL),
                       std::make_pair(8ULL, (1ULL << 63) + 1), std::make_pair(8ULL, 0ULL)})
        EXPECT_FALSE(RangeError([&] { e.GetMemoryRequirement(sizes.first, sizes.second); }).empty());

    unsigned long long full = 0, rest = 0;
    for (auto c : {std::make_tuple(2147483647ULL, 1ULL, 0ULL), std::make_tuple(2147483648ULL, 1ULL, 1ULL),
                   std::make_tuple(100ULL, 0ULL, 100ULL), std::make_tuple(0ULL, 0ULL, 0ULL)}) {
        CCluster::GetProbeBlocks(std::get<0>(c), &full, &rest);
        EXPECT_EQ(std::make_pair(full, rest), std::make_pair(std::get<1>(c), std::get<2>(c))) << std::get<0>(c);
    }

    const std::pair<int, std::string> noMemory(1, "Not enough memory available to cluster.");
    const unsigned long long physical = static_cast<unsigned long long>(sysconf(_SC_PHYS_PAGES)) *
                                        static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
    EXPECT_EQ(ClusterError([&] { e.CheckMemory(8 * 20, 1000); }).first, 0);
    for (unsigned long long req : {2147483647ULL, 2147483648ULL})
        EXPECT_TRUE(physical <= req || ClusterError([&] { CFixedRequirement(req).CheckMemory(0, 0); }).first == 0);
    // Beyond the machine: refused even where the allocator overcommits.
    for (unsigned long long req : {physical + 1, 1ULL << 62, kMax})
        EXPECT_EQ(ClusterError([&] { CFixedRequirement(req).CheckMemory(0, 0); }), noMemory) << req;
    for (unsigned long long rows : {1000000ULL, 1ULL << 40, 0ULL}) // a million rows: 32 TB of distances
        EXPECT_EQ(ClusterError([&] { e.CheckMemory(8, rows); }), noMemory) << rows;
}

struct SCollect : public CClusterNodeFunction
{
    std::vector<int> seen;
    virtual void Go(CClusterNode* pNode) { seen.push_back(pNode->GetIndex()); }
};

static std::vector<int> Indices(CClusterNodeVector* v)
{
    std::vector<int> out;
    for (CClusterNodeVector_iterator it = v->begin(); it != v->end(); it++)
        out.push_back((*it)->GetIndex());
    return out;
}

// (a, (b, c)): leaf counts, parents, leaf lists, walks and membership; swaps
// reorder the swapped node's lists but not its ancestors'.
TEST(ClusterNode, ListsWalksAndSwaps)
{
    CClusterNode a{0, 0}, b{0, 1}, c{0, 2};
    CClusterNode bc{0, 3, &b, &c};
    CClusterNode root{0, 4, &a, &bc};
    CClusterNode half(0, 5, &bc, nullptr), none(0, 6, nullptr, nullptr);
    EXPECT_EQ(std::make_tuple(a.GetLeafCount(), root.GetLeafCount(), half.GetLeafCount()), std::make_tuple(0, 3, 2));
    EXPECT_EQ(std::make_pair(b.GetParent(), root.GetParent()),
              std::make_pair(&bc, static_cast<CClusterNode*>(nullptr)));
    EXPECT_TRUE(root.IsLeftLeaf(&a) && root.IsRightLeaf(&c) && half.IsLeftLeaf(&b) && none.IsLeaf());
    EXPECT_FALSE(root.IsLeftLeaf(&b) || root.IsRightLeaf(&a) || root.IsRightLeaf(&bc) || a.IsLeftLeaf(&a) ||
                 a.IsRightLeaf(&a) || half.IsRightLeaf(&b));
    SCollect walk, leaves;
    root.WalkTree(&walk);
    EXPECT_EQ(walk.seen, (std::vector<int>{4, 0, 3, 1, 2}));
    bc.SwapLeaves();
    root.SwapLeaves();
    EXPECT_EQ(Indices(bc.GetLeftLeaves()), (std::vector<int>{2}));
    EXPECT_EQ(Indices(root.GetLeftLeaves()), (std::vector<int>{1, 2}));
    root.WalkLeaves(&leaves);
    EXPECT_EQ(leaves.seen, (std::vector<int>{2, 1, 0}));
}
