#include "OptimalOrdering.h"

#include <algorithm>

#include "ClusterException.h"
#include "ClusterNode.h"
#include "Matrix.h"

namespace
{
// Appends the indices of a stored leaf list; every index must address the table.
void AppendLeafIndices(CClusterNodeVector* pList, std::vector<int>& out, int leafCount)
{
    for (CClusterNodeVector_iterator it = pList->begin(); it != pList->end(); it++)
    {
        int index = (*it)->GetIndex();
        if (index < 0 || index >= leafCount)
            throw new CClusterException(5, "leaf index out of range");
        out.push_back(index);
    }
}

// Leaves of a child as a candidate array: its left side [0, split) followed by
// its right side [split, size). A leaf child is a one-element array that
// serves as both sides.
int ChildLeaves(CClusterNode* pChild, std::vector<int>& out, int leafCount)
{
    out.clear();
    if (pChild->IsLeaf())
    {
        out.push_back(pChild->GetIndex());
        return 1;
    }
    AppendLeafIndices(pChild->GetLeftLeaves(), out, leafCount);
    int split = static_cast<int>(out.size());
    AppendLeafIndices(pChild->GetRightLeaves(), out, leafCount);
    return split;
}

// Range of the inner-end candidates for the end leaf at position p: the other
// side of the same child, or the leaf itself when the child is a leaf.
inline void OtherSide(int p, int split, int size, int& lo, int& hi)
{
    if (size == 1)
    {
        lo = 0;
        hi = 1;
    }
    else if (p < split)
    {
        lo = split;
        hi = size;
    }
    else
    {
        lo = 0;
        hi = split;
    }
}

struct SPending
{
    CClusterNode* pNode;
    CClusterNode* pFirst; // the leaf the subtree's ordering must start with
    CClusterNode* pLast;  // the leaf it must end with
};
}

COptimalOrdering::COptimalOrdering()
    : m_ppCosts(nullptr), m_iLeafCount(0), m_pNode(nullptr), m_pDistances(nullptr), m_iNodeCount(0),
      m_iNodeTracker(0.0), m_iNodeTrackerMax(0.0), m_bUsed(false)
{
}

COptimalOrdering::~COptimalOrdering()
{
    DeleteInternals();
}

std::uintmax_t COptimalOrdering::GetMemoryRequirement(CClusterNode*, CMatrix*)
{
    return 0;
}

void COptimalOrdering::OrderLeaves(CClusterNode* pCluster, CMatrix* pDistances)
{
    if (pCluster == nullptr)
        throw new CClusterException(4, "argument pCluster may not be null");
    if (m_bUsed || m_ppCosts != nullptr)
        throw new CClusterException(2, "OrderLeaves may not be called more than once");
    m_bUsed = true;
    if (pDistances == nullptr)
        throw new CClusterException(4, "null pointer arguments");
    // A single leaf has nothing to order (and a leaf count of 0).
    if (pCluster->IsLeaf())
        return;

    std::vector<CClusterNode*> postOrder;
    CollectNodes(pCluster, postOrder);
    CreateInternals(pCluster, pDistances);

    m_iNodeTrackerMax = static_cast<double>(m_iLeafCount) * m_iLeafCount;
    m_iNodeTracker = 0.0;
    ComputeCosts(postOrder);

    CClusterNode* pBestU = nullptr;
    CClusterNode* pBestW = nullptr;
    GetBestPair(pCluster, &pBestU, &pBestW);

    m_iNodeTracker = 0.0;
    Backtrack(pCluster, pBestU, pBestW);
}

void COptimalOrdering::CollectNodes(CClusterNode* pRoot, std::vector<CClusterNode*>& postOrder)
{
    const int leafCount = pRoot->GetLeafCount();
    std::vector<char> seen(static_cast<std::size_t>(leafCount), 0);
    int leaves = 0;
    // Pre-order with the right child visited first; reversed, every node
    // comes after both of its children.
    std::vector<CClusterNode*> pending(1, pRoot);
    while (!pending.empty())
    {
        CClusterNode* pNode = pending.back();
        pending.pop_back();
        postOrder.push_back(pNode);
        if (pNode->IsLeaf())
        {
            int index = pNode->GetIndex();
            if (index < 0 || index >= leafCount)
                throw new CClusterException(5, "leaf index out of range");
            if (seen[index])
                throw new CClusterException(5, "leaf index occurs twice");
            seen[index] = 1;
            ++leaves;
            continue;
        }
        if (pNode->GetLeftChild() == nullptr || pNode->GetRightChild() == nullptr)
            throw new CClusterException(4, "pCluster is NULL");
        pending.push_back(pNode->GetLeftChild());
        pending.push_back(pNode->GetRightChild());
        if (postOrder.size() > 2 * static_cast<std::size_t>(leafCount))
            throw new CClusterException(5, "leaf index out of range");
    }
    if (leaves != leafCount)
        throw new CClusterException(5, "leaf index out of range");
    std::reverse(postOrder.begin(), postOrder.end());
}

