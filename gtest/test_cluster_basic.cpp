// Agglomerative clustering: worked examples, progress, failures, and agreement
// with a literal implementation of the pair-selection rule.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "BasicCluster.h"
#include "ClusterException.h"
#include "cluster_helpers.h"
#include "ClusterNode.h"
#include "ProgressThread.h"
#include "UpperDiagonalMatrix.h"
#include "VectorDataFunctions.h"

typedef std::vector<double> Vec;


// Distance calls and progress reports in the order they happen.
struct SEvents
{
    // (kind, a, b, c): kind 0 = Distance(a, b); kind 1 = report (max a, current b, id c).
    std::vector<std::tuple<int, double, double, int>> list;
    long stopAfterReports = -1;
    long reports = 0;

    static void Callback(void* arg, double max, double current, int msgid)
    {
        SEvents* e = static_cast<SEvents*>(arg);
        if (e->stopAfterReports >= 0 && e->reports == e->stopAfterReports)
            throw CStopRequest();
        ++e->reports;
        e->list.push_back(std::make_tuple(1, max, current, msgid));
    }
};

class CRecordingDistance : public CDistanceFunction
{
public:
    CRecordingDistance(CDistanceFunction* pInner, SEvents* pEvents) : m_pInner(pInner), m_pEvents(pEvents) {}
    virtual double Distance(CClusterNode* a, CClusterNode* b)
    {
        if (m_pEvents != 0)
            m_pEvents->list.push_back(std::make_tuple(0, a->GetIndex(), b->GetIndex(), 0));
        return m_pInner->Distance(a, b);
    }
    virtual unsigned long long GetMemoryRequirement() { return m_pInner->GetMemoryRequirement(); }

private:
    CDistanceFunction* m_pInner;
    SEvents* m_pEvents;
};

// Owner of the rows of a run and of the tree it returns.
struct SRun
{
    std::vector<Vec*> rows;
    CClusterNode* root = nullptr;
    int n = 0;

    explicit SRun(const std::vector<Vec>& data)
    {
        for (const Vec& v : data)
            rows.push_back(new Vec(v));
        n = static_cast<int>(data.size());
    }
    void** Data() { return reinterpret_cast<void**>(rows.data()); }
    void FreeTree()
    {
        if (root == nullptr)
            return;
        // Merged nodes' data vectors belong to the tree.
        std::vector<CClusterNode*> stack(1, root), merged;
        while (!stack.empty())
        {
            CClusterNode* p = stack.back();
            stack.pop_back();
            if (!p->IsLeaf())
            {
                merged.push_back(p);
                stack.push_back(p->GetLeftChild());
                stack.push_back(p->GetRightChild());
            }
        }
        for (CClusterNode* p : merged)
            delete static_cast<Vec*>(p->GetData());
        root->RecursiveDelete();
        delete root;
        root = nullptr;
    }
    ~SRun()
    {
        FreeTree();
        for (Vec* v : rows)
            delete v;
    }
};

static std::vector<std::pair<int, int>> Merges(CBasicCluster& c, int n)
{
    std::vector<std::pair<int, int>> out;
    for (int k = n; k < 2 * n - 1; ++k)
    {
        CClusterNode* p = c.GetNodeByIndex(k);
        out.push_back(std::make_pair(p->GetLeftChild()->GetIndex(), p->GetRightChild()->GetIndex()));
    }
    return out;
}

TEST(BasicCluster, WorkedExample)
{
    SRun run({{0}, {1}, {5}});
    CEuclidean euclid;
    CCentroidLinkage centroid;
    CBasicCluster c(&euclid, &centroid);
    EXPECT_EQ(c.GetDistanceMatrix(), nullptr);
    run.root = c.Cluster(run.Data(), 3);
    ASSERT_NE(run.root, nullptr);
    EXPECT_EQ(run.root->GetIndex(), 4);
    EXPECT_EQ(c.GetNodeByIndex(4), run.root);
    EXPECT_EQ(Merges(c, 3), (std::vector<std::pair<int, int>>{{0, 1}, {2, 3}}));
    CClusterNode* n3 = c.GetNodeByIndex(3);
    EXPECT_EQ(*static_cast<Vec*>(n3->GetData()), (Vec{0.5}));
    EXPECT_EQ(*static_cast<Vec*>(run.root->GetData()), (Vec{2}));
    EXPECT_EQ(static_cast<Vec*>(c.GetNodeByIndex(0)->GetData()), run.rows[0]);
    CMatrix* m = c.GetDistanceMatrix();
    EXPECT_EQ(m->GetValue(0, 1), 1.0);
    EXPECT_EQ(m->GetValue(0, 2), 5.0);
    EXPECT_EQ(m->GetValue(2, 1), 4.0);
    // Distances to merged nodes are not kept after the run.
    EXPECT_EQ(ClusterError([&] { m->GetValue(2, 3); }).first, 5);
    EXPECT_EQ(c.GetCachedDistance(c.GetNodeByIndex(2), c.GetNodeByIndex(0)), 5.0);
    EXPECT_EQ(ClusterError([&] { c.GetCachedDistance(0, n3); }).second, "pNode1 is NULL");
    EXPECT_EQ(ClusterError([&] { c.GetCachedDistance(n3, 0); }).second, "pNode2 is NULL");
    EXPECT_EQ(c.GetNodeByIndex(5), nullptr);
    EXPECT_EQ(c.GetNodeByIndex(-1), nullptr);
    EXPECT_EQ(c.GetNodeCount(), 5);
}

