// Optimal leaf ordering: exactness against brute force, the cost table,
// progress reports, stop requests and deep trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <pthread.h>

#include "ClusterException.h"
#include "EisenOrdering.h"
#include "OptimalOrdering.h"
#include "ordering_helpers.h"

namespace
{
int ExceptionId(CClusterException* e)
{
    int id = e->Id();
    delete e;
    return id;
}

// Least neighbouring-distance sum over all orientations, by enumeration.
double BruteForceOptimum(STree& t, CMatrix& d)
{
    std::vector<CClusterNode*> internal;
    for (CClusterNode* p : t.nodes)
        if (!p->IsLeaf())
            internal.push_back(p);
    double best = -1.0;
    const unsigned long combos = 1ul << internal.size();
    for (unsigned long mask = 0; mask < combos; ++mask)
    {
        for (std::size_t i = 0; i < internal.size(); ++i)
            if (mask & (1ul << i))
                internal[i]->SwapLeaves();
        double c = PathCost(LeafWalk(t.root), d);
        if (best < 0 || c < best)
            best = c;
        for (std::size_t i = 0; i < internal.size(); ++i)
            if (mask & (1ul << i))
                internal[i]->SwapLeaves();
    }
    return best;
}

// min over the root's cross pairs of the cost table.
double RootMinimum(COptimalOrdering& oo, CClusterNode* root)
{
    std::vector<int> left, right;
    for (CClusterNodeVector_iterator it = root->GetLeftLeaves()->begin(); it != root->GetLeftLeaves()->end(); it++)
        left.push_back((*it)->GetIndex());
    for (CClusterNodeVector_iterator it = root->GetRightLeaves()->begin(); it != root->GetRightLeaves()->end(); it++)
        right.push_back((*it)->GetIndex());
    double best = -1.0;
    for (int u : left)
        for (int w : right)
            if (best < 0 || oo.GetTableCost(u, w) < best)
                best = oo.GetTableCost(u, w);
    return best;
}

bool IsPermutation(std::vector<int> order, int n)
{
    std::sort(order.begin(), order.end());
    for (int i = 0; i < n; ++i)
        if (order[i] != i)
            return false;
    return static_cast<int>(order.size()) == n;
}
}

TEST(OptimalOrdering, FourLeavesInALine)
{
    CFullMatrix d(4);
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            d.SetValue(i, j, j - i);
    STree t;
    CClusterNode* l[4];
    for (int i = 0; i < 4; ++i)
        l[i] = t.Leaf(i);
    CClusterNode* a = t.Join(4, l[1], l[0]);
    CClusterNode* b = t.Join(5, l[3], l[2]);
    t.Join(6, b, a);
    COptimalOrdering oo;
    oo.OrderLeaves(t.root, &d);
    std::vector<int> order = LeafWalk(t.root);
    EXPECT_TRUE(order == (std::vector<int>{0, 1, 2, 3}) || order == (std::vector<int>{3, 2, 1, 0}));
    EXPECT_DOUBLE_EQ(PathCost(order, d), 3.0);
}

TEST(OptimalOrdering, TwoLeafReportSequence)
{
    CFullMatrix d(2);
    d.SetValue(0, 1, 2.5);
    STree t;
    CClusterNode* a = t.Leaf(0);
    CClusterNode* b = t.Leaf(1);
    t.Join(2, a, b);
    SRecorder rec;
    COptimalOrdering oo;
    oo.SetCallback(&SRecorder::Callback, &rec);
    oo.OrderLeaves(t.root, &d);
    EXPECT_EQ(LeafWalk(t.root), (std::vector<int>{0, 1}));
    EXPECT_EQ(oo.GetTableCost(0, 1), 2.5);
    EXPECT_EQ(oo.GetTableCost(0, 0), 0.0);
    const int ids[] = {2, 2, 2, 3, 4, 4, 4};
    const double maxima[] = {4, 4, 4, 1, 3, 3, 3};
    const double currents[] = {0, 1, 2, 0, 0, 1, 2};
    ASSERT_EQ(rec.reports.size(), 7u);
    for (int i = 0; i < 7; ++i)
    {
        EXPECT_EQ(rec.reports[i].msgid, ids[i]) << i;
        EXPECT_EQ(rec.reports[i].max, maxima[i]) << i;
        EXPECT_EQ(rec.reports[i].current, currents[i]) << i;
    }
}

