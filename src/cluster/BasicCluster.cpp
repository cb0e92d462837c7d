#include "BasicCluster.h"

#include "ClusterException.h"
#include "ClusterNode.h"
#include "SafeInt.h"
#include "UpperDiagonalMatrix.h"

CBasicCluster::CBasicCluster(CDistanceFunction* pDistance, CCombineDataFunction* pCombineData)
    : CCluster(pDistance, pCombineData), m_pDistances(0), m_ppNodes(0), m_iNodeCount(0)
{
}

CBasicCluster::~CBasicCluster()
{
    delete[] m_ppNodes;
    delete m_pDistances;
}

CMatrix* CBasicCluster::GetDistanceMatrix()
{
    return m_pDistances;
}

CClusterNode* CBasicCluster::Cluster(void** /*ppData*/, int /*iDataCount*/)
{
    throw new CClusterException(5, "not implemented yet");
}

unsigned long long CBasicCluster::GetMemoryRequirement(unsigned long long iDataSize, unsigned long long iDataCount)
{
    typedef CSafeInt<unsigned long long> S;
    unsigned long long iNodeCount = 2 * iDataCount - 1;
    unsigned long long memReq = CUpperDiagonalMatrix::GetMemoryRequirement(iNodeCount);
    unsigned long long size1 = S::Multiply(S::Add(32, iDataSize), iNodeCount);
    memReq = S::Add(memReq, size1);
    size1 = S::Multiply(iNodeCount, 1);
    memReq = S::Add(memReq, size1);
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