TEST(BasicCluster, TwoRowsAndTies)
{
    CEuclidean euclid;
    CCentroidLinkage centroid;
    {
        SRun run({{3, 1}, {0, 5}});
        CBasicCluster c(&euclid, &centroid);
        run.root = c.Cluster(run.Data(), 2);
        EXPECT_EQ(run.root->GetIndex(), 2);
        EXPECT_EQ(Merges(c, 2), (std::vector<std::pair<int, int>>{{0, 1}}));
    }
    {
        SRun run({{0}, {1}, {2}});
        CBasicCluster c(&euclid, &centroid);
        run.root = c.Cluster(run.Data(), 3);
        EXPECT_EQ(Merges(c, 3), (std::vector<std::pair<int, int>>{{0, 1}, {2, 3}}));
    }
    {
        // All rows equal: every distance is 0, pairs go in (i, j) order.
        SRun run({{7}, {7}, {7}, {7}});
        CBasicCluster c(&euclid, &centroid);
        run.root = c.Cluster(run.Data(), 4);
        EXPECT_EQ(Merges(c, 4), (std::vector<std::pair<int, int>>{{0, 1}, {2, 3}, {4, 5}}));
    }
}

TEST(BasicCluster, ProgressOfThreeRows)
{
    SRun run({{0}, {1}, {5}});
    CEuclidean euclid;
    CCentroidLinkage centroid;
    CBasicCluster c(&euclid, &centroid);
    SEvents ev;
    c.SetCallback(SEvents::Callback, &ev);
    run.root = c.Cluster(run.Data(), 3);
    std::vector<std::tuple<int, double, double, int>> expected = {
        std::make_tuple(1, 4.0, 0.0, 0), std::make_tuple(1, 9.0, 0.0, 1), std::make_tuple(1, 9.0, 9.0, 1)};
    EXPECT_EQ(ev.list, expected);
}

TEST(BasicCluster, SecondCallAndBadArguments)
{
    CEuclidean euclid;
    CCentroidLinkage centroid;
    SRun run({{0}, {1}, {5}});
    CBasicCluster c(&euclid, &centroid);
    run.root = c.Cluster(run.Data(), 3);
    EXPECT_EQ(ClusterError([&] { c.Cluster(run.Data(), 3); }),
              std::make_pair(2, std::string("cannot call Cluster more than once")));
    EXPECT_EQ(c.GetNodeByIndex(4), run.root); // the first tree is untouched
    EXPECT_EQ(Merges(c, 3), (std::vector<std::pair<int, int>>{{0, 1}, {2, 3}}));

    CBasicCluster one(&euclid, &centroid);
    EXPECT_EQ(ClusterError([&] { one.Cluster(run.Data(), 1); }).first, 5);
    EXPECT_EQ(ClusterError([&] { one.Cluster(run.Data(), 0); }).first, 5);
    EXPECT_EQ(ClusterError([&] { one.Cluster(run.Data(), -4); }).first, 5);
    EXPECT_EQ(ClusterError([&] { one.Cluster(nullptr, 3); }).first, 4);

    CBasicCluster noDistance(0, &centroid);
    EXPECT_EQ(ClusterError([&] { noDistance.Cluster(run.Data(), 3); }),
              std::make_pair(3, std::string("no distance function provided")));
    EXPECT_EQ(noDistance.GetNodeByIndex(0), nullptr); // the leaves were released
    EXPECT_EQ(ClusterError([&] { noDistance.Cluster(run.Data(), 3); }).first, 2);

    CBasicCluster noCombine(&euclid, 0);
    EXPECT_EQ(ClusterError([&] { noCombine.Cluster(run.Data(), 3); }).first, 4);
}

