// Agglomerative clustering against a literal implementation of the pair
// selection, on every distance path and thread count; failures, stop
// requests, the leaf distances the matrix keeps after the run, and the job
// that clusters and orders on a worker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <unistd.h>

#include "BasicCluster.h"
#include "ClusterThread.h"
#include "EisenOrdering.h"
#include "OptimalOrdering.h"
#include "VectorDataFunctions.h"
#include "helpers.h"

// A distance behind a wrapper that records its calls. Unless it passes on
// the inner distance's block kernel, the engine can only call it pair by pair.
class CRecordingDistance : public CDistanceFunction
{
public:
    CRecordingDistance(CDistanceFunction* pInner, SEvents* pEvents, bool passKernel = false)
        : m_pInner(pInner), m_pEvents(pEvents), m_bPassKernel(passKernel)
    {}
    virtual double Distance(CClusterNode* a, CClusterNode* b)
    {
        if (m_pEvents != nullptr)
            m_pEvents->list.push_back(SEvent(0, a->GetIndex(), b->GetIndex(), 0));
        return m_pInner->Distance(a, b);
    }
    virtual unsigned long long GetMemoryRequirement() { return m_pInner->GetMemoryRequirement(); }
    virtual CBlockKernel* NewBlockKernel() { return m_bPassKernel ? m_pInner->NewBlockKernel() : nullptr; }

private:
    CDistanceFunction* m_pInner;
    SEvents* m_pEvents;
    bool m_bPassKernel;
};

// Owner of the rows of a run and of the tree it returns.
struct SRun
{
    std::vector<Vec*> rows;
    CClusterNode* root = nullptr;
    int n;
    explicit SRun(const std::vector<Vec>& data) : n(static_cast<int>(data.size()))
    {
        for (const Vec& v : data)
            rows.push_back(new Vec(v));
    }
    void** Data() { return reinterpret_cast<void**>(rows.data()); }
    ~SRun()
    {
        DeleteClusterTree(root); // with the merged nodes' data
        for (Vec* v : rows)
            delete v;
    }
};

static std::vector<std::pair<int, int>> Merges(CBasicCluster& c, int n)
{
    std::vector<std::pair<int, int>> out;
    for (int k = n; k < 2 * n - 1; ++k)
        out.push_back(std::make_pair(c.GetNodeByIndex(k)->GetLeftChild()->GetIndex(),
                                     c.GetNodeByIndex(k)->GetRightChild()->GetIndex()));
    return out;
}

// What a run produced: merges, events, the failure (id 0: none), the
// distances between leaves afterwards, and whether a failed run left nodes.
struct SOutcome
{
    std::vector<std::pair<int, int>> merges;
    std::vector<SEvent> events;
    std::pair<int, std::string> error;
    std::vector<double> leafDistances;
    bool nodesLeft = false;
};

