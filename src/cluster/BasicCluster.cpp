#include "BasicCluster.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <memory>
#include <new>
#include <typeinfo>
#include <vector>

#include "ClusterException.h"
#include "ClusterNode.h"
#include "SafeInt.h"
#include "UpperDiagonalMatrix.h"
#include "VectorDataFunctions.h"

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
// Working state of one clustering run.
//
// The pair merged next is the closest pair of unmerged ("active") nodes, the
// first in (i, j) order among equally close pairs: the least (d, i, j). For
// every active node j the state keeps its best lower partner: the active
// i < j with the least (d(i, j), i). The least (d, i, j) overall is then the
// least (key, partner, j) over all j, which a binary heap of the active nodes
// yields.
//
// A merge of a and b into c changes little: c is larger than every other
// node, so it is nobody's lower partner, and its own partner comes straight
// from the distances of the merge step. Only the nodes whose partner was a
// or b lose it; they are marked stale and keep their old (key, partner) as a
// strict lower bound, since their candidates only ever disappear. A stale
// node is rescanned when it reaches the top of the heap, which only raises
// it; once the top is exact it is the answer.
//
// Distances sit in the row of the larger index, so a rescan and the merge
// step both read or write one row of the matrix from left to right.
class CMergeState
{
public:
    enum
    {
        kFillBlock = 32 // leaf rows computed before they are stored by column
    };

    CMergeState(int leafCount, CUpperDiagonalMatrix& m)
        : m_n(leafCount), m_m(m), m_key(2 * leafCount - 1, 0.0), m_partner(2 * leafCount - 1, -1),
          m_stale(2 * leafCount - 1, 0), m_heapPos(2 * leafCount - 1, -1),
          m_block(static_cast<std::size_t>(kFillBlock) * static_cast<std::size_t>(leafCount))
    {
        m_active.reserve(static_cast<std::size_t>(leafCount));
        m_heap.reserve(static_cast<std::size_t>(leafCount));
    }

    const std::vector<int>& Active() const { return m_active; }

    // Fill, block by block of kFillBlock leaf rows i0 ... i1 - 1: the
    // distances (i, j), j > i, are computed row by row into a buffer and then
    // stored in the rows j, which also offers them to j's partner in
    // increasing i.
    double* FillRow(int i, int i0) { return &m_block[static_cast<std::size_t>(i - i0) * m_n]; }

    void StoreFillBlock(int i0, int i1)
    {
        for (int j = i0 + 1; j < m_n; ++j)
        {
            double* rowJ = m_m.Row(j);
            int last = j < i1 ? j : i1;
            int best = m_partner[j];
            double bestDist = m_key[j];
            for (int i = i0; i < last; ++i)
            {
                double d = m_block[static_cast<std::size_t>(i - i0) * m_n + j];
                rowJ[i] = d;
                if (best < 0 || d < bestDist)
                {
                    best = i;
                    bestDist = d;
                }
            }
            m_partner[j] = best;
            m_key[j] = bestDist;
        }
    }

    void FinishFill()
    {
        std::vector<double>().swap(m_block);
        for (int j = 0; j < m_n; ++j)
        {
            m_active.push_back(j);
            if (m_partner[j] >= 0)
                HeapInsert(j);
        }
    }

    // Nodes a < b leave the active set, merged into c.
    void Merged(int a, int b)
    {
        Remove(a);
        Remove(b);
    }

    // The distance from active node i to the new node c of the merge of a and b.
    void NewDistance(int i, int a, int b, int c, double d)
    {
        m_m.Row(c)[i] = d;
        int p = m_partner[i];
        if (!m_stale[i] && (p == a || p == b))
            m_stale[i] = 1;
        if (m_cPartner < 0 || d < m_cKey)
        {
            m_cPartner = i;
            m_cKey = d;
        }
    }

    void BeginMerged()
    {
        m_cPartner = -1;
        m_cKey = 0.0;
    }