void COptimalOrdering::CreateInternals(CClusterNode* pRoot, CMatrix* pDistances)
{
    m_iLeafCount = pRoot->GetLeafCount();
    m_iNodeCount = 2 * m_iLeafCount - 1;
    m_pNode = pRoot;
    m_pDistances = pDistances;
    // Rows start null so that a failed allocation leaves a table that
    // DeleteInternals can release.
    m_ppCosts = new double*[m_iLeafCount]();
    for (int i = 0; i < m_iLeafCount; ++i)
        m_ppCosts[i] = new double[m_iLeafCount];

    const std::size_t n = static_cast<std::size_t>(m_iLeafCount);
    m_leftLeaves.reserve(n);
    m_rightLeaves.reserve(n);
    m_listM.reserve(n);
    m_listK.reserve(n);
    m_inner.reserve(n);
    m_innerMin.reserve(n);
    m_crossMin.reserve(n);
}

void COptimalOrdering::DeleteInternals()
{
    if (m_ppCosts != nullptr)
    {
        for (int i = 0; i < m_iLeafCount; ++i)
            delete[] m_ppCosts[i];
        delete[] m_ppCosts;
        m_ppCosts = nullptr;
    }
    m_pNode = nullptr;
    m_pDistances = nullptr;
    m_iLeafCount = 0;
}

void COptimalOrdering::SetCost(CClusterNode* u, CClusterNode* w, double cost)
{
    SetCost(u->GetIndex(), w->GetIndex(), cost);
}

double COptimalOrdering::GetCost(CClusterNode* u, CClusterNode* w) const
{
    return GetCost(u->GetIndex(), w->GetIndex());
}

void COptimalOrdering::ComputeCosts(const std::vector<CClusterNode*>& postOrder)
{
    for (std::size_t i = 0; i < postOrder.size(); ++i)
    {
        CClusterNode* pNode = postOrder[i];
        if (pNode->IsLeaf())
        {
            SetCost(pNode, pNode, 0.0);
            DoCallback(m_iNodeTrackerMax, m_iNodeTracker, 2);
            m_iNodeTracker += 1.0;
        }
        else
        {
            ComputeNodeCosts(pNode);
        }
    }
}

