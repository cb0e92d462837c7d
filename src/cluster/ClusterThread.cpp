#include "ClusterThread.h"

#include <new>

#include "Cluster.h"
#include "ClusterException.h"
#include "ClusterNode.h"
#include "Ordering.h"

const char* const CLUSTER_MEMORY_MESSAGE = "Not enough memory. Your dataset may be too large.";

void DeleteClusterTree(CClusterNode* pRoot)
{
    if (pRoot == nullptr)
        return;
    std::vector<CClusterNode*> pending(1, pRoot);
    while (!pending.empty()) {
        CClusterNode* pNode = pending.back();
        pending.pop_back();
        if (!pNode->IsLeaf()) {
            if (pNode->GetLeftChild() != nullptr)
                pending.push_back(pNode->GetLeftChild());
            if (pNode->GetRightChild() != nullptr)
                pending.push_back(pNode->GetRightChild());
            delete static_cast<std::vector<double>*>(pNode->GetData());
        }
        delete pNode;
    }
}

void DeleteRowData(std::vector<double>** pRows, int count)
{
    if (pRows == nullptr)
        return;
    for (int i = 0; i < count; ++i)
        delete pRows[i];
    delete[] pRows;
}

CClusterThread::CClusterThread(CCluster* pCluster, std::vector<double>** pInData, int dataCount, COrdering* pOrdering,
                               bool bDeleteAll)
    : m_pCluster(pCluster), m_pInData(pInData), m_dataCount(dataCount), m_pOrdering(pOrdering), m_pResult(nullptr),
      m_bDeleteAll(bDeleteAll)
{}

CClusterThread::~CClusterThread()
{
    // A running worker uses everything below: make sure it has ended first.
    if (GetIsStarted()) {
        if (!GetIsFinished())
            Stop();
        Join();
    }
    if (m_bDeleteAll) {
        DeleteRowData(m_pInData, m_dataCount);
        m_pInData = nullptr;
        m_dataCount = 0;
        if (m_pCluster != nullptr) {
            delete m_pCluster->GetDistanceFunction();
            delete m_pCluster->GetCombineDataFunction();
            delete m_pCluster;
            m_pCluster = nullptr;
        }
        delete m_pOrdering;
        m_pOrdering = nullptr;
    }
    DeleteClusterTree(m_pResult);
    m_pResult = nullptr;
}

void CClusterThread::CleanupForTermination() {}

int CClusterThread::Go(pthread_t)
{
    try {
        if (m_pCluster == nullptr || m_pInData == nullptr)
            throw new CClusterException(4, "null pointer arguments");
        m_pResult = m_pCluster->Cluster(reinterpret_cast<void**>(m_pInData), m_dataCount);
        if (m_pResult == nullptr)
            return -1;
        if (m_pOrdering != nullptr) {
            m_pOrdering->OrderLeaves(m_pResult, m_pCluster->GetDistanceMatrix());
            // An owned ordering is not needed any more; the optimal one holds
            // an n x n cost table that need not wait for the job's deletion.
            if (m_bDeleteAll) {
                delete m_pOrdering;
                m_pOrdering = nullptr;
            }
        }
        return 0;
    } catch (CClusterException* e) {
        int id = e->Id();
        SetErrorMessage(e->Message());
        delete e;
        return id != 0 ? id : -1;
    } catch (const std::bad_alloc&) {
        SetErrorMessage(CLUSTER_MEMORY_MESSAGE);
        return 1;
    }
    // A stop request and any other exception pass to the job framework.
}
