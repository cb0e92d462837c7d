#include "EisenOrdering.h"

#include <vector>

#include "ClusterException.h"
#include "ClusterNode.h"

// ---------------------------------------------------------------- weights

// The node's data vector; throws (id 4) for a missing node or vector.
static std::vector<double>* NodeData(CClusterNode* pNode)
{
    if (pNode == nullptr)
        throw new CClusterException(4, "pNode is NULL");
    std::vector<double>* pData = static_cast<std::vector<double>*>(pNode->GetData());
    if (pData == nullptr)
        throw new CClusterException(4, "pData is NULL");
    return pData;
}

double CAverageWeight::GetWeight(CClusterNode* pNode)
{
    std::vector<double>* pData = NodeData(pNode);
    double sum = 0.0;
    for (std::vector<double>::const_iterator it = pData->begin(); it != pData->end(); ++it)
        sum += *it;
    // An empty vector gives 0/0, a NaN, which never causes a swap.
    return sum / static_cast<double>(pData->size());
}

double CTimeOfMaxExpression::GetWeight(CClusterNode* pNode)
{
    std::vector<double>* pData = NodeData(pNode);
    if (pData->empty())
        throw new CClusterException(5, "pData1->size() == 0");
    double maxValue = (*pData)[0];
    std::size_t maxPos = 0;
    for (std::size_t pos = 1; pos < pData->size(); ++pos) {
        if ((*pData)[pos] > maxValue) {
            maxValue = (*pData)[pos];
            maxPos = pos;
        }
    }
    return static_cast<double>(maxPos);
}

// ---------------------------------------------------------------- ordering

CEisenOrdering::CEisenOrdering() : m_pWeight(nullptr), m_freeWeight(true), m_trackerTotal(0), m_tracker(0)
{
    m_pWeight = new CAverageWeight();
}

CEisenOrdering::CEisenOrdering(CWeightFunction* pWeight)
    : m_pWeight(pWeight), m_freeWeight(false), m_trackerTotal(0), m_tracker(0)
{}

CEisenOrdering::~CEisenOrdering()
{
    if (m_freeWeight && m_pWeight != nullptr) {
        delete m_pWeight;
        m_pWeight = nullptr;
    }
}

void CEisenOrdering::OrderLeaves(CClusterNode* pCluster, CMatrix* pDistances)
{
    if (pCluster == nullptr)
        throw new CClusterException(4, "argument pCluster may not be null");
    if (m_pWeight == nullptr)
        throw new CClusterException(4, "null pointer arguments");
    m_trackerTotal = 2 * pCluster->GetLeafCount() - 1;
    m_tracker = 0;
    OrderLeavesRecursive(pCluster, pDistances);
}

std::uintmax_t CEisenOrdering::GetMemoryRequirement(CClusterNode*, CMatrix*)
{
    return 0;
}

void CEisenOrdering::OrderLeavesRecursive(CClusterNode* pCluster, CMatrix*)
{
    // Each node is decided by the weights of its own two children, which do
    // not depend on the orientation below them, so the order of the visits is
    // free: a stack of pending nodes replaces the recursion.
    std::vector<CClusterNode*> pending(1, pCluster);
    while (!pending.empty()) {
        CClusterNode* pNode = pending.back();
        pending.pop_back();
        if (pNode == nullptr || pNode->IsLeaf())
            continue;
        CClusterNode* pLeft = pNode->GetLeftChild();
        CClusterNode* pRight = pNode->GetRightChild();
        if (pLeft != nullptr && pRight != nullptr) {
            double lw = m_pWeight->GetWeight(pLeft);
            double rw = m_pWeight->GetWeight(pRight);
            // Only a strictly larger left weight swaps; NaN compares false.
            if (lw > rw)
                pNode->SwapLeaves();
        }
        if (pNode->GetRightChild() != nullptr)
            pending.push_back(pNode->GetRightChild());
        if (pNode->GetLeftChild() != nullptr)
            pending.push_back(pNode->GetLeftChild());

        DoCallback(m_trackerTotal, m_tracker, kPhaseWeightOrdering);
        ++m_tracker;
    }
}