// The clustering rule written out step by step: full distance fill, then
// after each merge the distances to the new node, and a full rescan of the
// matrix whenever none of them is strictly below the pair just merged.
static SOutcome LiteralCluster(const std::vector<Vec>& data, bool correlation)
{
    SRun run(data);
    const int n = run.n, iNodeCount = 2 * n - 1;
    CEuclidean euclid;
    CCorrelation corr(n);
    CCentroidLinkage centroid;
    SEvents ev;
    CRecordingDistance rec(correlation ? static_cast<CDistanceFunction*>(&corr) : &euclid, &ev);
    std::vector<double> matrix(static_cast<std::size_t>(iNodeCount) * iNodeCount, 0.0);
    auto at = [&](int i, int j) -> double& { return matrix[static_cast<std::size_t>(i) * iNodeCount + j]; };
    std::vector<CClusterNode*> nodes(iNodeCount, nullptr);
    std::vector<char> used(iNodeCount, 0);
    for (int i = 0; i < n; ++i)
        nodes[i] = new CClusterNode(run.rows[i], i);
    SOutcome out;
    out.error = ClusterError([&] {
        auto dist = [&](int i, int j) {
            const double d = rec.Distance(nodes[i], nodes[j]);
            if (!(d >= 0.0))
                throw new CClusterException(5, "no ordered distance");
            return at(i, j) = d;
        };
        int mini = -1, minj = -1;
        double current = 0.0, total = static_cast<double>((static_cast<long long>(n) * n) / 2), fMinDist = -1.0;
        for (int i = 0; i < n; ++i)
            for (int j = i + 1; j < n; ++j, current += 1) {
                if (static_cast<long long>(current) % 1000 == 0)
                    SEvents::Callback(&ev, total, current, 0);
                const double fDist = dist(i, j);
                if (fMinDist < 0 || fDist < fMinDist)
                    std::tie(fMinDist, mini, minj) = std::make_tuple(fDist, i, j);
            }
        current = 0.0;
        total = static_cast<double>(static_cast<long long>(n - 1) * n + (static_cast<long long>(n - 1) * n) / 2);
        for (int iCurrent = n; iCurrent < iNodeCount; ++iCurrent) {
            void* pData = centroid.CombineData(nodes[mini], nodes[minj]);
            nodes[iCurrent] = new CClusterNode(pData, iCurrent, nodes[mini], nodes[minj]);
            out.merges.push_back(std::make_pair(mini, minj));
            if (iCurrent == iNodeCount - 1)
                break;
            used[mini] = used[minj] = 1;
            bool searchMin = true;
            for (int i = 0; i < iCurrent; ++i, current += 1) {
                if (static_cast<long long>(current) % 1000 == 0)
                    SEvents::Callback(&ev, total, current, 1);
                const double fDist = used[i] ? -1.0 : dist(i, iCurrent);
                if (!used[i] && (fMinDist < 0 || fDist < fMinDist))
                    std::tie(fMinDist, mini, minj, searchMin) = std::make_tuple(fDist, i, iCurrent, false);
            }
            fMinDist = searchMin ? -1.0 : fMinDist;
            for (int i = 0; searchMin && i < iCurrent; ++i)
                for (int j = i + 1; j <= iCurrent && !used[i]; ++j)
                    if (!used[j] && (fMinDist < 0 || at(i, j) < fMinDist))
                        std::tie(fMinDist, mini, minj) = std::make_tuple(at(i, j), i, j);
        }
        SEvents::Callback(&ev, total, total, 1);
        for (int i = 0; i < n; ++i)
            for (int j = i + 1; j < n; ++j)
                out.leafDistances.push_back(at(i, j));
    });
    out.events = ev.list;
    for (int k = iNodeCount - 1; k >= 0; --k) {
        if (k >= n && nodes[k] != nullptr)
            delete static_cast<Vec*>(nodes[k]->GetData());
        delete nodes[k];
    }
    return out;
}

// threads 0: the library's distance behind a wrapper (pair by pair, every
// call recorded); otherwise the distance itself, evaluated in batches on
// that many threads, merge passes split into chunks of 64 nodes.
static SOutcome RunEngine(const std::vector<Vec>& data, bool correlation, int threads)
{
    SRun run(data);
    CEuclidean e;
    CCorrelation corr(run.n);
    CDistanceFunction* pDist = correlation ? static_cast<CDistanceFunction*>(&corr) : &e;
    SEvents ev;
    CRecordingDistance wrapped(pDist, &ev);
    CCentroidLinkage centroid;
    CBasicCluster c(threads == 0 ? &wrapped : pDist, &centroid);
    c.SetThreadCount(threads);
    c.SetMinimumChunk(64);
    c.SetCallback(SEvents::Callback, &ev);
    SOutcome out;
    out.error = ClusterError([&] { run.root = c.Cluster(run.Data(), run.n); });
    for (const SEvent& event : ev.list)
        if (threads == 0 || std::get<0>(event) == 1)
            out.events.push_back(event);
    for (int k = 0; out.error.first != 0 && k < 2 * run.n - 1; ++k)
        out.nodesLeft = out.nodesLeft || c.GetNodeByIndex(k) != nullptr;
    if (out.error.first != 0)
        return out;
    out.merges = Merges(c, run.n);
    for (int i = 0; i < run.n; ++i)
        for (int j = i + 1; j < run.n; ++j)
            out.leafDistances.push_back(c.GetDistanceMatrix()->GetValue(j, i));
    return out;
}

struct SCase
{
    std::string label;
    bool correlation;
    int errorId;  // expected failure, 0: none
    bool literal; // small enough for the literal loop
    std::vector<Vec> data;
};