TEST(OptimalOrdering, ReportCountsOfALargerTree)
{
    const int n = 40;
    SRandomCase c(n, 11);
    CFullMatrix& d = c.d;
    STree& t = c.t;
    SRecorder rec;
    COptimalOrdering oo;
    oo.SetCallback(&SRecorder::Callback, &rec);
    oo.OrderLeaves(t.root, &d);
    std::size_t bottomUp = 0, best = 0, topDown = 0;
    for (const SReport& r : rec.reports)
    {
        if (r.msgid == 2) { EXPECT_EQ(r.max, n * n); EXPECT_EQ(r.current, bottomUp); ++bottomUp; }
        if (r.msgid == 3) ++best;
        if (r.msgid == 4) { EXPECT_EQ(r.max, 2 * n - 1); EXPECT_EQ(r.current, topDown); ++topDown; }
    }
    EXPECT_EQ(bottomUp, static_cast<std::size_t>(n + n * (n - 1) / 2));
    EXPECT_EQ(best, static_cast<std::size_t>(t.root->GetLeftLeaves()->size() * t.root->GetRightLeaves()->size()));
    EXPECT_EQ(topDown, static_cast<std::size_t>(2 * n - 1));
}

TEST(OptimalOrdering, EqualDistancesAndSymmetricTable)
{
    std::mt19937 rng(3);
    const int n = 12;
    CFullMatrix d(n);
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
            d.SetValue(i, j, 1.5);
    STree t;
    RandomTree(t, n, rng);
    CClusterNode* firstLeft = *t.root->GetLeftLeaves()->begin();
    CClusterNode* firstRight = *t.root->GetRightLeaves()->begin();
    COptimalOrdering oo;
    oo.OrderLeaves(t.root, &d);
    std::vector<int> order = LeafWalk(t.root);
    EXPECT_EQ(order.front(), firstLeft->GetIndex());
    EXPECT_EQ(order.back(), firstRight->GetIndex());
    EXPECT_DOUBLE_EQ(PathCost(order, d), 1.5 * (n - 1));
    // M[u][w] = (leaves under the pair's lowest common ancestor - 1) * d.
    for (CClusterNode* v : t.nodes)
    {
        if (v->IsLeaf())
            continue;
        int k = v->GetLeafCount();
        for (CClusterNodeVector_iterator a = v->GetLeftLeaves()->begin(); a != v->GetLeftLeaves()->end(); a++)
            for (CClusterNodeVector_iterator b = v->GetRightLeaves()->begin(); b != v->GetRightLeaves()->end(); b++)
                EXPECT_DOUBLE_EQ(oo.GetTableCost((*a)->GetIndex(), (*b)->GetIndex()), 1.5 * (k - 1));
    }

    const int m = 30;
    SRandomCase c2(m, 5);
    CFullMatrix& d2 = c2.d;
    STree& t2 = c2.t;
    COptimalOrdering oo2;
    oo2.OrderLeaves(t2.root, &d2);
    for (int u = 0; u < m; ++u)
        for (int w = 0; w < m; ++w)
            EXPECT_EQ(oo2.GetTableCost(u, w), oo2.GetTableCost(w, u));
}

TEST(OptimalOrdering, SecondCallFailsAndLeavesTheTreeAlone)
{
    SRandomCase c(10, 9);
    CFullMatrix& d = c.d;
    STree& t = c.t;
    COptimalOrdering oo;
    oo.OrderLeaves(t.root, &d);
    std::vector<int> first = LeafWalk(t.root);
    try { oo.OrderLeaves(t.root, &d); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 2); }
    EXPECT_EQ(LeafWalk(t.root), first);
    try { oo.OrderLeaves(nullptr, &d); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 4); }
}