    // c joins the active set once all its distances are known.
    void AddMerged(int c)
    {
        m_active.push_back(c);
        m_partner[c] = m_cPartner;
        m_key[c] = m_cKey;
        m_stale[c] = 0;
        if (m_cPartner >= 0)
            HeapInsert(c);
    }

    // The first closest active pair; false when no pair is left.
    bool ClosestPair(int* pMini, int* pMinj)
    {
        while (!m_heap.empty())
        {
            int t = m_heap[0];
            if (!m_stale[t])
            {
                *pMini = m_partner[t];
                *pMinj = t;
                return true;
            }
            Rescan(t);
            if (m_partner[t] < 0)
                HeapRemove(t);
            else
                HeapDown(0);
        }
        return false;
    }

private:
    // Best lower partner of j among the active nodes. No candidate can beat
    // the stale key, so the first one at exactly that distance ends the scan.
    void Rescan(int j)
    {
        const double bound = m_key[j];
        const double* rowJ = m_m.Row(j);
        int best = -1;
        double bestDist = 0.0;
        for (std::vector<int>::const_iterator it = m_active.begin(); it != m_active.end() && *it < j; ++it)
        {
            double d = rowJ[*it];
            if (best < 0 || d < bestDist)
            {
                best = *it;
                bestDist = d;
                if (d == bound)
                    break;
            }
        }
        m_partner[j] = best;
        m_key[j] = bestDist;
        m_stale[j] = 0;
    }

    void Remove(int k)
    {
        std::vector<int>::iterator it = std::lower_bound(m_active.begin(), m_active.end(), k);
        if (it != m_active.end() && *it == k)
            m_active.erase(it);
        if (m_heapPos[k] >= 0)
            HeapRemove(k);
        m_partner[k] = -1;
    }

    // Heap order: the least (key, partner, node) first.
    bool Before(int x, int y) const
    {
        if (m_key[x] != m_key[y])
            return m_key[x] < m_key[y];
        if (m_partner[x] != m_partner[y])
            return m_partner[x] < m_partner[y];
        return x < y;
    }

    void Place(int pos, int k)
    {
        m_heap[pos] = k;
        m_heapPos[k] = pos;
    }

    void HeapInsert(int k)
    {
        m_heap.push_back(k);
        m_heapPos[k] = static_cast<int>(m_heap.size()) - 1;
        HeapUp(m_heapPos[k]);
    }

    void HeapRemove(int k)
    {
        int pos = m_heapPos[k];
        int last = m_heap.back();
        m_heap.pop_back();
        m_heapPos[k] = -1;
        if (pos == static_cast<int>(m_heap.size()))
            return;
        Place(pos, last);
        HeapUp(pos);
        HeapDown(m_heapPos[last]);
    }

    void HeapUp(int pos)
    {
        int k = m_heap[pos];
        while (pos > 0)
        {
            int parent = (pos - 1) / 2;
            if (!Before(k, m_heap[parent]))
                break;
            Place(pos, m_heap[parent]);
            pos = parent;
        }
        Place(pos, k);
    }

    void HeapDown(int pos)
    {
        const int size = static_cast<int>(m_heap.size());
        int k = m_heap[pos];
        for (;;)
        {
            int child = 2 * pos + 1;
            if (child >= size)
                break;
            if (child + 1 < size && Before(m_heap[child + 1], m_heap[child]))
                ++child;
            if (!Before(m_heap[child], k))
                break;
            Place(pos, m_heap[child]);
            pos = child;
        }
        Place(pos, k);
    }

    int m_n;
    CUpperDiagonalMatrix& m_m;
    std::vector<int> m_active; // active node indices, ascending
    std::vector<double> m_key;  // distance to the partner (a lower bound when stale)
    std::vector<int> m_partner; // best active i below, -1 for none
    std::vector<char> m_stale;
    std::vector<int> m_heap;
    std::vector<int> m_heapPos; // -1: not in the heap
    std::vector<double> m_block; // fill buffer: kFillBlock rows of n values
    int m_cPartner = -1;         // partner of the node being built
    double m_cKey = 0.0;
};
} // namespace