// The engine pair by pair must make exactly the literal loop's distance calls
// and reports and the same merges; batched on one to three threads it must
// give the same merges, reports, failures and stored leaf distances.
static void ExpectAgreement(const std::vector<SCase>& cases)
{
    for (const SCase& c : cases) {
        const SOutcome pairwise = RunEngine(c.data, c.correlation, 0);
        ASSERT_EQ(pairwise.error.first, c.errorId) << c.label;
        ASSERT_FALSE(pairwise.nodesLeft) << c.label;
        if (c.literal) {
            const SOutcome lit = LiteralCluster(c.data, c.correlation);
            ASSERT_EQ(lit.error.first, c.errorId) << c.label;
            ASSERT_EQ(pairwise.merges, lit.merges) << c.label;
            ASSERT_EQ(pairwise.events, lit.events) << c.label;
            ASSERT_EQ(pairwise.leafDistances, lit.leafDistances) << c.label;
        }
        std::vector<SEvent> reports;
        for (const SEvent& event : pairwise.events)
            if (std::get<0>(event) == 1)
                reports.push_back(event);
        for (int threads : {1, 2, 3}) {
            const SOutcome got = RunEngine(c.data, c.correlation, threads);
            const std::string label = c.label + ", " + std::to_string(threads) + " threads";
            ASSERT_EQ(got.error, pairwise.error) << label;
            ASSERT_FALSE(got.nodesLeft) << label;
            ASSERT_EQ(got.merges, pairwise.merges) << label;
            ASSERT_EQ(got.events, reports) << label;
            ASSERT_EQ(got.leafDistances, pairwise.leafDistances) << label;
        }
    }
}

// Random sets of 2 to 450 rows, every fifth with the correlation distance.
TEST(BasicClusterAgreement, RandomSets)
{
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int> rowsDist(2, 70), colsDist(1, 6);
    std::vector<SCase> cases;
    for (int set = 0; set < 240; ++set) {
        const bool corr = set % 5 == 4;
        const int n = set % 80 == 0 ? 450 : set % 20 == 3 || set % 20 == 9 ? 250 : rowsDist(rng);
        cases.push_back({"set " + std::to_string(set), corr, 0, true,
                         RandomRows(n, colsDist(rng) + (corr ? 2 : 0), set, corr ? 1 : set % 3)});
    }
    ExpectAgreement(cases);
}

// Sets large enough for several fill passes, and sets that fail in the fill
// or the merging.
TEST(BasicClusterAgreement, LargeAndFailingSets)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<Vec> missing = RandomRows(700, 5, 1), constant = RandomRows(500, 4, 2);
    missing[400][3] = nan;       // the fill fails at the first pair that involves it
    constant[250] = Vec(4, 2.0); // no correlation with anything
    // 64 copies of a huge row merge level by level; the merged rows of 32
    // copies overflow to infinity, at a NaN distance from each other.
    std::vector<Vec> huge(64, Vec{1e307, 0.0});
    for (const Vec& v : RandomRows(1200, 2, 3))
        huge.push_back(v);
    ExpectAgreement({{"1500 tied rows", false, 0, false, RandomRows(1500, 2, 4, 2)},
                     {"correlation, 1200 rows x 8", true, 0, false, RandomRows(1200, 8, 5)},
                     {"missing value", false, 5, true, missing},
                     {"constant row", true, 5, true, constant},
                     {"overflowing centroids", false, 5, false, huge},
                     {"small, missing", false, 5, true, {{0}, {nan}, {5}}},
                     {"small, constant row", true, 5, true, {{1, 2, 3}, {5, 5, 5}, {3, 1, 2}}},
                     {"rows of two lengths", false, 5, true, {{0, 1}, {1, 1}, {5}}}});
}

// A distance is served by the block kernel it declares, whatever its class:
// on finite data the run then never calls Distance. Without a kernel every
// pair is computed by Distance; the trees agree. The library's distances
// cannot be derived from, so no derived class can change Distance behind
// their kernel.
TEST(BasicCluster, DistancesAreServedByTheKernelTheyDeclare)
{
    static_assert(std::is_final<CEuclidean>::value && std::is_final<CCorrelation>::value, "");
    const std::vector<Vec> data = RandomRows(300, 5, 7);
    for (bool correlation : {false, true}) {
        std::vector<std::pair<int, int>> merges[2];
        for (bool passKernel : {false, true}) {
            SRun run(data);
            CEuclidean e;
            CCorrelation corr(run.n);
            SEvents ev;
            CRecordingDistance dist(correlation ? static_cast<CDistanceFunction*>(&corr) : &e, &ev, passKernel);
            CCentroidLinkage centroid;
            CBasicCluster c(&dist, &centroid);
            c.SetThreadCount(2);
            run.root = c.Cluster(run.Data(), run.n);
            merges[passKernel] = Merges(c, run.n);
            EXPECT_EQ(ev.list.empty(), passKernel) << correlation;
            EXPECT_GE(ev.list.size(), passKernel ? 0u : 300u * 299u / 2) << correlation;
        }
        EXPECT_EQ(merges[0], merges[1]) << correlation;
    }
}