TEST(BasicCluster, FailuresReleaseTheTree)
{
    CEuclidean euclid;
    CCentroidLinkage centroid;
    {
        // A row of another length fails inside the distance fill.
        SRun run({{0, 1}, {1, 1}, {5}});
        CBasicCluster c(&euclid, &centroid);
        EXPECT_EQ(ClusterError([&] { c.Cluster(run.Data(), 3); }),
                  std::make_pair(5, std::string("pData1->size() != pData2->size()")));
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ(c.GetNodeByIndex(k), nullptr);
    }
    {
        // Missing values give NaN distances, which end the run.
        SRun run({{0}, {std::numeric_limits<double>::quiet_NaN()}, {5}});
        CBasicCluster c(&euclid, &centroid);
        EXPECT_EQ(ClusterError([&] { c.Cluster(run.Data(), 3); }).first, 5);
    }
    {
        // Constant row under the correlation distance.
        SRun run({{1, 2, 3}, {5, 5, 5}, {3, 1, 2}});
        CCorrelation corr(3);
        CBasicCluster c(&corr, &centroid);
        EXPECT_EQ(ClusterError([&] { c.Cluster(run.Data(), 3); }).second,
                  "correlation value was outside the range (-1, 1)");
    }
}

// n rows of cols standard normal values.
static std::vector<Vec> NormalRows(int n, int cols, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> value(0.0, 1.0);
    std::vector<Vec> data(n, Vec(cols));
    for (Vec& v : data)
        for (double& x : v)
            x = value(rng);
    return data;
}

TEST(BasicCluster, StopRequestDuringMergingUnwindsCleanly)
{
    const std::vector<Vec> data = NormalRows(120, 3, 7);
    for (long stopAt : {0L, 3L, 12L, 25L})
    {
        SRun run(data);
        CEuclidean euclid;
        CCentroidLinkage centroid;
        CBasicCluster c(&euclid, &centroid);
        SEvents ev;
        ev.stopAfterReports = stopAt;
        c.SetCallback(SEvents::Callback, &ev);
        EXPECT_THROW(c.Cluster(run.Data(), 120), CStopRequest);
        for (int k = 0; k < 239; ++k)
            ASSERT_EQ(c.GetNodeByIndex(k), nullptr);
    }
}

// ------------------------------------------------------------ literal reference
// The pair-selection loop written out step by step as the clustering rule
// states it: full distance fill, then after each merge the distances to the
// new node, and a full rescan of the matrix whenever none of them is strictly
// below the distance of the pair just merged.
struct SLiteral
{
    std::vector<std::pair<int, int>> merges;
    std::vector<double> matrix; // (2n - 1)^2, NaN where never written
    int size = 0;
};

