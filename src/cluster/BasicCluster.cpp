#include "BasicCluster.h"

#include <climits>
#include <cstddef>
#include <new>
#include <vector>

#include "ClusterException.h"
#include "ClusterNode.h"
#include "MergeEngine.h"
#include "MergeState.h"
#include "SafeInt.h"
#include "UpperDiagonalMatrix.h"
#include "WorkerPool.h"

CBasicCluster::CBasicCluster(CDistanceFunction* pDistance, CCombineDataFunction* pCombineData)
    : CCluster(pDistance, pCombineData), m_pDistances(0), m_ppNodes(0), m_iNodeCount(0),
      m_iThreads(lumo::DefaultThreadCount()), m_iMinChunk(kDefaultMinChunk), m_fFinalTotal(0.0)
{}

CBasicCluster::~CBasicCluster()
{
    delete[] m_ppNodes;
    delete m_pDistances;
}

CMatrix* CBasicCluster::GetDistanceMatrix()
{
    return m_pDistances;
}

// Deletes the nodes of an unfinished run (and the merged nodes' data
// vectors, which the run created) and clears their table entries.
void CBasicCluster::ReleasePartialTree(int iDataCount)
{
    if (m_ppNodes == 0)
        return;
    for (int k = 0; k < m_iNodeCount; ++k) {
        CClusterNode* p = m_ppNodes[k];
        if (p == 0)
            continue;
        if (k >= iDataCount)
            delete static_cast<std::vector<double>*>(p->GetData());
        delete p;
        m_ppNodes[k] = 0;
    }
}

// Checks the call and allocates the node table.
void CBasicCluster::StartRun(void** ppData, int iDataCount)
{
    if (m_ppNodes != 0)
        throw new CClusterException(2, "cannot call Cluster more than once");
    if (iDataCount < 2)
        throw new CClusterException(5, "clustering needs at least two rows");
    if (iDataCount > INT_MAX / 2)
        throw new CClusterException(5, "too many rows to cluster");
    if (ppData == 0)
        throw new CClusterException(4, "ppData is NULL");
    const int iNodeCount = 2 * iDataCount - 1;
    try {
        m_ppNodes = new CClusterNode*[static_cast<std::size_t>(iNodeCount)]();
    } catch (const std::bad_alloc&) {
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    }
    m_iNodeCount = iNodeCount;
}

// The leaves, the checks of the functions, and the matrix: n slots for the
// 2n - 1 nodes, as only unmerged nodes keep distances.
void CBasicCluster::PrepareRun(void** ppData)
{
    const int n = (m_iNodeCount + 1) / 2;
    for (int i = 0; i < n; ++i) {
        CClusterNode* pLeaf = 0;
        try {
            pLeaf = new CClusterNode(ppData[i], i);
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Not enough memory to complete clustering.");
        } catch (const invalid_index&) {
            throw new CClusterException(5, "Invalid index when creating cluster node.");
        }
        SetNodeByIndex(i, pLeaf);
    }
    if (GetDistanceFunction() == 0)
        throw new CClusterException(3, "no distance function provided");
    if (GetCombineDataFunction() == 0)
        throw new CClusterException(4, "no combine function provided");
    try {
        m_pDistances = new CUpperDiagonalMatrix(n, m_iNodeCount);
    } catch (const std::bad_alloc&) {
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    }
}

// Fills the matrix with the distances between the leaves and merges.
CClusterNode* CBasicCluster::Run()
{
    CMergeEngine engine(*this, GetDistanceFunction(), GetCombineDataFunction(), m_ppNodes, *m_pDistances, Workers(),
                        m_iMinChunk);
    engine.Fill();
    CClusterNode* pRoot = engine.Merge();
    FinishRun(engine.MergeTotal());
    return pRoot;
}

// The final report. The matrix now holds the distances of the last nodes
// only; the orderings read distances between leaves, which are computed
// again when the matrix is first read.
void CBasicCluster::FinishRun(double total)
{
    DoCallback(total, total, kPhaseMerging);
    m_fFinalTotal = total;
    m_pDistances->SetRefill([this]() { RestoreLeafDistances(); });
}

CClusterNode* CBasicCluster::Cluster(void** ppData, int iDataCount)
{
    StartRun(ppData, iDataCount);
    try {
        PrepareRun(ppData);
        return Run();
    } catch (...) {
        ReleasePartialTree(iDataCount);
        throw;
    }
}

void CBasicCluster::RestoreLeafDistances()
{
    CMergeEngine::RestoreLeafDistances(*this, GetDistanceFunction(), m_ppNodes, *m_pDistances, Workers(),
                                       m_fFinalTotal);
}

// The run's worker pool: built on first use and kept for the refills of the
// matrix; built again only when the thread count has changed.
lumo::CWorkerPool& CBasicCluster::Workers()
{
    if (!m_pWorkers || m_pWorkers->Threads() != m_iThreads) {
        try {
            m_pWorkers.reset(new lumo::CWorkerPool(m_iThreads));
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
    }
    return *m_pWorkers;
}

// What a run holds at its peak: the triangle of n slots, and per node index
// its node and data vector, its slot, the selection state (key 8, partner 4,
// flag 1, heap entry and position 8, active entry 4) and its place in the
// centroid copy (4); per leaf, rounded up to whole blocks of four, the fill
// buffer's rows, the centroid copy, its node list and spreads.
unsigned long long CBasicCluster::GetMemoryRequirement(unsigned long long iDataSize, unsigned long long iDataCount)
{
    typedef CSafeInt<unsigned long long> S;
    // The doubling is checked so that a huge count cannot wrap to a small
    // requirement (no rows at all wraps to the largest value, which the
    // per-node term then rejects).
    unsigned long long iNodeCount = S::Multiply(2, iDataCount) - 1;
    unsigned long long padded = S::Multiply(S::Divide(S::Add(iDataCount, 3), 4), 4);
    unsigned long long memReq = CUpperDiagonalMatrix::GetMemoryRequirement(iDataCount);
    memReq = S::Add(memReq, S::Multiply(S::Add(32 + 4 + 25 + 4, iDataSize), iNodeCount));
    memReq = S::Add(memReq, S::Multiply(S::Add(8 * CMergeState::kFillBlock + 4 + 8, iDataSize), padded));
    memReq = S::Add(memReq, 400);
    memReq = S::Add(memReq, m_pDistance != 0 ? m_pDistance->GetMemoryRequirement() : 0);
    memReq = S::Add(memReq, m_pCombineData != 0 ? m_pCombineData->GetMemoryRequirement() : 0);
    return memReq;
}

CClusterNode* CBasicCluster::GetNodeByIndex(int index)
{
    if (m_ppNodes == 0 || index < 0 || index >= m_iNodeCount)
        return 0;
    return m_ppNodes[index];
}

void CBasicCluster::SetNodeByIndex(int index, CClusterNode* pNode)
{
    if (m_ppNodes == 0 || index < 0 || index >= m_iNodeCount)
        throw new CClusterException(5, "node index out of range");
    m_ppNodes[index] = pNode;
}

double CBasicCluster::GetCachedDistance(CClusterNode* pNode1, CClusterNode* pNode2)
{
    if (pNode1 == 0)
        throw new CClusterException(4, "pNode1 is NULL");
    if (pNode2 == 0)
        throw new CClusterException(4, "pNode2 is NULL");
    if (m_pDistances == 0)
        throw new CClusterException(4, "no distance matrix: Cluster has not run");
    return m_pDistances->GetValue(pNode1->GetIndex(), pNode2->GetIndex());
}
