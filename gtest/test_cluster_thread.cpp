// The clustering job: clustering then ordering on a worker, failures as job
// statuses, stop requests in every phase, and ownership of what it was given.
#include <gtest/gtest.h>

#include <new>
#include <random>
#include <unistd.h>

#include "BasicCluster.h"
#include "ClusterException.h"
#include "ClusterNode.h"
#include "ClusterThread.h"
#include "EisenOrdering.h"
#include "OptimalOrdering.h"
#include "VectorDataFunctions.h"
#include "ordering_helpers.h"

namespace
{
std::vector<double>** Rows(const std::vector<std::vector<double>>& rows)
{
    std::vector<double>** p = new std::vector<double>*[rows.size()];
    for (std::size_t i = 0; i < rows.size(); ++i)
        p[i] = new std::vector<double>(rows[i]);
    return p;
}

std::vector<std::vector<double>> RandomRows(int n, int p, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> g;
    std::vector<std::vector<double>> rows(n, std::vector<double>(p));
    for (auto& r : rows)
        for (double& v : r)
            v = g(rng);
    return rows;
}

// A job that owns everything, as the entry points build it.
CClusterThread* NewJob(const std::vector<std::vector<double>>& rows, COrdering* pOrdering, bool correlation = false)
{
    CDistanceFunction* pDist = correlation ? static_cast<CDistanceFunction*>(new CCorrelation((int)rows.size()))
                                           : new CEuclidean();
    CBasicCluster* pEngine = new CBasicCluster(pDist, new CCentroidLinkage());
    CClusterThread* pJob = new CClusterThread(pEngine, Rows(rows), (int)rows.size(), pOrdering, true);
    if (pOrdering != nullptr)
        pOrdering->SetCallback(&UpdateProgressThreadProgress, pJob);
    pEngine->SetCallback(&UpdateProgressThreadProgress, pJob);
    return pJob;
}

void WaitUntilFinished(CClusterThread* pJob)
{
    while (!pJob->GetIsFinished() && !pJob->GetIsCanceled())
        usleep(500);
    pJob->Join();
}

// An ordering that fails the way a too-large cost table does.
class CHungryOrdering : public COrdering
{
public:
    virtual void OrderLeaves(CClusterNode*, CMatrix*) { throw std::bad_alloc(); }
    virtual std::uintmax_t GetMemoryRequirement(CClusterNode*, CMatrix*) { return 0; }
};
}

TEST(ClusterThread, ClustersThenOrdersOnTheWorker)
{
    CClusterThread* pJob = NewJob({{0.0}, {1.0}, {5.0}}, new CEisenOrdering());
    ASSERT_EQ(pJob->Start(), 0);
    WaitUntilFinished(pJob);
    EXPECT_EQ(pJob->GetReturnStatus(), 0);
    CClusterNode* root = pJob->GetResult();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetIndex(), 4);
    // Leaf 2 (weight 5) was swapped to the right of node 3 (weight 0.5).
    EXPECT_EQ(root->GetLeftChild()->GetIndex(), 3);
    EXPECT_EQ(LeafWalk(root), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(pJob->GetProgressInfoMsgId(), 5);
    EXPECT_EQ(pJob->GetOrdering(), nullptr); // released once it has run
    CProgressThreadManager::Erase(pJob->GetJobId());
    delete pJob;
}

TEST(ClusterThread, SynchronousGoWithTheOptimalOrdering)
{
    std::vector<std::vector<double>> rows = RandomRows(60, 4, 1);
    CClusterThread* pJob = NewJob(rows, new COptimalOrdering());
    EXPECT_EQ(pJob->Go(pthread_t()), 0);
    std::vector<int> order = LeafWalk(pJob->GetResult());
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(sorted[i], i);
    // No orientation of the tree is shorter than the ordered one.
    double len = PathCost(order, *pJob->GetClusterer()->GetDistanceMatrix());
    for (int i = 0; i < 60 - 1; ++i)
    {
        CClusterNode* node = static_cast<CBasicCluster*>(pJob->GetClusterer())->GetNodeByIndex(60 + i);
        node->SwapLeaves();
        EXPECT_GE(PathCost(LeafWalk(pJob->GetResult()), *pJob->GetClusterer()->GetDistanceMatrix()), len - 1e-9);
        node->SwapLeaves();
    }
    delete pJob;
}