static SLiteral LiteralCluster(SRun& run, CDistanceFunction* pDist, SEvents* pEvents)
{
    const int n = run.n;
    const int iNodeCount = 2 * n - 1;
    SLiteral out;
    out.size = iNodeCount;
    out.matrix.assign(static_cast<std::size_t>(iNodeCount) * iNodeCount, std::numeric_limits<double>::quiet_NaN());
    auto set = [&](int i, int j, double v) {
        out.matrix[static_cast<std::size_t>(i) * iNodeCount + j] = v;
        out.matrix[static_cast<std::size_t>(j) * iNodeCount + i] = v;
    };
    auto get = [&](int i, int j) { return out.matrix[static_cast<std::size_t>(i) * iNodeCount + j]; };
    auto report = [&](double max, double current, int id) {
        if (pEvents)
            SEvents::Callback(pEvents, max, current, id);
    };
    CCentroidLinkage centroid;
    std::vector<CClusterNode*> nodes(iNodeCount, nullptr);
    std::vector<char> used(iNodeCount, 0);
    for (int i = 0; i < n; ++i)
        nodes[i] = new CClusterNode(run.rows[i], i);

    int iCu = 0;
    long long iTotal = (static_cast<long long>(n) * n) / 2;
    double current = 0.0, total = static_cast<double>(iTotal);
    double fMinDist = -1.0;
    int mini = -1, minj = -1;
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
        {
            if (iCu % 1000 == 0)
            {
                report(total, current, 0);
                iCu = 0;
            }
            double fDist = pDist->Distance(nodes[i], nodes[j]);
            if (fMinDist < 0 || fDist < fMinDist)
            {
                fMinDist = fDist;
                mini = i;
                minj = j;
            }
            set(i, j, fDist);
            current += 1;
            iCu += 1;
        }

    int iCurrent = n;
    iCu = 0;
    iTotal = static_cast<long long>(n - 1) * n + (static_cast<long long>(n - 1) * n) / 2;
    current = 0.0;
    total = static_cast<double>(iTotal);
    while (iCurrent < iNodeCount - 1)
    {
        void* pNewData = centroid.CombineData(nodes[mini], nodes[minj]);
        nodes[iCurrent] = new CClusterNode(pNewData, iCurrent, nodes[mini], nodes[minj]);
        out.merges.push_back(std::make_pair(mini, minj));
        used[mini] = used[minj] = 1;
        bool searchMin = true;
        for (int i = 0; i < iCurrent; ++i)
        {
            if (iCu % 1000 == 0)
            {
                report(total, current, 1);
                iCu = 0;
            }
            if (!used[i])
            {
                double fDist = pDist->Distance(nodes[i], nodes[iCurrent]);
                set(i, iCurrent, fDist);
                if (fMinDist < 0 || fDist < fMinDist)
                {
                    fMinDist = fDist;
                    mini = i;
                    minj = iCurrent;
                    searchMin = false;
                }
            }
            current += 1;
            iCu += 1;
        }
        if (searchMin)
        {
            fMinDist = -1.0;
            for (int i = 0; i < iCurrent; ++i)
            {
                if (used[i])
                    continue;
                for (int j = i + 1; j <= iCurrent; ++j)
                {
                    if (used[j])
                        continue;
                    double fDist = get(i, j);
                    if (fMinDist < 0 || fDist < fMinDist)
                    {
                        fMinDist = fDist;
                        mini = i;
                        minj = j;
                    }
                }
            }
        }
        iCurrent += 1;
    }
    void* pNewData = centroid.CombineData(nodes[mini], nodes[minj]);
    nodes[iCurrent] = new CClusterNode(pNewData, iCurrent, nodes[mini], nodes[minj]);
    out.merges.push_back(std::make_pair(mini, minj));
    report(total, total, 1);

    for (int k = iNodeCount - 1; k >= 0; --k)
    {
        if (k >= n)
            delete static_cast<Vec*>(nodes[k]->GetData());
        delete nodes[k];
    }
    return out;
}

// Compares the engine with the literal loop on one data set: merges, every
// distance call and progress report in order, and the distances between
// leaves that the matrix holds after the run.
static void ExpectAgreement(const std::vector<Vec>& data, bool correlation, const std::string& label)
{
    const int n = static_cast<int>(data.size());
    SEvents litEvents, engEvents;
    SLiteral lit;
    {
        SRun run(data);
        CEuclidean e;
        CCorrelation corr(n);
        CRecordingDistance rec(correlation ? static_cast<CDistanceFunction*>(&corr) : &e, &litEvents);
        lit = LiteralCluster(run, &rec, &litEvents);
    }
    SRun run(data);
    CEuclidean e;
    CCorrelation corr(n);
    CRecordingDistance rec(correlation ? static_cast<CDistanceFunction*>(&corr) : &e, &engEvents);
    CCentroidLinkage centroid;
    CBasicCluster c(&rec, &centroid);
    c.SetCallback(SEvents::Callback, &engEvents);
    run.root = c.Cluster(run.Data(), n);
    ASSERT_EQ(Merges(c, n), lit.merges) << label;
    ASSERT_EQ(engEvents.list, litEvents.list) << label;
    CMatrix* m = c.GetDistanceMatrix();
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
        {
            double v = lit.matrix[static_cast<std::size_t>(i) * lit.size + j];
            if (!std::isnan(v))
            {
                ASSERT_EQ(m->GetValue(i, j), v) << label << " at " << i << "," << j;
                ASSERT_EQ(m->GetValue(j, i), v) << label << " at " << j << "," << i;
            }
        }
}

TEST(BasicClusterAgreement, RandomDataWithoutTies)
{
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int> rowsDist(2, 70), colsDist(1, 6);
    std::normal_distribution<double> value(0.0, 1.0);
    for (int set = 0; set < 200; ++set)
    {
        int n = rowsDist(rng), cols = colsDist(rng);
        if (set % 50 == 0)
            n = 400 + set; // a few sets long enough for many progress reports
        std::vector<Vec> data(n, Vec(cols));
        for (Vec& v : data)
            for (double& x : v)
                x = value(rng) * (set % 3 == 0 ? 100.0 : 1.0);
        ExpectAgreement(data, false, "euclidean set " + std::to_string(set));
    }
}