// Three rows {0}, {1}, {5}: the matrix after the run (a merged node has no
// distances any more), node lookup and cached distances.
TEST(BasicCluster, WorkedExample)
{
    SRun run({{0}, {1}, {5}});
    CEuclidean euclid;
    CCentroidLinkage centroid;
    CBasicCluster c(&euclid, &centroid);
    CClusterNode lone(nullptr, 0);
    EXPECT_EQ(c.GetDistanceMatrix(), nullptr);
    EXPECT_EQ(ClusterError([&] { c.GetCachedDistance(&lone, &lone); }).first, 4);
    run.root = c.Cluster(run.Data(), 3);
    EXPECT_EQ(*static_cast<Vec*>(run.root->GetData()), (Vec{2}));
    EXPECT_EQ(ClusterError([&] { c.GetDistanceMatrix()->GetValue(2, 3); }).first, 5);
    EXPECT_EQ(c.GetCachedDistance(c.GetNodeByIndex(2), c.GetNodeByIndex(0)), 5.0);
    EXPECT_EQ(ClusterError([&] { c.GetCachedDistance(0, &lone); }).second, "pNode1 is NULL");
    EXPECT_EQ(ClusterError([&] { c.GetCachedDistance(&lone, 0); }).second, "pNode2 is NULL");
    EXPECT_EQ(std::make_tuple(c.GetNodeByIndex(5), c.GetNodeByIndex(-1), c.GetNodeCount()),
              std::make_tuple(static_cast<CClusterNode*>(nullptr), static_cast<CClusterNode*>(nullptr), 5));
}

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

// Bad arguments and functions fail with their id and release every node;
// once leaves were built the object cannot be used again.
TEST(BasicCluster, BadArgumentsAndFunctions)
{
    CEuclidean euclid;
    CCentroidLinkage centroid;
    CLongerVectors longer;
    const struct
    {
        CDistanceFunction* dist;
        CCombineDataFunction* combine;
        int n;
        bool nullData;
        int id;
    } cases[] = {{&euclid, &centroid, 1, false, 5},  {&euclid, &centroid, 0, false, 5},
                 {&euclid, &centroid, -4, false, 5}, {&euclid, &centroid, 3, true, 4},
                 {nullptr, &centroid, 3, false, 3},  {&euclid, nullptr, 3, false, 4},
                 {&euclid, &longer, 4, false, 5}};
    for (const auto& b : cases) {
        SRun run({{0}, {1}, {5}, {9}});
        CBasicCluster c(b.dist, b.combine);
        EXPECT_EQ(ClusterError([&] { c.Cluster(b.nullData ? nullptr : run.Data(), b.n); }).first, b.id) << b.n;
        for (int k = 0; k < 7; ++k)
            EXPECT_EQ(c.GetNodeByIndex(k), nullptr);
        const int again = ClusterError([&] { run.root = c.Cluster(run.Data(), 4); }).first;
        EXPECT_TRUE(b.n < 2 || b.nullData ? again == 0 : again == 2) << b.n;
    }
}

// A stop request in the fill or the merging unwinds and releases every node.
// After a run the matrix computes the leaf distances again on its first read,
// batched or pair by pair, repeating the run's last report between passes;
// a stop there leaves the refill pending, so that a later read still gets it.
TEST(BasicCluster, StopRequestsInTheRunAndTheRefill)
{
    const std::vector<Vec> data = RandomRows(150, 4, 11);
    // Stop at a report of the run; -1: the batched refill, -2: pair by pair.
    for (long stopAt : {0L, 5L, 12L, 30L, -1L, -2L}) {
        SRun run(data);
        CEuclidean e;
        CRecordingDistance wrapped(&e, nullptr);
        CCentroidLinkage centroid;
        CBasicCluster c(stopAt == -2 ? static_cast<CDistanceFunction*>(&wrapped) : &e, &centroid);
        SEvents ev;
        ev.stopAfter = stopAt;
        c.SetCallback(SEvents::Callback, &ev);
        if (stopAt >= 0) {
            EXPECT_THROW(c.Cluster(run.Data(), run.n), CStopRequest);
            for (int k = 0; k < 2 * run.n - 1; ++k)
                ASSERT_EQ(c.GetNodeByIndex(k), nullptr);
            continue;
        }
        run.root = c.Cluster(run.Data(), run.n);
        std::vector<SEvent> expected = ev.list;
        ev.stopAfter = ev.reports + 3;
        EXPECT_THROW(c.GetDistanceMatrix()->GetValue(0, 1), CStopRequest);
        ev.stopAfter = -1;
        for (int i = 0; i < run.n; ++i)
            for (int j = i + 1; j < run.n; ++j)
                ASSERT_EQ(c.GetDistanceMatrix()->GetValue(j, i), e.Distance(c.GetNodeByIndex(i), c.GetNodeByIndex(j)));
        // 11,175 pairs: 11 reports, 3 of them before the stop.
        expected.resize(expected.size() + 3 + 11, expected.back());
        ASSERT_EQ(ev.list, expected);
    }
}