TEST(ClusterThread, EngineFailureBecomesStatusAndMessage)
{
    CClusterThread* pJob = NewJob({{1, 2, 3}, {5, 5, 5}, {3, 1, 2}}, nullptr, true);
    EXPECT_EQ(pJob->Go(pthread_t()), 5);
    EXPECT_EQ(pJob->GetErrorMessage(), "correlation value was outside the range (-1, 1)");
    EXPECT_EQ(pJob->GetResult(), nullptr);
    delete pJob;

    CClusterThread* pHungry = NewJob({{0.0}, {1.0}, {5.0}}, new CHungryOrdering());
    EXPECT_EQ(pHungry->Go(pthread_t()), 1);
    EXPECT_EQ(pHungry->GetErrorMessage(), CLUSTER_MEMORY_MESSAGE);
    EXPECT_NE(pHungry->GetResult(), nullptr); // the tree is still released with the job
    delete pHungry;
}

TEST(ClusterThread, StopInEveryPhaseEndsTheJobCanceled)
{
    // Stop once the job reports the given phase: 0/1 clustering, 2-4 optimal ordering.
    std::vector<std::vector<double>> rows = RandomRows(900, 5, 2);
    for (int phase : {0, 1, 2})
    {
        CClusterThread* pJob = NewJob(rows, new COptimalOrdering());
        ASSERT_EQ(pJob->Start(), 0);
        while (pJob->GetProgressInfoMsgId() < phase && !pJob->GetIsFinished())
            usleep(100);
        EXPECT_EQ(pJob->Stop(), 0);
        pJob->Join();
        EXPECT_TRUE(pJob->GetIsCanceled()) << "phase " << phase;
        EXPECT_FALSE(pJob->GetIsFinished()) << "phase " << phase;
        CProgressThreadManager::Erase(pJob->GetJobId());
        delete pJob;
    }
}

TEST(ClusterThread, DestroyingARunningJobStopsItFirst)
{
    std::vector<std::vector<double>> rows = RandomRows(1500, 5, 3);
    CClusterThread* pJob = NewJob(rows, new COptimalOrdering());
    ASSERT_EQ(pJob->Start(), 0);
    usleep(20000);
    CProgressThreadManager::Erase(pJob->GetJobId());
    delete pJob; // must not free the engine under the running worker
    SUCCEED();
}

TEST(ClusterThread, BorrowedObjectsStayWithTheCaller)
{
    std::vector<double>** ppRows = Rows({{0.0}, {1.0}, {5.0}, {6.0}});
    CEuclidean dist;
    CCentroidLinkage link;
    CBasicCluster engine(&dist, &link);
    COptimalOrdering ordering;
    {
        CClusterThread job(&engine, ppRows, 4, &ordering, false);
        EXPECT_EQ(job.Go(pthread_t()), 0);
        EXPECT_EQ(LeafWalk(job.GetResult()).size(), 4u);
    } // releases only the result tree
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ppRows[i]->size(), 1u);
    DeleteRowData(ppRows, 4);
}

TEST(ClusterThread, DeepTreesAreReleasedWithoutRecursion)
{
    // A chain of 3,000 merges, deleted on a 64 KiB stack that a recursion
    // one frame per level would overflow.
    struct SArg
    {
        CClusterNode* root;
    } arg;
    const int n = 3000;
    CClusterNode* top = new CClusterNode(nullptr, 0);
    for (int i = 1; i < n; ++i)
        top = new CClusterNode(new std::vector<double>(1, 0.0), n + i - 1, new CClusterNode(nullptr, i), top);
    arg.root = top;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, &attr,
                             [](void* p) -> void* {
                                 DeleteClusterTree(static_cast<SArg*>(p)->root);
                                 return nullptr;
                             },
                             &arg),
              0);
    pthread_join(th, nullptr);
    pthread_attr_destroy(&attr);
}