TEST(BasicClusterAgreement, TieHeavyData)
{
    // Small integer grids: many equal distances, equal centroids, duplicates.
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> rowsDist(2, 60), colsDist(1, 3), small(0, 3);
    for (int set = 0; set < 200; ++set)
    {
        int n = rowsDist(rng), cols = colsDist(rng);
        std::vector<Vec> data(n, Vec(cols));
        for (Vec& v : data)
            for (double& x : v)
                x = small(rng);
        ExpectAgreement(data, false, "tied set " + std::to_string(set));
    }
}

TEST(BasicClusterAgreement, CorrelationDistance)
{
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> rowsDist(2, 50), colsDist(3, 8);
    std::normal_distribution<double> value(0.0, 1.0);
    for (int set = 0; set < 60; ++set)
    {
        int n = rowsDist(rng), cols = colsDist(rng);
        std::vector<Vec> data(n, Vec(cols));
        for (Vec& v : data)
            for (double& x : v)
                x = value(rng);
        ExpectAgreement(data, true, "correlation set " + std::to_string(set));
    }
}

// What a run produced: merges, progress reports, the failure (id 0: none)
// and the distances between leaves that the matrix holds afterwards.
struct SOutcome
{
    std::vector<std::pair<int, int>> merges;
    std::vector<std::tuple<int, double, double, int>> reports;
    std::pair<int, std::string> error;
    std::vector<double> leafDistances;
};

// batched: the library's Euclidean or correlation distance, which the engine
// evaluates many pairs at a time on `threads` threads; otherwise the same
// distance behind a wrapper, which the engine can only call pair by pair.
// Merge passes split into chunks of 64 nodes, so that moderate sizes
// exercise the threads.
static SOutcome RunLibraryDistance(const std::vector<Vec>& data, bool correlation, bool batched, int threads)
{
    SRun run(data);
    CEuclidean e;
    CCorrelation corr(run.n);
    CDistanceFunction* pDist = correlation ? static_cast<CDistanceFunction*>(&corr) : &e;
    CRecordingDistance wrapped(pDist, nullptr);
    CCentroidLinkage centroid;
    CBasicCluster c(batched ? pDist : &wrapped, &centroid);
    c.SetThreadCount(threads);
    c.SetMinimumChunk(64);
    SEvents ev;
    c.SetCallback(SEvents::Callback, &ev);
    SOutcome out;
    out.error = ClusterError([&] { run.root = c.Cluster(run.Data(), run.n); });
    out.reports = ev.list;
    if (out.error.first != 0)
        return out;
    out.merges = Merges(c, run.n);
    CMatrix* m = c.GetDistanceMatrix();
    for (int i = 0; i < run.n; ++i)
        for (int j = i + 1; j < run.n; ++j)
            out.leafDistances.push_back(m->GetValue(j, i));
    return out;
}