// Fills M[u][w] for every u below the left child and w below the right child.
//
// Step 1, per u: T[k] = min over m of M[u][m] + S(m, k) for every leaf k of
// the right child, m ranging over the other side of the left child. The
// m-candidates are scanned by ascending M[u][m]; C(k), the least distance
// from k to the left child, bounds S(m, k) from below, so the scan stops once
// M[u][m] + C(k) reaches the best value found.
// Step 2, per (u, w): M[u][w] = min over k of T[k] + M[w][k], k ranging over
// the other side of the right child. The k-candidates are scanned by
// ascending T[k]; the least M[w][k] bounds the second term from below.
//
// Both bounds use >=, and floating-point addition is monotone, so a pruned
// candidate is never strictly below the minimum: the result is the exact
// minimum of (M[u][m] + S(m, k)) + M[w][k] over all (m, k), evaluated in that
// order, which is how the top-down pass recomputes it.
void COptimalOrdering::ComputeNodeCosts(CClusterNode* pNode)
{
    const int leafCount = m_iLeafCount;
    const int splitL = ChildLeaves(pNode->GetLeftChild(), m_leftLeaves, leafCount);
    const int splitR = ChildLeaves(pNode->GetRightChild(), m_rightLeaves, leafCount);
    const int nl = static_cast<int>(m_leftLeaves.size());
    const int nr = static_cast<int>(m_rightLeaves.size());
    const int* left = m_leftLeaves.data();
    const int* right = m_rightLeaves.data();
    CMatrix* pDist = m_pDistances;

    // Lower bounds of S(m, k): for each leaf k on the right, the least
    // distance to any leaf on the left (their minimum is the least distance
    // across the node).
    m_crossMin.resize(static_cast<std::size_t>(nr));
    double* crossMin = m_crossMin.data();
    for (int j = 0; j < nr; ++j)
    {
        const int k = right[j];
        double least = pDist->GetValue(left[0], k);
        for (int i = 1; i < nl; ++i)
        {
            double d = pDist->GetValue(left[i], k);
            if (d < least)
                least = d;
        }
        crossMin[j] = least;
    }

    // Least M[w][k] over the k-candidates of each end leaf w of the right child.
    m_innerMin.assign(static_cast<std::size_t>(nr), 0.0);
    for (int s = 0; s < nr && nr > 1; ++s)
    {
        int lo, hi;
        OtherSide(s, splitR, nr, lo, hi);
        const double* rowW = m_ppCosts[right[s]];
        double least = rowW[right[lo]];
        for (int t = lo + 1; t < hi; ++t)
            if (rowW[right[t]] < least)
                least = rowW[right[t]];
        m_innerMin[s] = least;
    }

    m_inner.resize(static_cast<std::size_t>(nr));
    double* T = m_inner.data();
    for (int p = 0; p < nl; ++p)
    {
        const int u = left[p];
        const double* rowU = m_ppCosts[u];

        // Step 1: the sorted m-candidates of u, then T over the right child.
        int lo, hi;
        OtherSide(p, splitL, nl, lo, hi);
        m_listM.clear();
        for (int q = lo; q < hi; ++q)
            m_listM.push_back(CostPairType(nl == 1 ? 0.0 : rowU[left[q]], left[q]));
        std::sort(m_listM.begin(), m_listM.end(), less_CostPairType());
        const CostPairType* listM = m_listM.data();
        const int lenM = static_cast<int>(m_listM.size());
        for (int t = 0; t < nr; ++t)
        {
            const int k = right[t];
            const double C = crossMin[t];
            double best = -1.0;
            bool found = false;
            for (int e = 0; e < lenM; ++e)
            {
                const double um = listM[e].first;
                if (found && um + C >= best)
                    break;
                const int m = listM[e].second;
                const double cand = um + (m == k ? 0.0 : pDist->GetValue(m, k));
                if (!found || cand < best)
                {
                    best = cand;
                    found = true;
                }
            }
            T[t] = best;
        }

        // Step 2: the k-candidates of each side sorted by T, then every w.
        m_listK.clear();
        for (int t = 0; t < nr; ++t)
            m_listK.insert(CostPairType(T[t], t));
        // Sort the two sides separately: positions [0, splitR) and [splitR, nr).
        CCostMap::iterator mid = m_listK.begin() + (nr == 1 ? 1 : splitR);
        std::sort(m_listK.begin(), mid, less_CostPairType());
        std::sort(mid, m_listK.end(), less_CostPairType());
        const CostPairType* listK = &*m_listK.begin();

        for (int s = 0; s < nr; ++s)
        {
            const int w = right[s];
            const double* rowW = m_ppCosts[w];
            int klo, khi;
            OtherSide(s, splitR, nr, klo, khi);
            double best = -1.0;
            if (nr == 1)
            {
                best = T[0];
            }
            else
            {
                const double leastWK = m_innerMin[s];
                bool found = false;
                for (int e = klo; e < khi; ++e)
                {
                    const double tk = listK[e].first;
                    if (found && tk + leastWK >= best)
                        break;
                    const double cand = tk + rowW[right[listK[e].second]];
                    if (!found || cand < best)
                    {
                        best = cand;
                        found = true;
                    }
                }
            }
            SetCost(u, w, best);
            SetCost(w, u, best);
            DoCallback(m_iNodeTrackerMax, m_iNodeTracker, 2);
            m_iNodeTracker += 1.0;
        }
    }
}