namespace
{
// Euclidean distances many at a time. Used only for the library's own
// Euclidean distance, which has no side effects, and only while every data
// vector has the same non-zero length, so that no check can fail; any other
// case goes through the distance function one pair at a time, whose checks
// and exceptions then apply.
class CEuclideanBatch
{
public:
    CEuclideanBatch(CDistanceFunction* pDist, CClusterNode** ppLeaves, int n) : m_on(false), m_dim(0)
    {
        if (pDist == 0 || typeid(*pDist) != typeid(CEuclidean))
            return;
        const std::vector<double>* p0 = DataOf(ppLeaves[0]);
        if (p0 == 0 || p0->empty())
            return;
        m_dim = p0->size();
        for (int i = 1; i < n; ++i)
        {
            const std::vector<double>* p = DataOf(ppLeaves[i]);
            if (p == 0 || p->size() != m_dim)
                return;
        }
        m_ys.resize(static_cast<std::size_t>(n));
        m_out.resize(static_cast<std::size_t>(n));
        // Data pointers by node index, so that a batch does not chase node
        // and vector objects scattered over the heap.
        m_data.resize(static_cast<std::size_t>(2 * n - 1));
        for (int i = 0; i < n; ++i)
            m_data[static_cast<std::size_t>(i)] = DataOf(ppLeaves[i])->data();
        m_on = true;
    }

    bool On() const { return m_on; }

    // A merged node whose data do not match ends the batch mode.
    void Check(CClusterNode* pNode)
    {
        if (!m_on)
            return;
        const std::vector<double>* p = DataOf(pNode);
        if (p == 0 || p->size() != m_dim)
            m_on = false;
        else
            m_data[static_cast<std::size_t>(pNode->GetIndex())] = p->data();
    }

    // Leaf i against the leaves i + 1 ... n - 1.
    void ComputeRow(int i, int n, double* pOut)
    {
        const double* const* ys = m_data.data() + i + 1;
        CEuclidean::Distances(m_data[static_cast<std::size_t>(i)], ys, m_dim, n - i - 1, pOut);
    }

    void ComputeTo(int c, const std::vector<int>& others)
    {
        const std::size_t count = others.size();
        for (std::size_t k = 0; k < count; ++k)
            m_ys[k] = m_data[static_cast<std::size_t>(others[k])];
        // The generic path computes Distance(node i, new node): same value,
        // since every term is squared.
        CEuclidean::Distances(m_data[static_cast<std::size_t>(c)], m_ys.data(), m_dim, static_cast<int>(count),
                              m_out.data());
    }

    double Result(std::size_t k) const { return m_out[k]; }

private:
    static const std::vector<double>* DataOf(CClusterNode* p)
    {
        return static_cast<const std::vector<double>*>(p->GetData());
    }

    bool m_on;
    std::size_t m_dim;
    std::vector<const double*> m_data; // by node index
    std::vector<const double*> m_ys;
    std::vector<double> m_out;
};
} // namespace

// Distances feed comparisons that must form an order: a NaN (from missing or
// infinite values) or a negative value would make the choice of pairs
// meaningless, so both end the run.
double CBasicCluster::CheckedDistance(CDistanceFunction* pDist, CClusterNode* pNode1, CClusterNode* pNode2)
{
    return CheckedValue(pDist->Distance(pNode1, pNode2));
}