// Batched evaluation on one to three threads must give exactly what the
// pair-by-pair path gives: the same merges, reports, failures and stored
// distances. The large sets split every pass among the threads.
TEST(BasicClusterAgreement, BatchedEqualsPairByPair)
{
    std::mt19937 rng(314);
    std::uniform_int_distribution<int> rowsDist(2, 300), colsDist(1, 23), small(0, 2);
    std::normal_distribution<double> value(0.0, 1.0);
    auto randomSet = [&](int n, int cols, bool ties) {
        std::vector<Vec> data(n, Vec(cols));
        for (Vec& v : data)
            for (double& x : v)
                x = ties ? small(rng) : value(rng) * 1e3;
        return data;
    };
    struct SSet
    {
        std::string label;
        bool correlation;
        int errorId; // expected failure, 0: none
        std::vector<Vec> data;
    };
    std::vector<SSet> sets;
    for (int set = 0; set < 30; ++set)
        sets.push_back({"random set " + std::to_string(set), false, 0,
                        randomSet(rowsDist(rng), colsDist(rng), set % 4 == 0)});
    for (int set = 0; set < 10; ++set)
        sets.push_back({"correlation set " + std::to_string(set), true, 0, randomSet(rowsDist(rng), 3 + set, false)});
    sets.push_back({"1500 tied rows", false, 0, randomSet(1500, 2, true)});
    sets.push_back({"2600 rows x 20", false, 0, randomSet(2600, 20, false)});
    sets.push_back({"correlation, 1200 rows x 8", true, 0, randomSet(1200, 8, false)});
    {
        // A missing value: the fill fails at the first pair that involves it.
        std::vector<Vec> data = randomSet(700, 5, false);
        data[400][3] = std::numeric_limits<double>::quiet_NaN();
        sets.push_back({"missing value", false, 5, data});
    }
    {
        // A constant row has no correlation with anything.
        std::vector<Vec> data = randomSet(500, 4, false);
        data[250] = Vec(4, 2.0);
        sets.push_back({"constant row", true, 5, data});
    }
    {
        // 64 copies of a huge row merge level by level; the merged rows of
        // 32 copies overflow to infinity, and the second of them is at a NaN
        // distance from the first while 1200 ordinary rows are active.
        std::vector<Vec> data(64, Vec{1e307, 0.0});
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (int k = 0; k < 1200; ++k)
            data.push_back(Vec{u(rng), u(rng)});
        sets.push_back({"overflowing centroids", false, 5, data});
    }
    for (const SSet& set : sets)
    {
        const SOutcome ref = RunLibraryDistance(set.data, set.correlation, false, 1);
        ASSERT_EQ(ref.error.first, set.errorId) << set.label;
        for (int threads : {1, 2, 3})
        {
            const SOutcome got = RunLibraryDistance(set.data, set.correlation, true, threads);
            const std::string label = set.label + ", " + std::to_string(threads) + " threads";
            ASSERT_EQ(got.error, ref.error) << label;
            ASSERT_EQ(got.merges, ref.merges) << label;
            ASSERT_EQ(got.reports, ref.reports) << label;
            ASSERT_EQ(got.leafDistances, ref.leafDistances) << label;
        }
    }
}

namespace
{
// Merges into a vector one element too long.
class CLongerVectors : public CCombineDataFunction
{
public:
    virtual void* CombineData(CClusterNode* a, CClusterNode*)
    {
        Vec* v = new Vec(*static_cast<Vec*>(a->GetData()));
        v->push_back(0.0);
        return v;
    }
    virtual unsigned long long GetMemoryRequirement() { return 0; }
};
} // namespace

TEST(BasicCluster, MergedDataOfAnotherLengthIsRejected)
{
    SRun run({{0}, {1}, {5}, {9}});
    CEuclidean e;
    CLongerVectors longer;
    CBasicCluster c(&e, &longer);
    EXPECT_EQ(ClusterError([&] { c.Cluster(run.Data(), 4); }),
              std::make_pair(5, std::string("pData1->size() != pData2->size()")));
    EXPECT_EQ(c.GetNodeByIndex(4), nullptr);
}

// After the run the matrix computes the leaf distances again on its first
// read, repeating the run's last report between passes; a stop request there
// leaves the recomputation pending, so that a later read still gets it.
TEST(BasicCluster, LeafDistancesAfterTheRun)
{
    const std::vector<Vec> data = NormalRows(150, 4, 11);
    for (bool batched : {true, false})
    {
        SRun run(data);
        CEuclidean e;
        CRecordingDistance wrapped(&e, nullptr);
        CCentroidLinkage centroid;
        CBasicCluster c(batched ? static_cast<CDistanceFunction*>(&e) : &wrapped, &centroid);
        SEvents ev;
        c.SetCallback(SEvents::Callback, &ev);
        run.root = c.Cluster(run.Data(), run.n);
        const std::tuple<int, double, double, int> last = ev.list.back();
        const std::size_t runReports = ev.list.size();
        ev.stopAfterReports = ev.reports + 3;
        EXPECT_THROW(c.GetDistanceMatrix()->GetValue(0, 1), CStopRequest);
        ev.stopAfterReports = -1;
        CMatrix* m = c.GetDistanceMatrix();
        for (int i = 0; i < run.n; ++i)
            for (int j = i + 1; j < run.n; ++j)
                ASSERT_EQ(m->GetValue(j, i), e.Distance(c.GetNodeByIndex(i), c.GetNodeByIndex(j)));
        // 11,175 pairs: 11 reports, 3 of them before the stop.
        ASSERT_EQ(ev.list.size(), runReports + 3 + 11);
        for (std::size_t k = runReports; k < ev.list.size(); ++k)
            ASSERT_EQ(ev.list[k], last);
    }
}
