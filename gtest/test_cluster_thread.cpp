// The clustering job: an ordering that runs out of memory, stop requests in
// every phase, and ownership of what it was given.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <unistd.h>

#include "BasicCluster.h"
#include "ClusterThread.h"
#include "EisenOrdering.h"
#include "OptimalOrdering.h"
#include "VectorDataFunctions.h"
#include "cluster_helpers.h"

namespace
{
Vec** Rows(const std::vector<Vec>& rows)
{
    Vec** p = new Vec*[rows.size()];
    for (std::size_t i = 0; i < rows.size(); ++i)
        p[i] = new Vec(rows[i]);
    return p;
}

// A job that owns everything, as the entry points build it.
CClusterThread* NewJob(const std::vector<Vec>& rows, COrdering* pOrdering)
{
    CBasicCluster* pEngine = new CBasicCluster(new CEuclidean(), new CCentroidLinkage());
    CClusterThread* pJob = new CClusterThread(pEngine, Rows(rows), (int)rows.size(), pOrdering, true);
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
} // namespace

// An ordering that runs out of memory ends the job with status 1 and the
// memory message; an owned ordering that ran is released at once.
TEST(ClusterThread, OrderingOutOfMemoryAndRelease)
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
}

// A stop in every phase (0/1 clustering, 2 optimal ordering) ends the job
// canceled; deleting a running job stops it before freeing what it uses.
TEST(ClusterThread, StopInEveryPhaseAndDeleteWhileRunning)
{
    const std::vector<Vec> rows = NormalRows(900, 5, 2);
    for (int phase : {0, 1, 2, -1})
    {
        CClusterThread* pJob = NewJob(rows, new COptimalOrdering());
        ASSERT_EQ(pJob->Start(), 0);
        while (pJob->GetProgressInfoMsgId() < std::abs(phase) && !pJob->GetIsFinished())
            usleep(100);
        if (phase >= 0)
        {
            EXPECT_EQ(pJob->Stop(), 0);
            pJob->Join();
            EXPECT_TRUE(pJob->GetIsCanceled()) << "phase " << phase;
            EXPECT_FALSE(pJob->GetIsFinished()) << "phase " << phase;
        }
        CProgressThreadManager::Erase(pJob->GetJobId());
        delete pJob;
    }
}

// With bDeleteAll false the job releases only its result tree.
TEST(ClusterThread, BorrowedObjectsStayWithTheCaller)
{
    std::vector<double>** ppRows = Rows({{0.0}, {1.0}, {5.0}, {6.0}});
    CEuclidean dist;
    CCentroidLinkage link;
    CBasicCluster engine(&dist, &link);
    CEisenOrdering ordering;
    {
        CClusterThread job(&engine, ppRows, 4, &ordering, false);
        EXPECT_EQ(job.Go(pthread_t()), 0);
        EXPECT_EQ(LeafWalk(job.GetResult()), (std::vector<int>{0, 1, 2, 3}));
        EXPECT_EQ(job.GetOrdering(), &ordering);
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ppRows[i]->size(), 1u);
    DeleteRowData(ppRows, 4);
}
