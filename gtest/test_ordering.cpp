// Leaf orderings: the weight-based ordering against its rule at every node,
// the optimal ordering against brute force over orientations and a plain
// dynamic programme; progress, stop requests, bad trees and deep trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <pthread.h>

#include "BasicCluster.h"
#include "ClusterThread.h"
#include "EisenOrdering.h"
#include "Matrix.h"
#include "OptimalOrdering.h"
#include "VectorDataFunctions.h"
#include "helpers.h"

// Distances between points in the plane, as a dense symmetric matrix.
class CFullMatrix : public CMatrix
{
public:
    explicit CFullMatrix(const std::vector<Vec>& p) : m_n(p.size()), m_v(p.size() * p.size(), 0.0)
    {
        for (std::size_t i = 0; i < m_n; ++i)
            for (std::size_t j = i + 1; j < m_n; ++j)
                SetValue(i, j, std::hypot(p[i][0] - p[j][0], p[i][1] - p[j][1]));
    }
    virtual void SetValue(int i, int j, double value) { m_v[i * m_n + j] = m_v[j * m_n + i] = value; }
    virtual double GetValue(int i, int j) { return m_v[i * m_n + j]; }

private:
    std::size_t m_n;
    std::vector<double> m_v;
};

// Sum of the distances between neighbouring leaves.
static double PathCost(const std::vector<int>& order, CMatrix& d)
{
    double s = 0.0;
    for (std::size_t i = 1; i < order.size(); ++i)
        s += d.GetValue(order[i - 1], order[i]);
    return s;
}

// Owns every node (and data vector) of a hand-built tree; deletes them one by one.
struct STree
{
    std::vector<CClusterNode*> nodes;
    std::vector<Vec*> data;
    CClusterNode* root = nullptr;

    CClusterNode* Node(int index, Vec* pData = nullptr, CClusterNode* l = nullptr, CClusterNode* r = nullptr)
    {
        nodes.push_back(l != nullptr ? new CClusterNode(pData, index, l, r) : new CClusterNode(pData, index));
        return root = nodes.back();
    }
    Vec* Data(Vec v)
    {
        data.push_back(new Vec(std::move(v)));
        return data.back();
    }
    ~STree()
    {
        for (CClusterNode* p : nodes)
            delete p;
        for (Vec* d : data)
            delete d;
    }
};

// Data of 0 to 3 small integers: many equal means, and NaN for the empty ones.
static Vec SmallData(std::mt19937& rng)
{
    Vec v(std::uniform_int_distribution<int>(0, 3)(rng));
    for (double& x : v)
        x = std::uniform_int_distribution<int>(0, 2)(rng);
    return v;
}

// A random tree over n leaves (repeatedly joining two random roots), with
// SmallData vectors when withData.
static void RandomTree(STree& t, int n, std::mt19937& rng, bool withData = false)
{
    auto data = [&]() { return withData ? t.Data(SmallData(rng)) : nullptr; };
    std::vector<CClusterNode*> forest;
    for (int i = 0; i < n; ++i)
        forest.push_back(t.Node(i, data()));
    for (int next = n; forest.size() > 1; ++next) {
        std::uniform_int_distribution<std::size_t> pick(0, forest.size() - 1);
        std::size_t a = pick(rng), b = pick(rng);
        while (b == a)
            b = pick(rng);
        CClusterNode* p = t.Node(next, data(), forest[a], forest[b]);
        forest.erase(forest.begin() + std::max(a, b));
        forest[std::min(a, b)] = p;
    }
}

// Every node ends with the child of the smaller mean of its own data on the
// left; equal and NaN means keep the order. One report per internal node.
TEST(EisenOrdering, RuleAtEveryNodeAndReports)
{
    std::mt19937 rng(7);
    for (int n : {1, 2, 25, 60}) {
        STree t;
        RandomTree(t, n, rng, true);
        auto mean = [](CClusterNode* p) {
            const Vec& v = *static_cast<Vec*>(p->GetData());
            return std::accumulate(v.begin(), v.end(), 0.0) / v.size();
        };
        std::vector<CClusterNode*> expectedLeft;
        for (CClusterNode* p : t.nodes)
            if (!p->IsLeaf())
                expectedLeft.push_back(mean(p->GetLeftChild()) > mean(p->GetRightChild()) ? p->GetRightChild()
                                                                                          : p->GetLeftChild());
        SEvents ev;
        CEisenOrdering eo;
        eo.SetCallback(&SEvents::Callback, &ev);
        eo.OrderLeaves(t.root, nullptr);
        std::size_t k = 0;
        for (CClusterNode* p : t.nodes)
            if (!p->IsLeaf() && p->GetLeftChild() != expectedLeft[k++])
                ADD_FAILURE() << "node " << p->GetIndex() << ", n = " << n;
        ASSERT_EQ(ev.list.size(), static_cast<std::size_t>(n - 1));
        for (int i = 0; i < n - 1; ++i)
            EXPECT_EQ(ev.list[i], SEvent(1, 2.0 * n - 1, i, 5));
    }
}