TEST(OptimalOrdering, SingleLeafAndBadLeafIndices)
{
    STree one;
    one.root = one.Leaf(0);
    CFullMatrix d(3);
    COptimalOrdering oo;
    oo.OrderLeaves(one.root, &d);
    EXPECT_EQ(oo.GetTableSize(), 0);

    // Leaf index 7 in a three-leaf tree would address the table out of bounds.
    STree bad;
    CClusterNode* a = bad.Leaf(0);
    CClusterNode* b = bad.Leaf(7);
    CClusterNode* c = bad.Leaf(1);
    bad.Join(3, bad.Join(4, a, b), c);
    COptimalOrdering oo2;
    try { oo2.OrderLeaves(bad.root, &d); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 5); }

    STree dup;
    CClusterNode* x = dup.Leaf(0);
    CClusterNode* y = dup.Leaf(0);
    dup.Join(2, x, y);
    COptimalOrdering oo3;
    try { oo3.OrderLeaves(dup.root, &d); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 5); }
}

TEST(OptimalOrdering, MatchesBruteForceOnSmallTrees)
{
    std::mt19937 rng(2024);
    for (int set = 0; set < 200; ++set)
    {
        int n = 2 + set % 8; // 2 .. 9 leaves
        CFullMatrix d(n);
        RandomDistances(d, n, rng);
        if (set % 10 == 0) // ties: distances on a coarse grid
            for (int i = 0; i < n; ++i)
                for (int j = i + 1; j < n; ++j)
                    d.SetValue(i, j, std::floor(d.GetValue(i, j) * 3.0));
        STree t;
        RandomTree(t, n, rng);
        double brute = BruteForceOptimum(t, d);
        COptimalOrdering oo;
        oo.OrderLeaves(t.root, &d);
        std::vector<int> order = LeafWalk(t.root);
        ASSERT_TRUE(IsPermutation(order, n));
        EXPECT_NEAR(PathCost(order, d), brute, 1e-12) << "data set " << set << ", n = " << n;
        EXPECT_NEAR(RootMinimum(oo, t.root), brute, 1e-12) << "data set " << set;
    }
}

TEST(OptimalOrdering, SumEqualsRootMinimumOnLargerTrees)
{
    std::mt19937 rng(77);
    const int sizes[] = {17, 64, 150, 300};
    for (int n : sizes)
    {
        CFullMatrix d(n);
        RandomDistances(d, n, rng);
        STree t;
        RandomTree(t, n, rng);
        COptimalOrdering oo;
        oo.OrderLeaves(t.root, &d);
        std::vector<int> order = LeafWalk(t.root);
        ASSERT_TRUE(IsPermutation(order, n));
        double rootMin = RootMinimum(oo, t.root);
        EXPECT_NEAR(PathCost(order, d), rootMin, 1e-9 * rootMin) << "n = " << n;
    }
}

