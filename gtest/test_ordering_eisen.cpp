// Weight-based ordering and its weight functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "ClusterException.h"
#include "EisenOrdering.h"
#include "ordering_helpers.h"

namespace
{
int ExceptionId(CClusterException* e)
{
    int id = e->Id();
    delete e;
    return id;
}
}

TEST(EisenOrdering, SwapsSoTheSmallerMeanIsLeftAndKeepsTies)
{
    STree t;
    CClusterNode* a = t.Leaf(0, t.Data({3.0, 3.0}));
    CClusterNode* b = t.Leaf(1, t.Data({1.0, 1.0}));
    t.Join(2, a, b, t.Data({2.0, 2.0}));
    CEisenOrdering eo;
    eo.OrderLeaves(t.root, nullptr);
    EXPECT_EQ(LeafWalk(t.root), (std::vector<int>{1, 0}));

    STree e;
    CClusterNode* c = e.Leaf(0, e.Data({2.0, 0.0}));
    CClusterNode* d = e.Leaf(1, e.Data({0.0, 2.0}));
    e.Join(2, c, d, e.Data({1.0, 1.0}));
    eo.OrderLeaves(e.root, nullptr); // a second run on another tree is allowed
    EXPECT_EQ(LeafWalk(e.root), (std::vector<int>{0, 1}));
}

TEST(EisenOrdering, InternalChildIsWeighedByItsOwnCombinedVector)
{
    // Root over (leaf 0, node(1, 2)): the node's own vector (mean 0) decides,
    // not the means of its leaves (10 and 20).
    STree t;
    CClusterNode* l0 = t.Leaf(0, t.Data({5.0}));
    CClusterNode* l1 = t.Leaf(1, t.Data({20.0}));
    CClusterNode* l2 = t.Leaf(2, t.Data({10.0}));
    CClusterNode* n12 = t.Join(3, l1, l2, t.Data({0.0}));
    t.Join(4, l0, n12, t.Data({2.0}));
    CEisenOrdering eo;
    eo.OrderLeaves(t.root, nullptr);
    EXPECT_EQ(LeafWalk(t.root), (std::vector<int>{2, 1, 0}));
}

TEST(EisenOrdering, NaNWeightsNeverSwap)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int side = 0; side < 2; ++side)
    {
        STree t;
        CClusterNode* a = t.Leaf(0, side == 0 ? t.Data({}) : t.Data({5.0}));
        CClusterNode* b = t.Leaf(1, side == 0 ? t.Data({-5.0}) : t.Data({nan, 1.0}));
        t.Join(2, a, b, t.Data({0.0}));
        CEisenOrdering eo;
        eo.OrderLeaves(t.root, nullptr);
        EXPECT_EQ(LeafWalk(t.root), (std::vector<int>{0, 1})) << "side " << side;
    }
}

TEST(EisenOrdering, ReportsOncePerInternalNodeAndLeavesASingleLeafAlone)
{
    std::mt19937 rng(7);
    const int n = 25;
    STree t;
    std::vector<CClusterNode*> forest;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int i = 0; i < n; ++i)
        forest.push_back(t.Leaf(i, t.Data({u(rng), u(rng)})));
    int next = n;
    while (forest.size() > 1)
    {
        CClusterNode* p = t.Join(next++, forest[0], forest[1], t.Data({u(rng)}));
        forest.erase(forest.begin());
        forest[0] = p;
    }
    SRecorder rec;
    CEisenOrdering eo;
    eo.SetCallback(&SRecorder::Callback, &rec);
    eo.OrderLeaves(t.root, nullptr);
    ASSERT_EQ(rec.reports.size(), static_cast<std::size_t>(n - 1));
    for (int i = 0; i < n - 1; ++i)
    {
        EXPECT_EQ(rec.reports[i].max, 2.0 * n - 1);
        EXPECT_EQ(rec.reports[i].current, i);
        EXPECT_EQ(rec.reports[i].msgid, 5);
    }
    std::vector<int> order = LeafWalk(t.root);
    std::sort(order.begin(), order.end());
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(order[i], i);

    STree single;
    single.root = single.Leaf(0, single.Data({1.0}));
    SRecorder rec1;
    eo.SetCallback(&SRecorder::Callback, &rec1);
    eo.OrderLeaves(single.root, nullptr);
    EXPECT_TRUE(rec1.reports.empty());
}

TEST(EisenOrdering, MissingRootOrWeightIsAnError)
{
    STree t;
    CClusterNode* a = t.Leaf(0, t.Data({3.0}));
    CClusterNode* b = t.Leaf(1, t.Data({1.0}));
    t.Join(2, a, b, t.Data({2.0}));
    CEisenOrdering eo;
    try { eo.OrderLeaves(nullptr, nullptr); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 4); }
    CEisenOrdering noWeight(nullptr);
    try { noWeight.OrderLeaves(t.root, nullptr); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 4); }
    EXPECT_EQ(LeafWalk(t.root), (std::vector<int>{0, 1}));
}

TEST(EisenOrdering, StopRequestPassesThrough)
{
    STree t;
    CClusterNode* a = t.Leaf(0, t.Data({3.0}));
    CClusterNode* b = t.Leaf(1, t.Data({1.0}));
    t.Join(2, a, b, t.Data({2.0}));
    SRecorder rec;
    rec.stopAfter = 0;
    CEisenOrdering eo;
    eo.SetCallback(&SRecorder::Callback, &rec);
    EXPECT_THROW(eo.OrderLeaves(t.root, nullptr), CStopRequest);
}

TEST(WeightFunctions, TimeOfMaxAndGuards)
{
    STree t;
    CTimeOfMaxExpression tm;
    EXPECT_EQ(tm.GetWeight(t.Leaf(0, t.Data({1, 5, 2}))), 1.0);
    EXPECT_EQ(tm.GetWeight(t.Leaf(1, t.Data({7, 3, 7}))), 0.0);
    EXPECT_EQ(tm.GetWeight(t.Leaf(2, t.Data({1, 2, 9}))), 2.0);
    CAverageWeight aw;
    EXPECT_DOUBLE_EQ(aw.GetWeight(t.Leaf(3, t.Data({1, 2, 6}))), 3.0);
    EXPECT_TRUE(std::isnan(aw.GetWeight(t.Leaf(4, t.Data({})))));

    CClusterNode* noData = t.Leaf(5);
    try { aw.GetWeight(nullptr); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 4); }
    try { aw.GetWeight(noData); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 4); }
    try { tm.GetWeight(noData); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 4); }
    // An empty vector has no peak: an error instead of a read past its end.
    try { tm.GetWeight(t.Leaf(6, t.Data({}))); FAIL(); } catch (CClusterException* e) { EXPECT_EQ(ExceptionId(e), 5); }
}

TEST(WeightFunctions, BorrowedWeightOutlivesTheOrdering)
{
    CTimeOfMaxExpression* w = new CTimeOfMaxExpression();
    {
        CEisenOrdering eo(w);
        STree t;
        CClusterNode* a = t.Leaf(0, t.Data({0, 0, 9}));
        CClusterNode* b = t.Leaf(1, t.Data({9, 0, 0}));
        t.Join(2, a, b, t.Data({1, 1, 1}));
        eo.OrderLeaves(t.root, nullptr);
        EXPECT_EQ(LeafWalk(t.root), (std::vector<int>{1, 0}));
    }
    STree t2;
    EXPECT_EQ(w->GetWeight(t2.Leaf(0, t2.Data({0, 4}))), 1.0);
    delete w;
}