// Missing root or weight function, the time-of-maximum weight, and a weight
// function that the ordering borrows.
TEST(EisenOrdering, ErrorsAndWeightFunctions)
{
    STree t;
    CClusterNode* a = t.Node(0, t.Data({0, 0, 9}));
    CClusterNode* b = t.Node(1, t.Data({9, 0, 0}));
    CClusterNode* root = t.Node(2, t.Data({1, 1, 1}), a, b);
    CEisenOrdering eo;
    EXPECT_EQ(ClusterError([&] { eo.OrderLeaves(nullptr, nullptr); }).first, 4);
    CEisenOrdering noWeight(nullptr);
    EXPECT_EQ(ClusterError([&] { noWeight.OrderLeaves(root, nullptr); }).first, 4);

    CTimeOfMaxExpression* tm = new CTimeOfMaxExpression();
    {
        CEisenOrdering byPeak(tm);
        byPeak.OrderLeaves(root, nullptr);
        EXPECT_EQ(LeafWalk(root), (std::vector<int>{1, 0})); // peaks at 2 and 0
    }
    EXPECT_EQ(tm->GetWeight(t.Node(3, t.Data({1, 5, 2}))), 1.0);
    EXPECT_EQ(tm->GetWeight(t.Node(4, t.Data({7, 3, 7}))), 0.0); // the first of equal peaks
    EXPECT_EQ(tm->GetWeight(t.Node(5, t.Data({1, 2, 9}))), 2.0);
    EXPECT_EQ(ClusterError([&] { tm->GetWeight(t.Node(6, t.Data({}))); }).first, 5); // no peak
    EXPECT_EQ(ClusterError([&] { tm->GetWeight(t.Node(7)); }).first, 4);
    CAverageWeight aw;
    EXPECT_EQ(ClusterError([&] { aw.GetWeight(nullptr); }).first, 4);
    EXPECT_EQ(ClusterError([&] { aw.GetWeight(t.Node(8)); }).first, 4);
    delete tm;
}

// Least neighbouring-distance sum over all orientations, visited in Gray
// code order: one swap per orientation.
static double BruteForceOptimum(STree& t, CMatrix& d)
{
    std::vector<CClusterNode*> internal;
    for (CClusterNode* p : t.nodes)
        if (!p->IsLeaf())
            internal.push_back(p);
    double best = PathCost(LeafWalk(t.root), d);
    for (unsigned long k = 1; k < (1ul << internal.size()); ++k) {
        internal[__builtin_ctzl(k)]->SwapLeaves();
        best = std::min(best, PathCost(LeafWalk(t.root), d));
    }
    return best;
}

// Least cost-table entry over the root's pairs of a left and a right leaf.
static double RootMinimum(COptimalOrdering& oo, CClusterNode* root)
{
    double best = -1.0;
    for (int u : LeafWalk(root->GetLeftChild()))
        for (int w : LeafWalk(root->GetRightChild()))
            best = best < 0 || oo.GetTableCost(u, w) < best ? oo.GetTableCost(u, w) : best;
    return best;
}

// The root minimum of the cost table by the plain recurrence, every (m, k)
// tried, over the internal nodes in bottom-up order (the root last).
static double ReferenceOptimum(const std::vector<CClusterNode*>& bottomUp, CMatrix& d, int n)
{
    std::vector<std::vector<double>> M(n, std::vector<double>(n, 0.0));
    // The two sides of a child: a leaf child is both of its sides.
    auto sides = [](CClusterNode* c, std::vector<int>* s) {
        s[0] = LeafWalk(c->IsLeaf() ? c : c->GetLeftChild());
        s[1] = LeafWalk(c->IsLeaf() ? c : c->GetRightChild());
    };
    double best = -1.0;
    for (CClusterNode* v : bottomUp) {
        std::vector<int> l[2], r[2];
        sides(v->GetLeftChild(), l);
        sides(v->GetRightChild(), r);
        // u on one side of the left child, m on the other; w and k likewise on the right.
        for (int side = 0; side < 4; ++side) {
            const int sa = side & 1, sb = side >> 1;
            for (int u : l[sa])
                for (int w : r[sb]) {
                    double c = -1.0;
                    for (int m : l[1 - sa])
                        for (int k : r[1 - sb]) {
                            const double x = M[u][m] + d.GetValue(m, k) + M[k][w];
                            c = c < 0 || x < c ? x : c;
                        }
                    M[u][w] = M[w][u] = c;
                    best = v == bottomUp.back() && (best < 0 || c < best) ? c : best;
                }
        }
    }
    return best;
}