void COptimalOrdering::GetBestPair(CClusterNode* pRoot, CClusterNode** ppU, CClusterNode** ppW)
{
    if (ppU == nullptr || ppW == nullptr || pRoot == nullptr)
        throw new CClusterException(4, "null pointer arguments");
    CClusterNodeVector* pLeft = pRoot->GetLeftLeaves();
    CClusterNodeVector* pRight = pRoot->GetRightLeaves();
    const double trackerTotal = static_cast<double>(pLeft->size()) * pRight->size();
    double tracker = 0.0;
    *ppU = nullptr;
    *ppW = nullptr;
    double minCost = -1.0;
    for (CClusterNodeVector_iterator a = pLeft->begin(); a != pLeft->end(); a++)
    {
        CClusterNode* u = *a;
        const double* rowU = m_ppCosts[u->GetIndex()];
        for (CClusterNodeVector_iterator b = pRight->begin(); b != pRight->end(); b++)
        {
            CClusterNode* w = *b;
            double cost = rowU[w->GetIndex()];
            if (cost < minCost || minCost < 0 || *ppU == nullptr)
            {
                *ppU = u;
                *ppW = w;
                minCost = cost;
            }
            DoCallback(trackerTotal, tracker, 3);
            tracker += 1.0;
        }
    }
    if (*ppU == nullptr || *ppW == nullptr)
        throw new CClusterException(4, "sanity check failed");
}

// The inner ends (m, k) at which the ordering of the left child, starting with
// u, meets the ordering of the right child, ending with w: a pair attaining
// M[u][w], recomputed exactly as the bottom-up pass computed it.
void COptimalOrdering::FindInnerEnds(CClusterNode* pLeft, CClusterNode* u, CClusterNode* pRight, CClusterNode* w,
                                     CClusterNode** ppM, CClusterNode** ppK)
{
    CClusterNodeVector* pMs = nullptr;
    if (!pLeft->IsLeaf())
        pMs = pLeft->IsLeftLeaf(u) ? pLeft->GetRightLeaves() : pLeft->GetLeftLeaves();
    CClusterNodeVector* pKs = nullptr;
    if (!pRight->IsLeaf())
        pKs = pRight->IsRightLeaf(w) ? pRight->GetLeftLeaves() : pRight->GetRightLeaves();

    // Candidate lists; a leaf child is its own single inner end.
    std::vector<CClusterNode*>& ms = m_scratchM;
    std::vector<CClusterNode*>& ks = m_scratchK;
    ms.clear();
    ks.clear();
    if (pMs == nullptr)
        ms.push_back(pLeft);
    else
        for (CClusterNodeVector_iterator it = pMs->begin(); it != pMs->end(); it++)
            ms.push_back(*it);
    if (pKs == nullptr)
        ks.push_back(pRight);
    else
        for (CClusterNodeVector_iterator it = pKs->begin(); it != pKs->end(); it++)
            ks.push_back(*it);

    const int ui = u->GetIndex();
    const int wi = w->GetIndex();
    const double target = GetCost(ui, wi);
    const double* rowU = m_ppCosts[ui];
    const double* rowW = m_ppCosts[wi];
    *ppM = ms[0];
    *ppK = ks[0];
    double best = 0.0;
    bool found = false;
    for (std::size_t i = 0; i < ms.size(); ++i)
    {
        const int mi = ms[i]->GetIndex();
        const double um = pMs == nullptr ? 0.0 : rowU[mi];
        for (std::size_t j = 0; j < ks.size(); ++j)
        {
            const int ki = ks[j]->GetIndex();
            const double t = um + (mi == ki ? 0.0 : m_pDistances->GetValue(mi, ki));
            const double cand = t + (pKs == nullptr ? 0.0 : rowW[ki]);
            if (!found || cand < best)
            {
                best = cand;
                found = true;
                *ppM = ms[i];
                *ppK = ks[j];
                if (cand == target)
                    return;
            }
        }
    }
}

// Orients every node, parents before children: the node's first leaf goes to
// its left side, and its two children receive the ends that attain its cost.
void COptimalOrdering::Backtrack(CClusterNode* pRoot, CClusterNode* u, CClusterNode* w)
{
    std::vector<SPending> pending;
    pending.push_back(SPending{pRoot, u, w});
    while (!pending.empty())
    {
        SPending job = pending.back();
        pending.pop_back();
        CClusterNode* pNode = job.pNode;
        if (!pNode->IsLeaf())
        {
            if (pNode->IsRightLeaf(job.pFirst))
                pNode->SwapLeaves();
            CClusterNode* pLeft = pNode->GetLeftChild();
            CClusterNode* pRight = pNode->GetRightChild();
            CClusterNode* m = nullptr;
            CClusterNode* k = nullptr;
            FindInnerEnds(pLeft, job.pFirst, pRight, job.pLast, &m, &k);
            pending.push_back(SPending{pRight, k, job.pLast});
            pending.push_back(SPending{pLeft, job.pFirst, m});
        }
        DoCallback(m_iNodeCount, m_iNodeTracker, 4);
        m_iNodeTracker += 1.0;
    }
}