// A job that owns everything, as the entry points build it.
static CClusterThread* NewJob(const std::vector<Vec>& rows, COrdering* pOrdering)
{
    Vec** ppRows = new Vec*[rows.size()];
    for (std::size_t i = 0; i < rows.size(); ++i)
        ppRows[i] = new Vec(rows[i]);
    CBasicCluster* pEngine = new CBasicCluster(new CEuclidean(), new CCentroidLinkage());
    CClusterThread* pJob = new CClusterThread(pEngine, ppRows, (int)rows.size(), pOrdering, true);
    if (pOrdering != nullptr)
        pOrdering->SetCallback(&UpdateProgressThreadProgress, pJob);
    pEngine->SetCallback(&UpdateProgressThreadProgress, pJob);
    return pJob;
}

// An ordering that fails the way a too-large cost table does.
class CHungryOrdering : public COrdering
{
public:
    virtual void OrderLeaves(CClusterNode*, CMatrix*) { throw std::bad_alloc(); }
    virtual std::uintmax_t GetMemoryRequirement(CClusterNode*, CMatrix*) { return 0; }
};

// An ordering that runs out of memory ends the job with status 1 and the
// memory message; an owned ordering that ran is released at once, a borrowed
// one (and the rows) stay with the caller.
TEST(ClusterThread, OutOfMemoryAndOwnership)
{
    CClusterThread* pHungry = NewJob({{0.0}, {1.0}, {5.0}}, new CHungryOrdering());
    EXPECT_EQ(pHungry->Go(pthread_t()), 1);
    EXPECT_EQ(pHungry->GetErrorMessage(), CLUSTER_MEMORY_MESSAGE);
    EXPECT_NE(pHungry->GetResult(), nullptr); // the tree is still released with the job
    delete pHungry;
    CClusterThread* pJob = NewJob({{0.0}, {1.0}, {5.0}}, new COptimalOrdering());
    EXPECT_EQ(pJob->Go(pthread_t()), 0);
    EXPECT_EQ(pJob->GetOrdering(), nullptr);
    delete pJob;
    SRun run({{0.0}, {1.0}, {5.0}, {6.0}});
    CEuclidean dist;
    CCentroidLinkage link;
    CBasicCluster engine(&dist, &link);
    CEisenOrdering ordering;
    {
        CClusterThread job(&engine, run.rows.data(), 4, &ordering, false);
        EXPECT_EQ(job.Go(pthread_t()), 0);
        EXPECT_EQ(LeafWalk(job.GetResult()), (std::vector<int>{0, 1, 2, 3}));
        EXPECT_EQ(job.GetOrdering(), &ordering);
    } // releases only the result tree
    for (Vec* v : run.rows)
        EXPECT_EQ(v->size(), 1u);
}

// A stop in every phase (0/1 clustering, 2 optimal ordering) ends the job
// canceled; deleting a job running its ordering stops it and waits for the
// ordering's threads before freeing what they use.
TEST(ClusterThread, StopInEveryPhaseAndDeleteWhileRunning)
{
    const std::vector<Vec> rows = RandomRows(900, 5, 2);
    for (int phase : {0, 1, 2, -2}) {
        CClusterThread* pJob = NewJob(rows, new COptimalOrdering());
        ASSERT_EQ(pJob->Start(), 0);
        while (pJob->GetProgressInfoMsgId() < std::abs(phase) && !pJob->GetIsFinished())
            usleep(100);
        if (phase >= 0) {
            EXPECT_EQ(pJob->Stop(), 0);
            pJob->Join();
            EXPECT_TRUE(pJob->GetIsCanceled()) << "phase " << phase;
            EXPECT_FALSE(pJob->GetIsFinished()) << "phase " << phase;
        }
        CProgressThreadManager::Erase(pJob->GetJobId());
        delete pJob;
    }
}
