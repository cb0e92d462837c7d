#include "BasicCluster.h"

#include <climits>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

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

namespace
{
// Working state of one clustering run: the unmerged ("active") nodes as a
// list in increasing index order, and for each active node i its nearest
// active partner j > i (the first such j on ties) with their distance.
//
// The pair merged next is the closest pair of active nodes, the first in
// (i, j) order among equally close pairs. With the partner cache that pair is
// the cached pair of the first node whose cached distance is the least: that
// node is the smallest i of any closest pair, and its partner the smallest j.
// After a merge of a and b into c (the largest index so far) only the nodes
// whose partner was a or b need a new scan; every other node keeps its
// partner unless c is strictly closer (on a tie the older, smaller j wins).
struct SActiveNodes
{
    std::vector<int> next, prev; // links; -1 ends the list
    std::vector<int> partner;    // nearest active j > i, or -1 when there is none
    std::vector<double> partnerDist;
    int head, tail;

    explicit SActiveNodes(int nodeCount)
        : next(nodeCount, -1), prev(nodeCount, -1), partner(nodeCount, -1), partnerDist(nodeCount, 0.0), head(-1),
          tail(-1)
    {
    }

    void Append(int k)
    {
        prev[k] = tail;
        next[k] = -1;
        if (tail >= 0)
            next[tail] = k;
        else
            head = k;
        tail = k;
    }

    void Remove(int k)
    {
        if (prev[k] >= 0)
            next[prev[k]] = next[k];
        else
            head = next[k];
        if (next[k] >= 0)
            prev[next[k]] = prev[k];
        else
            tail = prev[k];
        next[k] = prev[k] = -1;
    }

    // Nearest active partner j > i, read from the distance matrix.
    void Rescan(int i, const CUpperDiagonalMatrix& m)
    {
        const double* row = m.Row(i);
        int best = -1;
        double bestDist = 0.0;
        for (int j = next[i]; j >= 0; j = next[j])
        {
            double d = row[j];
            if (best < 0 || d < bestDist)
            {
                best = j;
                bestDist = d;
            }
        }
        partner[i] = best;
        partnerDist[i] = bestDist;
    }

    // The closest pair of active nodes, first in (i, j) order; false when
    // fewer than two nodes are active.
    bool ClosestPair(int* pMini, int* pMinj) const
    {
        int bestI = -1;
        double bestDist = 0.0;
        for (int i = head; i >= 0; i = next[i])
        {
            if (partner[i] < 0)
                continue;
            if (bestI < 0 || partnerDist[i] < bestDist)
            {
                bestI = i;
                bestDist = partnerDist[i];
            }
        }
        if (bestI < 0)
            return false;
        *pMini = bestI;
        *pMinj = partner[bestI];
        return true;
    }
};
} // namespace

// Distances feed comparisons that must form an order: a NaN (from missing or
// infinite values) or a negative value would make the choice of pairs
// meaningless, so both end the run.
double CBasicCluster::CheckedDistance(CDistanceFunction* pDist, CClusterNode* pNode1, CClusterNode* pNode2)
{
    double d = pDist->Distance(pNode1, pNode2);
    if (!(d >= 0.0))
        throw new CClusterException(5, "distance is negative or not a number");
    return d;
}

// Deletes the nodes of an unfinished run (and the merged nodes' data
// vectors, which the run created) and clears their table entries.
void CBasicCluster::ReleasePartialTree(int iDataCount)
{
    if (m_ppNodes == 0)
        return;
    for (int k = 0; k < m_iNodeCount; ++k)
    {
        CClusterNode* p = m_ppNodes[k];
        if (p == 0)
            continue;
        if (k >= iDataCount)
            delete static_cast<std::vector<double>*>(p->GetData());
        delete p;
        m_ppNodes[k] = 0;
    }
}