// Small trees, a tenth of them with tied distances and a tenth with equal
// ones: the order found costs the least of all orientations, and so does the
// root's least table entry. Of equally cheap end pairs the first is taken.
TEST(OptimalOrdering, MatchesBruteForceOnSmallTrees)
{
    std::mt19937 rng(2024);
    for (int set = 0; set < 200; ++set) {
        const int n = 2 + set % 8;
        CFullMatrix d(RandomRows(n, 2, set));
        for (int i = 0; set % 5 == 0 && i < n; ++i)
            for (int j = i + 1; j < n; ++j)
                d.SetValue(i, j, set % 10 == 0 ? std::floor(d.GetValue(i, j) * 3.0) : 1.5);
        STree t;
        RandomTree(t, n, rng);
        const double brute = BruteForceOptimum(t, d);
        const int firstLeft = LeafWalk(t.root->GetLeftChild()).front();
        const int firstRight = LeafWalk(t.root->GetRightChild()).front();
        COptimalOrdering oo;
        oo.OrderLeaves(t.root, &d);
        std::vector<int> order = LeafWalk(t.root);
        EXPECT_TRUE(set % 10 != 5 || (order.front() == firstLeft && order.back() == firstRight)) << "set " << set;
        EXPECT_NEAR(PathCost(order, d), brute, 1e-12) << "set " << set << ", n = " << n;
        EXPECT_NEAR(RootMinimum(oo, t.root), brute, 1e-12) << "set " << set;
        std::sort(order.begin(), order.end());
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(order[i], i) << "set " << set;
    }
}

// Random, balanced and clustered trees of 200 to 300 leaves, whose long
// candidate ranges go through the pruned scans (the clustered one reading
// the engine's own distance matrix): the table and the order match the plain
// recurrence, and the table is symmetric.
TEST(OptimalOrdering, MatchesAPlainDynamicProgrammeOnLargerTrees)
{
    std::mt19937 rng(31);
    for (int kind = 0; kind < 3; ++kind) {
        const int n = kind == 1 ? 300 : 200;
        const std::vector<Vec> rows = RandomRows(n, 2, 31 + kind);
        CFullMatrix d(rows);
        STree t;
        CEuclidean euclid;
        CCentroidLinkage centroid;
        CBasicCluster engine(&euclid, &centroid);
        if (kind == 0)
            RandomTree(t, n, rng);
        for (int i = 0; kind == 1 && i < n; ++i)
            t.Node(i);
        for (std::size_t first = 0; kind == 1 && first + 1 < t.nodes.size(); first += 2) // balanced
            t.Node(n + static_cast<int>(first / 2), nullptr, t.nodes[first], t.nodes[first + 1]);
        for (int i = 0; kind == 2 && i < n; ++i)
            t.Data(rows[i]);
        CClusterNode* root = kind == 2 ? engine.Cluster(reinterpret_cast<void**>(t.data.data()), n) : t.root;
        std::vector<CClusterNode*> bottomUp;
        for (int k = n; k < 2 * n - 1; ++k)
            bottomUp.push_back(kind == 2 ? engine.GetNodeByIndex(k) : t.nodes[k]);
        const double reference = ReferenceOptimum(bottomUp, d, n);
        COptimalOrdering oo;
        oo.OrderLeaves(root, kind == 2 ? engine.GetDistanceMatrix() : &d);
        EXPECT_NEAR(RootMinimum(oo, root), reference, 1e-9 * reference) << "kind " << kind;
        EXPECT_NEAR(PathCost(LeafWalk(root), d), reference, 1e-9 * reference) << "kind " << kind;
        for (int u = 0; u < n; ++u)
            for (int w = 0; w < u; ++w)
                ASSERT_EQ(oo.GetTableCost(u, w), oo.GetTableCost(w, u)) << "kind " << kind;
        if (kind == 2)
            DeleteClusterTree(root);
    }
}

