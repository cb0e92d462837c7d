#include "ClusterNode.h"

#include <new>
#include <vector>

CClusterNode::CClusterNode(void* pData, int index)
    : m_pParent(0), m_pLeft(0), m_pRight(0), m_pData(pData), m_pLeftLeaves(0), m_pRightLeaves(0), m_index(index)
{
    try {
        m_pLeftLeaves = new CClusterNodeVector(0);
        m_pRightLeaves = new CClusterNodeVector(0);
    } catch (const std::bad_alloc&) {
        delete m_pLeftLeaves;
        delete m_pRightLeaves;
        throw new CClusterException(1, "Out of memory (bad_alloc)");
    }
}

static int LeavesBelow(CClusterNode* p)
{
    if (p == 0)
        return 0;
    return p->IsLeaf() ? 1 : p->GetLeafCount();
}

CClusterNode::CClusterNode(void* pData, int index, CClusterNode* pLeft, CClusterNode* pRight)
    : m_pParent(0), m_pLeft(pLeft), m_pRight(pRight), m_pData(pData), m_pLeftLeaves(0), m_pRightLeaves(0),
      m_index(index)
{
    int ltCount = LeavesBelow(pLeft);
    int rtCount = LeavesBelow(pRight);
    try {
        m_pLeftLeaves = new CClusterNodeVector(ltCount);
        m_pRightLeaves = new CClusterNodeVector(rtCount);
    } catch (const std::bad_alloc&) {
        delete m_pLeftLeaves;
        delete m_pRightLeaves;
        throw new CClusterException(1, "Out of memory.");
    }
    // The capacities are exact, so the appends below cannot overflow; should a
    // child's lists be inconsistent all the same, nothing is leaked.
    try {
        if (m_pLeft != 0) {
            m_pLeft->SetParent(this);
            AppendLeavesOf(m_pLeft, m_pLeftLeaves);
        }
        if (m_pRight != 0) {
            m_pRight->SetParent(this);
            AppendLeavesOf(m_pRight, m_pRightLeaves);
        }
    } catch (...) {
        if (m_pLeft != 0 && m_pLeft->GetParent() == this)
            m_pLeft->SetParent(0);
        if (m_pRight != 0 && m_pRight->GetParent() == this)
            m_pRight->SetParent(0);
        delete m_pLeftLeaves;
        delete m_pRightLeaves;
        throw;
    }
}

void CClusterNode::AppendLeavesOf(CClusterNode* pChild, CClusterNodeVector* pList)
{
    if (pChild->IsLeaf()) {
        pList->insert(pList->end(), pChild);
        return;
    }
    CClusterNodeVector* pL = pChild->GetLeftLeaves();
    CClusterNodeVector* pR = pChild->GetRightLeaves();
    pList->insert(pList->end(), pL->begin(), pL->end());
    pList->insert(pList->end(), pR->begin(), pR->end());
}

CClusterNode::~CClusterNode()
{
    delete m_pLeftLeaves;
    delete m_pRightLeaves;
}

void CClusterNode::RecursiveDelete()
{
    // Explicit stack instead of recursion: a chain-shaped tree is as deep as
    // it has leaves.
    std::vector<CClusterNode*> stack;
    if (m_pRight != 0)
        stack.push_back(m_pRight);
    if (m_pLeft != 0)
        stack.push_back(m_pLeft);
    m_pRight = 0;
    m_pLeft = 0;
    while (!stack.empty()) {
        CClusterNode* p = stack.back();
        stack.pop_back();
        if (p->m_pRight != 0)
            stack.push_back(p->m_pRight);
        if (p->m_pLeft != 0)
            stack.push_back(p->m_pLeft);
        p->m_pLeft = 0;
        p->m_pRight = 0;
        delete p;
    }
}

int CClusterNode::GetLeafCount()
{
    int count = 0;
    if (m_pLeftLeaves != 0)
        count += m_pLeftLeaves->size();
    if (m_pRightLeaves != 0)
        count += m_pRightLeaves->size();
    return count;
}

bool CClusterNode::VectorContains(CClusterNodeVector* pVec, CClusterNode* pTree)
{
    if (pVec == 0)
        return false;
    for (CClusterNodeVector_iterator it = pVec->begin(); it != pVec->end(); it++)
        if (*it == pTree)
            return true;
    return false;
}

bool CClusterNode::IsLeftLeaf(CClusterNode* child)
{
    if (m_pLeft == 0)
        return false;
    return VectorContains(m_pLeftLeaves, child);
}

bool CClusterNode::IsRightLeaf(CClusterNode* child)
{
    if (m_pRight == 0)
        return false;
    return VectorContains(m_pRightLeaves, child);
}

void CClusterNode::SwapLeaves()
{
    CClusterNode* pNode = m_pLeft;
    m_pLeft = m_pRight;
    m_pRight = pNode;
    CClusterNodeVector* pVec = m_pLeftLeaves;
    m_pLeftLeaves = m_pRightLeaves;
    m_pRightLeaves = pVec;
}

// Visits the nodes below pRoot in pre-order, left before right, with an
// explicit stack so that the depth of the tree never limits the walk; with
// leavesOnly the action sees the leaves alone.
static void WalkPreOrder(CClusterNode* pRoot, CClusterNodeFunction* pAction, bool leavesOnly)
{
    if (pAction == 0)
        return;
    std::vector<CClusterNode*> stack(1, pRoot);
    while (!stack.empty()) {
        CClusterNode* p = stack.back();
        stack.pop_back();
        if (!leavesOnly || p->IsLeaf())
            pAction->Go(p);
        if (p->IsLeaf())
            continue;
        if (p->GetRightChild() != 0)
            stack.push_back(p->GetRightChild());
        if (p->GetLeftChild() != 0)
            stack.push_back(p->GetLeftChild());
    }
}

void CClusterNode::WalkLeaves(CClusterNodeFunction* pAction)
{
    WalkPreOrder(this, pAction, true);
}

void CClusterNode::WalkTree(CClusterNodeFunction* pAction)
{
    WalkPreOrder(this, pAction, false);
}