namespace
{
// Leaves of a subtree, left to right.
std::vector<int> Leaves(CClusterNode* p)
{
    return LeafWalk(p);
}

// The cost table's root minimum by the plain recurrence, every (m, k) tried.
double ReferenceOptimum(CClusterNode* root, CMatrix& d, int n)
{
    std::vector<std::vector<double>> M(n, std::vector<double>(n, 0.0));
    std::vector<CClusterNode*> order;
    std::vector<CClusterNode*> stack(1, root);
    while (!stack.empty())
    {
        CClusterNode* p = stack.back();
        stack.pop_back();
        order.push_back(p);
        if (!p->IsLeaf())
        {
            stack.push_back(p->GetLeftChild());
            stack.push_back(p->GetRightChild());
        }
    }
    double best = -1.0;
    for (std::size_t i = order.size(); i-- > 0;)
    {
        CClusterNode* v = order[i];
        if (v->IsLeaf())
            continue;
        // Sides of each child: a leaf child is both of its sides.
        auto sides = [](CClusterNode* c, std::vector<int>& a, std::vector<int>& b) {
            if (c->IsLeaf())
                a = b = std::vector<int>(1, c->GetIndex());
            else
            {
                a = LeafWalk(c->GetLeftChild());
                b = LeafWalk(c->GetRightChild());
            }
        };
        std::vector<int> la, lb, ra, rb;
        sides(v->GetLeftChild(), la, lb);
        sides(v->GetRightChild(), ra, rb);
        for (int pass = 0; pass < 2; ++pass)
        {
            const std::vector<int>& us = pass == 0 ? la : lb;
            const std::vector<int>& ms = pass == 0 ? lb : la;
            for (int qass = 0; qass < 2; ++qass)
            {
                const std::vector<int>& ws = qass == 0 ? ra : rb;
                const std::vector<int>& ks = qass == 0 ? rb : ra;
                for (int u : us)
                    for (int w : ws)
                    {
                        double c = -1.0;
                        for (int m : ms)
                            for (int k : ks)
                            {
                                double x = M[u][m] + d.GetValue(m, k) + M[k][w];
                                if (c < 0 || x < c)
                                    c = x;
                            }
                        M[u][w] = M[w][u] = c;
                        if (v == root && (best < 0 || c < best))
                            best = c;
                    }
            }
        }
    }
    return best;
}
}

TEST(OptimalOrdering, MatchesAPlainDynamicProgrammeOnLargerTrees)
{
    // Random, balanced and clustered trees of up to 300 leaves: long
    // candidate ranges go through the pruned scans, short ones through the
    // full ones.
    std::mt19937 rng(31);
    for (int kind = 0; kind < 3; ++kind)
    {
        const int n = kind == 1 ? 300 : 200;
        std::uniform_real_distribution<double> unif(0.0, 1.0);
        std::vector<std::vector<double>> pts(n, std::vector<double>(3));
        for (auto& p : pts)
            for (double& v : p)
                v = unif(rng);
        CFullMatrix d(n);
        for (int i = 0; i < n; ++i)
            for (int j = i + 1; j < n; ++j)
                d.SetValue(i, j, std::sqrt((pts[i][0] - pts[j][0]) * (pts[i][0] - pts[j][0]) +
                                           (pts[i][1] - pts[j][1]) * (pts[i][1] - pts[j][1]) +
                                           (pts[i][2] - pts[j][2]) * (pts[i][2] - pts[j][2])));
        STree t;
        if (kind == 0)
            RandomTree(t, n, rng);
        else
        {
            // kind 1: balanced; kind 2: single linkage, so the tree follows the data.
            std::vector<CClusterNode*> forest;
            for (int i = 0; i < n; ++i)
                forest.push_back(t.Leaf(i));
            int next = n;
            while (forest.size() > 1)
            {
                std::size_t a = 0, b = 1;
                if (kind == 2)
                {
                    double least = -1.0;
                    for (std::size_t x = 0; x < forest.size(); ++x)
                        for (std::size_t y = x + 1; y < forest.size(); ++y)
                        {
                            double dist = -1.0;
                            for (int p : Leaves(forest[x]))
                                for (int q : Leaves(forest[y]))
                                    if (dist < 0 || d.GetValue(p, q) < dist)
                                        dist = d.GetValue(p, q);
                            if (least < 0 || dist < least)
                            {
                                least = dist;
                                a = x;
                                b = y;
                            }
                        }
                }
                CClusterNode* p = t.Join(next++, forest[a], forest[b]);
                forest.erase(forest.begin() + b);
                if (kind == 1)
                {
                    forest.erase(forest.begin() + a);
                    forest.push_back(p);
                }
                else
                    forest[a] = p;
            }
        }
        double reference = ReferenceOptimum(t.root, d, n);
        COptimalOrdering oo;
        oo.OrderLeaves(t.root, &d);
        EXPECT_NEAR(RootMinimum(oo, t.root), reference, 1e-9 * reference) << "kind " << kind;
        EXPECT_NEAR(PathCost(LeafWalk(t.root), d), reference, 1e-9 * reference) << "kind " << kind;
    }
}