// Reports of the three phases: the table (id 2, one per leaf and per table
// pair, out of n^2), the best end pair (id 3) and the top-down pass (id 4);
// a stop request in each phase unwinds, and the object cannot be used again.
TEST(OptimalOrdering, ReportsAndStopsInEachPhase)
{
    const int n = 40;
    CFullMatrix d(RandomRows(n, 2, 11));
    std::size_t firstOf[5] = {0, 0, 0, 0, 0};
    for (int stopIn = 0; stopIn <= 4; stopIn += stopIn == 0 ? 2 : 1) {
        STree t;
        std::mt19937 trng(1);
        RandomTree(t, n, trng);
        const double pairs = LeafWalk(t.root->GetLeftChild()).size() * LeafWalk(t.root->GetRightChild()).size();
        const double maxOf[5] = {0, 0, double(n) * n, pairs, 2.0 * n - 1};
        SEvents ev;
        ev.stopAfter = stopIn == 0 ? -1 : static_cast<long>(firstOf[stopIn]) + 1;
        COptimalOrdering oo;
        oo.SetCallback(&SEvents::Callback, &ev);
        if (stopIn != 0) {
            EXPECT_THROW(oo.OrderLeaves(t.root, &d), CStopRequest) << "phase " << stopIn;
            EXPECT_EQ(ClusterError([&] { oo.OrderLeaves(t.root, &d); }).first, 2);
            continue;
        }
        oo.OrderLeaves(t.root, &d);
        std::size_t count[5] = {0, 0, 0, 0, 0};
        for (std::size_t i = 0; i < ev.list.size(); ++i) {
            const int id = std::get<3>(ev.list[i]);
            ASSERT_TRUE(id >= 2 && id <= 4);
            firstOf[id] = count[id] == 0 ? i : firstOf[id];
            EXPECT_EQ(ev.list[i], SEvent(1, maxOf[id], count[id]++, id)) << i;
        }
        EXPECT_EQ(count[2], static_cast<std::size_t>(n + n * (n - 1) / 2));
        EXPECT_EQ(count[3], static_cast<std::size_t>(pairs));
        EXPECT_EQ(count[4], static_cast<std::size_t>(2 * n - 1));
    }
}

// Bad calls, and trees whose leaf indices would address the table out of
// bounds: 7 among three leaves, or 0 twice.
TEST(OptimalOrdering, BadCallsAndTrees)
{
    CFullMatrix d(RandomRows(3, 2, 0));
    STree t;
    CClusterNode* l[5] = {t.Node(0), t.Node(7), t.Node(1), t.Node(0), t.Node(1)};
    CClusterNode* bad = t.Node(3, nullptr, t.Node(4, nullptr, l[0], l[1]), l[2]);
    CClusterNode* ok = t.Node(2, nullptr, l[3], l[4]);
    COptimalOrdering single, badIndex, twice, nullRoot, nullMatrix;
    single.OrderLeaves(l[0], &d); // nothing to order
    EXPECT_EQ(single.GetTableSize(), 0);
    EXPECT_EQ(ClusterError([&] { single.OrderLeaves(l[0], &d); }).first, 2);
    EXPECT_EQ(ClusterError([&] { badIndex.OrderLeaves(bad, &d); }).first, 5);
    EXPECT_EQ(ClusterError([&] { twice.OrderLeaves(t.Node(5, nullptr, t.Node(0), t.Node(0)), &d); }).first, 5);
    EXPECT_EQ(ClusterError([&] { nullRoot.OrderLeaves(nullptr, &d); }).first, 4);
    EXPECT_EQ(ClusterError([&] { nullMatrix.OrderLeaves(ok, nullptr); }).first, 4);
}

// A chain of 3,000 merges is as deep as it is wide: both orderings and the
// deletion must work on a 128 KiB stack, which a recursion one frame per
// level would overflow.
TEST(DeepTree, OrderAndDeleteWithoutRecursion)
{
    const int n = 3000;
    CFullMatrix d(RandomRows(n, 2, 99));
    STree t; // owns the leaves' data
    CClusterNode* chain = new CClusterNode(t.Data({0.5}), 0);
    for (int i = 1; i < n; ++i)
        chain = new CClusterNode(new Vec(1, i % 7), n + i - 1, new CClusterNode(t.Data({i % 5 + 0.5}), i), chain);
    std::pair<CClusterNode*, CFullMatrix*> run(chain, &d);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t th;
    ASSERT_EQ(pthread_create(
                  &th, &attr,
                  [](void* arg) -> void* {
                      auto* r = static_cast<std::pair<CClusterNode*, CFullMatrix*>*>(arg);
                      CEisenOrdering().OrderLeaves(r->first, r->second);
                      COptimalOrdering().OrderLeaves(r->first, r->second);
                      r->second = LeafWalk(r->first).size() == n ? nullptr : r->second;
                      DeleteClusterTree(r->first); // with the merged nodes' data
                      return nullptr;
                  },
                  &run),
              0);
    pthread_join(th, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(run.second, nullptr); // the thread ran to the end
}