CClusterNode* CBasicCluster::Cluster(void** ppData, int iDataCount)
{
    if (m_ppNodes != 0)
        throw new CClusterException(2, "cannot call Cluster more than once");
    if (iDataCount < 2)
        throw new CClusterException(5, "clustering needs at least two rows");
    if (iDataCount > INT_MAX / 2)
        throw new CClusterException(5, "too many rows to cluster");
    if (ppData == 0)
        throw new CClusterException(4, "ppData is NULL");

    const int n = iDataCount;
    const int iNodeCount = 2 * n - 1;
    try {
        m_ppNodes = new CClusterNode*[static_cast<std::size_t>(iNodeCount)]();
    } catch (const std::bad_alloc&) {
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    }
    m_iNodeCount = iNodeCount;

    try {
        std::vector<char> used;
        SActiveNodes* pActive = 0;
        try {
            used.assign(static_cast<std::size_t>(iNodeCount), 0);
            pActive = new SActiveNodes(iNodeCount);
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
        std::unique_ptr<SActiveNodes> activeOwner(pActive);
        SActiveNodes& active = *pActive;

        for (int i = 0; i < n; ++i)
        {
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

        CDistanceFunction* pDist = GetDistanceFunction();
        if (pDist == 0)
            throw new CClusterException(3, "no distance function provided");
        CCombineDataFunction* pCombine = GetCombineDataFunction();
        if (pCombine == 0)
            throw new CClusterException(4, "no combine function provided");

        try {
            m_pDistances = new CUpperDiagonalMatrix(iNodeCount);
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
        CUpperDiagonalMatrix& m = *m_pDistances;

        // Fill: every pair of leaves, one progress step per pair, a report
        // every 1000 steps. Totals are 64-bit: n * n overflows an int.
        {
            const double total = static_cast<double>((static_cast<long long>(n) * n) / 2);
            double current = 0.0;
            long long step = 0;
            for (int i = 0; i < n; ++i)
            {
                active.Append(i);
                CClusterNode* ti = m_ppNodes[i];
                int best = -1;
                double bestDist = 0.0;
                for (int j = i + 1; j < n; ++j)
                {
                    if (step % 1000 == 0)
                        DoCallback(total, current, 0);
                    double d = CheckedDistance(pDist, ti, m_ppNodes[j]);
                    m.Set(i, j, d);
                    if (best < 0 || d < bestDist)
                    {
                        best = j;
                        bestDist = d;
                    }
                    current += 1.0;
                    ++step;
                }
                active.partner[i] = best;
                active.partnerDist[i] = bestDist;
            }
        }

        // Merging: each merge computes the distances from every active node
        // to the new node. Progress counts one step per node index below the
        // new node, merged ones included, with a report every 1000 steps.
        const long long mergeSteps = static_cast<long long>(n - 1) * n;
        const double total = static_cast<double>(mergeSteps + mergeSteps / 2);
        long long step = 0;
        long long nextReport = 0;
        int mini = -1, minj = -1;
        active.ClosestPair(&mini, &minj);
        std::vector<int> stale;
        int iCurrent = n;
        while (iCurrent < iNodeCount - 1)
        {
            if (mini < 0)
                throw new CClusterException(5, "mini < 0");
            if (minj < 0)
                throw new CClusterException(5, "minj < 0");
            CClusterNode* pNode = NewMergedNode(pCombine, iCurrent, mini, minj);
            SetNodeByIndex(iCurrent, pNode);
            used[mini] = used[minj] = 1;
            active.Remove(mini);
            active.Remove(minj);

            stale.clear();
            for (int i = active.head; i >= 0; i = active.next[i])
            {
                long long s = step + i;
                while (nextReport <= s)
                {
                    DoCallback(total, static_cast<double>(nextReport), 1);
                    nextReport += 1000;
                }
                double d = CheckedDistance(pDist, m_ppNodes[i], pNode);
                m.Set(i, iCurrent, d);
                int p = active.partner[i];
                if (p == mini || p == minj)
                    stale.push_back(i);
                else if (p < 0 || d < active.partnerDist[i])
                {
                    active.partner[i] = iCurrent;
                    active.partnerDist[i] = d;
                }
            }
            step += iCurrent;
            while (nextReport < step)
            {
                DoCallback(total, static_cast<double>(nextReport), 1);
                nextReport += 1000;
            }

            active.Append(iCurrent);
            active.partner[iCurrent] = -1;
            for (std::size_t k = 0; k < stale.size(); ++k)
                active.Rescan(stale[k], m);
            mini = minj = -1;
            active.ClosestPair(&mini, &minj);
            ++iCurrent;
        }

        CClusterNode* pRoot = NewMergedNode(pCombine, iCurrent, mini, minj);
        SetNodeByIndex(iCurrent, pRoot);
        DoCallback(total, total, 1);
        return pRoot;
    } catch (...) {
        ReleasePartialTree(n);
        throw;
    }
}

// Combines the data of nodes mini < minj and builds their parent; the data
// vector is released again when the node cannot be built.
CClusterNode* CBasicCluster::NewMergedNode(CCombineDataFunction* pCombine, int index, int mini, int minj)
{
    if (mini < 0 || minj < 0 || mini >= index || minj >= index)
        throw new CClusterException(5, "no pair of clusters left to merge");
    CClusterNode* pLeft = m_ppNodes[mini];
    CClusterNode* pRight = m_ppNodes[minj];
    void* pNewData = pCombine->CombineData(pLeft, pRight);
    try {
        return new CClusterNode(pNewData, index, pLeft, pRight);
    } catch (const std::bad_alloc&) {
        delete static_cast<std::vector<double>*>(pNewData);
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    } catch (...) {
        delete static_cast<std::vector<double>*>(pNewData);
        throw;
    }
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