TEST(OptimalOrdering, StopRequestUnwindsFromEachPhase)
{
    std::mt19937 rng(13);
    const int n = 20;
    CFullMatrix d(n);
    RandomDistances(d, n, rng);
    // Bottom-up (id 2), best pair (id 3) and top-down (id 4) reports.
    SRecorder probe;
    {
        STree t;
        std::mt19937 trng(1);
        RandomTree(t, n, trng);
        COptimalOrdering oo;
        oo.SetCallback(&SRecorder::Callback, &probe);
        oo.OrderLeaves(t.root, &d);
    }
    std::size_t firstOf[5] = {0, 0, 0, 0, 0};
    for (std::size_t i = probe.reports.size(); i-- > 0;)
        firstOf[probe.reports[i].msgid] = i;
    for (int id = 2; id <= 4; ++id)
    {
        STree t;
        std::mt19937 trng(1);
        RandomTree(t, n, trng);
        SRecorder rec;
        rec.stopAfter = static_cast<long>(firstOf[id]) + 1;
        COptimalOrdering oo;
        oo.SetCallback(&SRecorder::Callback, &rec);
        EXPECT_THROW(oo.OrderLeaves(t.root, &d), CStopRequest) << "phase " << id;
        try { oo.OrderLeaves(t.root, &d); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 2); }
    }
}

namespace
{
// Distances of random points in the plane, computed on demand.
class CPointMatrix : public CMatrix
{
public:
    CPointMatrix(int n, std::mt19937& rng) : m_x(n), m_y(n)
    {
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (int i = 0; i < n; ++i)
        {
            m_x[i] = u(rng);
            m_y[i] = u(rng);
        }
    }
    virtual void SetValue(int, int, double) {}
    virtual double GetValue(int i, int j) { return std::hypot(m_x[i] - m_x[j], m_y[i] - m_y[j]); }

private:
    std::vector<double> m_x, m_y;
};

struct SChainRun
{
    CClusterNode* root;
    CMatrix* d;
    bool eisenOk = false;
    bool optimalOk = false;
    double cost = -1.0, rootMin = -2.0;
};

void* RunChain(void* arg)
{
    SChainRun* run = static_cast<SChainRun*>(arg);
    try
    {
        CEisenOrdering eo;
        eo.OrderLeaves(run->root, run->d);
        run->eisenOk = true;
        COptimalOrdering oo;
        oo.OrderLeaves(run->root, run->d);
        run->cost = PathCost(LeafWalk(run->root), *run->d);
        run->rootMin = RootMinimum(oo, run->root);
        run->optimalOk = true;
    }
    catch (CClusterException* e)
    {
        delete e;
    }
    catch (const std::exception&)
    {
    }
    return nullptr;
}
}

TEST(OptimalOrdering, DeepChainOnASmallStack)
{
    const int n = 5000;
    std::mt19937 rng(99);
    CPointMatrix d(n, rng);
    STree t;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    CClusterNode* top = t.Leaf(0, t.Data({u(rng)}));
    for (int i = 1; i < n; ++i)
        top = t.Join(n + i - 1, t.Leaf(i, t.Data({u(rng)})), top, t.Data({u(rng)}));

    SChainRun run;
    run.root = t.root;
    run.d = &d;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, &attr, &RunChain, &run), 0);
    pthread_join(th, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_TRUE(run.eisenOk);
    ASSERT_TRUE(run.optimalOk);
    EXPECT_NEAR(run.cost, run.rootMin, 1e-9 * run.rootMin);
}