double CBasicCluster::CheckedValue(double d)
{
    if (d >= 0.0)
        return d;
    if (d < 0.0)
        throw new CClusterException(5, "distance is negative");
    throw new CClusterException(5, "distance is not a number: the data contain missing or infinite values");
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

        CMergeState* pState = 0;
        try {
            pState = new CMergeState(n, m);
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
        std::unique_ptr<CMergeState> stateOwner(pState);
        CMergeState& state = *pState;
        CEuclideanBatch* pBatch = 0;
        try {
            pBatch = new CEuclideanBatch(pDist, m_ppNodes, n);
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
        std::unique_ptr<CEuclideanBatch> batchOwner(pBatch);
        CEuclideanBatch& batch = *pBatch;

        // Fill: every pair of leaves, one progress step per pair, a report
        // before steps 0, 1000, 2000, ...; the pairs between two reports run
        // as one plain loop. Totals are 64-bit: n * n overflows an int.
        {
            const double total = static_cast<double>((static_cast<long long>(n) * n) / 2);
            long long step = 0;
            long long nextReport = 0;
            for (int i0 = 0; i0 < n; i0 += CMergeState::kFillBlock)
            {
                int i1 = i0 + CMergeState::kFillBlock < n ? i0 + CMergeState::kFillBlock : n;
                for (int i = i0; i < i1; ++i)
                {
                    CClusterNode* ti = m_ppNodes[i];
                    double* buf = state.FillRow(i, i0);
                    if (batch.On())
                        batch.ComputeRow(i, n, buf + i + 1);
                    int j = i + 1;
                    while (j < n)
                    {
                        if (step == nextReport)
                        {
                            DoCallback(total, static_cast<double>(step), 0);
                            nextReport += 1000;
                        }
                        const int end = nextReport - step < n - j ? j + static_cast<int>(nextReport - step) : n;
                        step += end - j;
                        if (batch.On())
                            for (; j < end; ++j)
                                CheckedValue(buf[j]);
                        else
                            for (; j < end; ++j)
                                buf[j] = CheckedDistance(pDist, ti, m_ppNodes[j]);
                    }
                }
                state.StoreFillBlock(i0, i1);
            }
            state.FinishFill();
        }

        // Merging: each merge computes the distances from every active node
        // to the new node. Progress counts one step per node index below the
        // new node, merged ones included, with a report every 1000 steps.
        const long long mergeSteps = static_cast<long long>(n - 1) * n;
        const double total = static_cast<double>(mergeSteps + mergeSteps / 2);
        long long step = 0;
        long long nextReport = 0;
        int mini = -1, minj = -1;
        state.ClosestPair(&mini, &minj);
        const std::vector<int>& active = state.Active();
        int iCurrent = n;
        while (iCurrent < iNodeCount - 1)
        {
            if (mini < 0)
                throw new CClusterException(5, "mini < 0");
            if (minj < 0)
                throw new CClusterException(5, "minj < 0");
            CClusterNode* pNode = NewMergedNode(pCombine, iCurrent, mini, minj);
            SetNodeByIndex(iCurrent, pNode);
            state.Merged(mini, minj);
            state.BeginMerged();

            batch.Check(pNode);
            if (batch.On())
                batch.ComputeTo(iCurrent, active);
            for (std::size_t k = 0; k < active.size(); ++k)
            {
                int i = active[k];
                long long s = step + i;
                while (nextReport <= s)
                {
                    DoCallback(total, static_cast<double>(nextReport), 1);
                    nextReport += 1000;
                }
                double d = batch.On() ? CheckedValue(batch.Result(k)) : CheckedDistance(pDist, m_ppNodes[i], pNode);
                state.NewDistance(i, mini, minj, iCurrent, d);
            }
            step += iCurrent;
            while (nextReport < step)
            {
                DoCallback(total, static_cast<double>(nextReport), 1);
                nextReport += 1000;
            }
            state.AddMerged(iCurrent);
            mini = minj = -1;
            state.ClosestPair(&mini, &minj);
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
    // 2n - 1 nodes; the doubling is checked so that a huge count cannot wrap
    // to a small requirement (no rows at all wraps to the largest value, which
    // the matrix term then rejects).
    unsigned long long iNodeCount = S::Multiply(2, iDataCount) - 1;
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
