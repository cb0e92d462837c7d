#include "BasicCluster.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
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
#include "WorkerPool.h"

CBasicCluster::CBasicCluster(CDistanceFunction* pDistance, CCombineDataFunction* pCombineData)
    : CCluster(pDistance, pCombineData), m_pDistances(0), m_ppNodes(0), m_iNodeCount(0),
      m_iThreads(lumo::DefaultThreadCount()), m_iMinChunk(kDefaultMinChunk), m_fFinalTotal(0.0)
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
// Distances live in the matrix by slot: the leaves fill it, and a merged
// node takes over the slot of one of its children.
class CMergeState
{
public:
    enum
    {
        kFillBlock = 32 // leaf rows computed before they are stored by column
    };

    CMergeState(int leafCount, CUpperDiagonalMatrix& m)
        : m_n(leafCount), m_stride(Padded(leafCount)), m_m(m), m_slotNode(static_cast<std::size_t>(leafCount)),
          m_key(2 * leafCount - 1, 0.0),
          m_partner(2 * leafCount - 1, -1), m_stale(2 * leafCount - 1, 0), m_heapPos(2 * leafCount - 1, -1),
          m_block(static_cast<std::size_t>(kFillBlock) * m_stride)
    {
        m_active.reserve(static_cast<std::size_t>(leafCount));
        m_heap.reserve(static_cast<std::size_t>(leafCount));
        for (int k = 0; k < leafCount; ++k)
            m_slotNode[static_cast<std::size_t>(k)] = k;
    }

    int LeafCount() const { return m_n; }
    // Node in slot s, -1 when the slot is free.
    int SlotNode(int s) const { return m_slotNode[static_cast<std::size_t>(s)]; }

    // Rows of the fill buffer have room for whole blocks of four values.
    static std::size_t Padded(int n) { return (static_cast<std::size_t>(n) + 3) / 4 * 4; }

    const std::vector<int>& Active() const { return m_active; }

    // Fill, block by block of kFillBlock leaf rows i0 ... i1 - 1: the
    // distances (i, j), j > i, are computed row by row into a buffer and then
    // stored in the rows j, which also offers them to j's partner in
    // increasing i. Leaf k sits in slot k during the fill.
    double* FillRow(int i, int i0) { return &m_block[static_cast<std::size_t>(i - i0) * m_stride]; }

    // The rows j0 ... j1 - 1 of one block; rows are independent of each other.
    void StoreFillBlock(int i0, int i1, int j0, int j1)
    {
        for (int j = j0 > i0 + 1 ? j0 : i0 + 1; j < j1; ++j)
        {
            double* rowJ = m_m.Row(j);
            int last = j < i1 ? j : i1;
            int best = m_partner[j];
            double bestDist = m_key[j];
            for (int i = i0; i < last; ++i)
            {
                double d = m_block[static_cast<std::size_t>(i - i0) * m_stride + j];
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

    // Leaf j's partner found from its whole row.
    void SetFillPartner(int j, int partner, double key)
    {
        m_partner[j] = partner;
        m_key[j] = key;
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

    // Nodes a < b leave the active set, merged into c, which takes over the
    // larger of their slots: more of its distances then go into one row.
    void Merged(int a, int b, int c)
    {
        Remove(a);
        Remove(b);
        const int sa = m_m.Slot(a), sb = m_m.Slot(b);
        const int kept = sa > sb ? sa : sb;
        m_m.AssignSlot(c, kept);
        m_m.AssignSlot(a, -1);
        m_m.AssignSlot(b, -1);
        m_slotNode[static_cast<std::size_t>(kept)] = c;
        m_slotNode[static_cast<std::size_t>(sa + sb - kept)] = -1;
        m_cPartner = -1;
        m_cKey = 0.0;
    }

    // The distance from active node i to the new node c of the merge of a and b.
    void NewDistance(int i, int a, int b, int c, double d)
    {
        m_m.At(i, c) = d;
        MarkStale(i, a, b);
        Offer(i, d, &m_cPartner, &m_cKey);
    }

    // Node i loses its partner when that was a or b. Touches only node i's
    // entries, so workers may call it for distinct nodes at once.
    void MarkStale(int i, int a, int b)
    {
        int p = m_partner[i];
        if (p == a || p == b)
            m_stale[i] = 1;
    }

    // Keeps the least (d, i) in (*pBest, *pKey); any order of offers gives
    // the same result.
    static void Offer(int i, double d, int* pBest, double* pKey)
    {
        if (*pBest < 0 || d < *pKey || (d == *pKey && i < *pBest))
        {
            *pBest = i;
            *pKey = d;
        }
    }

    void OfferMerged(int i, double d) { Offer(i, d, &m_cPartner, &m_cKey); }

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
        const int* slot = m_m.Slots();
        const int sj = slot[j];
        const double* rowJ = m_m.Row(sj);
        int best = -1;
        double bestDist = 0.0;
        for (std::vector<int>::const_iterator it = m_active.begin(); it != m_active.end() && *it < j; ++it)
        {
            const int si = slot[*it];
            double d = si < sj ? rowJ[si] : m_m.Row(si)[sj];
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
    std::size_t m_stride;
    CUpperDiagonalMatrix& m_m;
    std::vector<int> m_slotNode;
    std::vector<int> m_active; // active node indices, ascending
    std::vector<double> m_key;  // distance to the partner (a lower bound when stale)
    std::vector<int> m_partner; // best active i below, -1 for none
    std::vector<char> m_stale;
    std::vector<int> m_heap;
    std::vector<int> m_heapPos; // -1: not in the heap
    std::vector<double> m_block; // fill buffer: kFillBlock rows of m_stride values
    int m_cPartner = -1;         // partner of the node being built
    double m_cKey = 0.0;
};

// Runs body over [0, n) on the pool in chunks of grain items, or directly on
// the calling thread when one chunk covers everything.
void RunPass(lumo::CWorkerPool& pool, int64_t n, int64_t grain, const lumo::CWorkerPool::Body& body)
{
    if (n <= 0)
        return;
    if (pool.Threads() == 1 || n <= grain)
        body(0, n, 0);
    else
        pool.Run(n, grain, body);
}

// The data of the active nodes for the library's own distances, prepared
// and copied into one contiguous array, four nodes to a block (see
// CEuclidean::BlockDistances): a pass over all active nodes then streams
// through memory instead of chasing node and vector objects over the heap.
// Euclidean distance keeps the values; correlation distance keeps the values
// less their mean and, per node, the spread. A removed node's place is
// filled by the last one, so the active nodes stay at positions
// 0 ... count - 1.
//
// Used only while every data vector has the same non-zero length. A value
// that the distance function would reject comes out as NaN; the caller then
// asks the distance function itself for that pair, so that its exception
// applies.
class CCentroidPool
{
public:
    CCentroidPool(CDistanceFunction* pDist, CClusterNode** ppLeaves, int n)
        : m_pCorrelation(0), m_on(false), m_dim(0), m_count(0)
    {
        if (pDist == 0)
            return;
        if (typeid(*pDist) == typeid(CCorrelation))
            m_pCorrelation = static_cast<CCorrelation*>(pDist);
        else if (typeid(*pDist) != typeid(CEuclidean))
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
        m_x.assign(CMergeState::Padded(n) * m_dim, 0.0);
        m_spread.assign(CMergeState::Padded(n), 0.0);
        m_row.resize(m_dim);
        m_posNode.assign(static_cast<std::size_t>(n), -1);
        m_nodePos.assign(static_cast<std::size_t>(2 * n - 1), -1);
        m_finite = true;
        for (int i = 0; i < n && m_finite; ++i)
            for (std::size_t k = 0; k < m_dim; ++k)
                m_finite = m_finite && std::isfinite((*DataOf(ppLeaves[i]))[k]);
        for (int i = 0; i < n; ++i)
            Append(ppLeaves[i]);
        m_on = true;
    }

    // No distance between leaves can be rejected: Euclidean distances of
    // finite values are never NaN.
    bool LeavesCannotFail() const { return m_pCorrelation == 0 && m_finite; }

    bool On() const { return m_on; }
    int Count() const { return m_count; }
    int Blocks() const { return (m_count + 3) / 4; }
    int NodeAt(int p) const { return m_posNode[static_cast<std::size_t>(p)]; }
    int PositionOf(int node) const { return m_nodePos[static_cast<std::size_t>(node)]; }

    // A merged node whose data do not match ends the pool's use.
    bool Accepts(CClusterNode* pNode)
    {
        const std::vector<double>* p = DataOf(pNode);
        if (m_on && (p == 0 || p->size() != m_dim))
            m_on = false;
        return m_on;
    }

    // The node's prepared values, valid until the next call, and its spread.
    const double* Prepare(CClusterNode* pNode, double* pSpread)
    {
        *pSpread = 0.0;
        if (m_pCorrelation == 0)
            return DataOf(pNode)->data();
        m_pCorrelation->Centred(pNode, m_row.data(), pSpread);
        return m_row.data();
    }

    void Append(CClusterNode* pNode)
    {
        double spread;
        const double* v = Prepare(pNode, &spread);
        for (std::size_t k = 0; k < m_dim; ++k)
            m_x[Index(m_count, k)] = v[k];
        m_spread[static_cast<std::size_t>(m_count)] = spread;
        m_posNode[static_cast<std::size_t>(m_count)] = pNode->GetIndex();
        m_nodePos[static_cast<std::size_t>(pNode->GetIndex())] = m_count;
        ++m_count;
    }

    // The prepared values of the node at position p, and its spread.
    void Extract(int p, double* out, double* pSpread) const
    {
        for (std::size_t k = 0; k < m_dim; ++k)
            out[k] = m_x[Index(p, k)];
        *pSpread = m_spread[static_cast<std::size_t>(p)];
    }

    std::size_t Dim() const { return m_dim; }

    // Position of a node before the removals since the last ClearMoves.
    int EarlierPositionOf(int node) const
    {
        for (int k = 0; k < m_moveCount; ++k)
            if (m_moves[k][0] == node)
                return m_moves[k][1];
        return PositionOf(node);
    }

    void ClearMoves() { m_moveCount = 0; }

    void Remove(int node)
    {
        const int p = m_nodePos[static_cast<std::size_t>(node)];
        const int last = m_count - 1;
        if (p != last)
        {
            const int moved = m_posNode[static_cast<std::size_t>(last)];
            if (m_moveCount < 2 && EarlierPositionOf(moved) == last)
            {
                m_moves[m_moveCount][0] = moved;
                m_moves[m_moveCount][1] = last;
                ++m_moveCount;
            }
            for (std::size_t k = 0; k < m_dim; ++k)
                m_x[Index(p, k)] = m_x[Index(last, k)];
            m_spread[static_cast<std::size_t>(p)] = m_spread[static_cast<std::size_t>(last)];
            m_posNode[static_cast<std::size_t>(p)] = moved;
            m_nodePos[static_cast<std::size_t>(moved)] = p;
        }
        m_nodePos[static_cast<std::size_t>(node)] = -1;
        --m_count;
    }

    // Distances from prepared values x (with their spread) to the nodes at
    // positions 4 * b0 ... 4 * b1 - 1; out[4 * b0] is the first. Positions
    // past the count give meaningless values.
    void Distances(const double* x, double spread, int b0, int b1, double* out) const
    {
        if (m_pCorrelation == 0)
        {
            CEuclidean::BlockDistances(x, m_x.data(), m_dim, b0, b1, out);
            return;
        }
        CCorrelation::BlockProducts(x, m_x.data(), m_dim, b0, b1, out);
        const double* s = m_spread.data() + 4 * b0;
        for (int k = 0; k < 4 * (b1 - b0); ++k)
            out[k] = CCorrelation::DistanceOf(out[k], spread, s[k]);
    }

private:
    static const std::vector<double>* DataOf(CClusterNode* p)
    {
        return static_cast<const std::vector<double>*>(p->GetData());
    }

    std::size_t Index(int p, std::size_t k) const
    {
        return static_cast<std::size_t>(p / 4) * 4 * m_dim + 4 * k + static_cast<std::size_t>(p % 4);
    }

    CCorrelation* m_pCorrelation; // null: Euclidean distance
    bool m_on;
    bool m_finite = false; // every leaf value is finite
    std::size_t m_dim;
    int m_count;
    std::vector<double> m_x;
    std::vector<double> m_spread; // by position
    std::vector<double> m_row;    // one node's prepared values
    std::vector<int> m_posNode;   // node at each position
    std::vector<int> m_nodePos;   // position of each node index, -1: none
    int m_moves[2][2];            // (node, earlier position) of the nodes moved
    int m_moveCount = 0;          // by removals since ClearMoves
};

// The distances between leaves, row by row: row j of the matrix (leaf j in
// slot j) receives the distances to the leaves 0 ... j - 1, and, when pState
// is given, leaf j its partner, the first closest of them. Rows are
// independent, so the workers take them in chunks; afterPass(pairs) runs on
// the calling thread after every pass of about a million pairs.
void LeafRows(const CCentroidPool& batch, lumo::CWorkerPool& workers, CUpperDiagonalMatrix& m, CMergeState* pState,
              const std::function<void(long long)>& afterPass)
{
    const int n = m.GetSize();
    std::vector<std::vector<double>> scratch;
    try {
        scratch.assign(static_cast<std::size_t>(workers.Threads()),
                       std::vector<double>(CMergeState::Padded(n) + batch.Dim()));
    } catch (const std::bad_alloc&) {
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    }
    for (int j0 = 1, j1 = 1; j0 < n; j0 = j1)
    {
        long long pairs = 0;
        for (; j1 < n && pairs < (1 << 20); ++j1)
            pairs += j1;
        RunPass(workers, j1 - j0, 16, [&](int64_t b, int64_t e, int w) {
            double* buf = scratch[static_cast<std::size_t>(w)].data();
            double* x = buf + CMergeState::Padded(n);
            for (int j = j0 + static_cast<int>(b); j < j0 + static_cast<int>(e); ++j)
            {
                double spread;
                batch.Extract(j, x, &spread);
                batch.Distances(x, spread, 0, (j + 3) / 4, buf);
                std::copy(buf, buf + j, m.Row(j));
                if (pState == 0)
                    continue;
                int best = 0;
                for (int i = 1; i < j; ++i)
                    if (buf[i] < buf[best])
                        best = i;
                pState->SetFillPartner(j, best, buf[best]);
            }
        });
        afterPass(pairs);
    }
}

// What one worker's chunk of a merge step found.
struct SChunk
{
    int best;        // least (d, node) of the chunk
    double key;
    int badNode;     // least node with a NaN or negative distance, -1: none
    double badValue;
};

// The merge steps that use the centroid copy. Each step computes the
// distances from the new node c to every active node, and stores in the
// matrix the distances of the previous step's new node: until then nothing
// reads them (a rescan reads the distances from a node to smaller ones, and
// the newest node is the largest and not stale), so one pass of the workers
// both stores the previous node's distances, in the order of the slots, and
// computes c's. The computing chunks also mark the nodes that lost their
// partner and keep the least (d, node) of the chunk; c's partner is the
// least over the chunks.
class CMergeSteps
{
public:
    explicit CMergeSteps(int slots) : m_slots(slots), m_pending(-1) {}

    // *pBadNode is the least node whose distance to c is NaN or negative
    // (-1: none), so that the caller can fail as the plain loop in node order
    // would.
    void Step(CCentroidPool& batch, lumo::CWorkerPool& workers, CMergeState& state, CUpperDiagonalMatrix& m,
              const double* xc, double spread, int a, int b, int c, int minChunk, int* pBadNode, double* pBadValue)
    {
        const int count = batch.Count();
        const int blocks = batch.Blocks();
        const int threads = workers.Threads();
        // Chunks of at least minChunk nodes: a smaller pass costs less than
        // waking another thread for it.
        const bool parallel = threads > 1 && count >= 2 * minChunk;
        int kernelChunks = 1;
        if (parallel)
        {
            const int most = blocks / (minChunk / 4 > 1 ? minChunk / 4 : 1);
            kernelChunks = 4 * threads < most ? 4 * threads : most;
        }
        const int blockGrain = (blocks + kernelChunks - 1) / kernelChunks;
        kernelChunks = blocks > 0 ? (blocks + blockGrain - 1) / blockGrain : 0;
        const int pendingSlot = m_pending >= 0 ? m.Slot(m_pending) : -1;
        const int storeChunks = pendingSlot >= 0 ? (kernelChunks > 1 ? kernelChunks : 1) : 0;
        const int slotGrain = storeChunks > 0 ? (m_slots + storeChunks - 1) / storeChunks : 0;

        m_out.resize(static_cast<std::size_t>(blocks) * 4);
        m_chunks.assign(static_cast<std::size_t>(kernelChunks), SChunk{-1, 0.0, -1, 0.0});
        const lumo::CWorkerPool::Body body = [&](int64_t begin, int64_t end, int) {
            for (int item = static_cast<int>(begin); item < static_cast<int>(end); ++item)
            {
                if (item < kernelChunks)
                    Compute(batch, state, xc, spread, a, b, item * blockGrain,
                            std::min(blocks, (item + 1) * blockGrain), m_chunks[static_cast<std::size_t>(item)]);
                else
                {
                    const int s0 = (item - kernelChunks) * slotGrain;
                    Store(batch, state, m, pendingSlot, c, s0, std::min(m_slots, s0 + slotGrain));
                }
            }
        };
        if (parallel && kernelChunks + storeChunks > 1)
            workers.Run(kernelChunks + storeChunks, 1, body);
        else
            body(0, kernelChunks + storeChunks, 0);

        *pBadNode = -1;
        for (std::size_t k = 0; k < m_chunks.size(); ++k)
        {
            const SChunk& ch = m_chunks[k];
            if (ch.badNode >= 0 && (*pBadNode < 0 || ch.badNode < *pBadNode))
            {
                *pBadNode = ch.badNode;
                *pBadValue = ch.badValue;
            }
            if (ch.best >= 0)
                state.OfferMerged(ch.best, ch.key);
        }
        m_pending = c;
        m_out.swap(m_prev);
        batch.ClearMoves();
    }

    // Stores the pending distances now, before the pair-by-pair path takes
    // over; c is the node that path is building.
    void Flush(const CCentroidPool& batch, CMergeState& state, CUpperDiagonalMatrix& m, int c)
    {
        const int pendingSlot = m_pending >= 0 ? m.Slot(m_pending) : -1;
        if (pendingSlot >= 0)
            Store(batch, state, m, pendingSlot, c, 0, m_slots);
        m_pending = -1;
    }

private:
    void Compute(CCentroidPool& batch, CMergeState& state, const double* xc, double spread, int a, int b, int b0,
                 int b1, SChunk& ch)
    {
        double* d = m_out.data();
        batch.Distances(xc, spread, b0, b1, d + 4 * b0);
        const int end = 4 * b1 < batch.Count() ? 4 * b1 : batch.Count();
        for (int p = 4 * b0; p < end; ++p)
        {
            const int i = batch.NodeAt(p);
            const double v = d[p];
            state.MarkStale(i, a, b);
            if (!(v >= 0.0))
            {
                if (ch.badNode < 0 || i < ch.badNode)
                {
                    ch.badNode = i;
                    ch.badValue = v;
                }
                continue;
            }
            CMergeState::Offer(i, v, &ch.best, &ch.key);
        }
    }

    // The pending node's distances to the nodes in the slots s0 ... s1 - 1.
    // One merge has happened since they were computed: its two nodes left
    // their slots (one now holds c, which is skipped) and the centroid copy,
    // where the removals moved up to two nodes; every other node has the
    // slot and the position it had.
    void Store(const CCentroidPool& batch, CMergeState& state, CUpperDiagonalMatrix& m, int pendingSlot, int c,
               int s0, int s1)
    {
        double* rowP = m.Row(pendingSlot);
        for (int s = s0; s < s1; ++s)
        {
            const int i = state.SlotNode(s);
            if (i < 0 || i == m_pending || i == c)
                continue;
            const double v = m_prev[static_cast<std::size_t>(batch.EarlierPositionOf(i))];
            if (s < pendingSlot)
                rowP[s] = v;
            else
                m.Row(s)[pendingSlot] = v;
        }
    }

    int m_slots;
    int m_pending;              // node whose distances wait in m_prev, -1: none
    std::vector<double> m_out;  // this step's distances, by position in the centroid copy
    std::vector<double> m_prev; // the pending node's distances, by the positions they had
    std::vector<SChunk> m_chunks;
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

        // n slots for the 2n - 1 nodes: only unmerged nodes keep distances.
        try {
            m_pDistances = new CUpperDiagonalMatrix(n, iNodeCount);
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
        CUpperDiagonalMatrix& m = *m_pDistances;

        std::unique_ptr<CMergeState> stateOwner;
        std::unique_ptr<CCentroidPool> poolOwner;
        std::unique_ptr<lumo::CWorkerPool> workersOwner;
        try {
            stateOwner.reset(new CMergeState(n, m));
            poolOwner.reset(new CCentroidPool(pDist, m_ppNodes, n));
            workersOwner.reset(new lumo::CWorkerPool(poolOwner->On() ? m_iThreads : 1));
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
        CMergeState& state = *stateOwner;
        CCentroidPool& batch = *poolOwner;
        lumo::CWorkerPool& workers = *workersOwner;

        // Fill: every pair of leaves, one progress step per pair, a report
        // before steps 0, 1000, 2000, ... Totals are 64-bit: n * n overflows
        // an int. Reports come from this thread, between the workers' passes.
        // Where a pair could fail, the pairs go in (i, j) order, a block of
        // rows i at a time, so that the failure and the reports before it are
        // those of the plain loop.
        const double fillTotal = static_cast<double>((static_cast<long long>(n) * n) / 2);
        if (batch.On() && batch.LeavesCannotFail())
        {
            // No pair can fail, so the reports follow from the count of
            // pairs alone, whatever order the rows are computed in.
            long long step = 0;
            long long nextReport = 0;
            LeafRows(batch, workers, m, &state, [&](long long pairs) {
                for (step += pairs; nextReport < step; nextReport += 1000)
                    DoCallback(fillTotal, static_cast<double>(nextReport), 0);
            });
        }
        else
        {
            const double total = fillTotal;
            long long step = 0;
            long long nextReport = 0;
            std::vector<char> rowBad(CMergeState::kFillBlock, 0);
            std::vector<std::vector<double>> rows(static_cast<std::size_t>(workers.Threads()),
                                                  std::vector<double>(batch.Dim()));
            for (int i0 = 0; i0 < n; i0 += CMergeState::kFillBlock)
            {
                int i1 = i0 + CMergeState::kFillBlock < n ? i0 + CMergeState::kFillBlock : n;
                if (batch.On())
                    RunPass(workers, i1 - i0, 1, [&](int64_t b, int64_t e, int w) {
                        double* x = rows[static_cast<std::size_t>(w)].data();
                        for (int i = i0 + static_cast<int>(b); i < i0 + static_cast<int>(e); ++i)
                        {
                            double* buf = state.FillRow(i, i0);
                            const int b0 = (i + 1) / 4;
                            double spread;
                            batch.Extract(i, x, &spread);
                            batch.Distances(x, spread, b0, batch.Blocks(), buf + 4 * b0);
                            char bad = 0;
                            for (int j = i + 1; j < n; ++j)
                                bad |= !(buf[j] >= 0.0);
                            rowBad[static_cast<std::size_t>(i - i0)] = bad;
                        }
                    });
                for (int i = i0; i < i1; ++i)
                {
                    double* buf = state.FillRow(i, i0);
                    if (batch.On() && !rowBad[static_cast<std::size_t>(i - i0)])
                    {
                        step += n - i - 1;
                        for (; nextReport < step; nextReport += 1000)
                            DoCallback(total, static_cast<double>(nextReport), 0);
                        continue;
                    }
                    CClusterNode* ti = m_ppNodes[i];
                    for (int j = i + 1; j < n; ++j, ++step)
                    {
                        if (step == nextReport)
                        {
                            DoCallback(total, static_cast<double>(step), 0);
                            nextReport += 1000;
                        }
                        // A value the batch could not give comes from the
                        // distance function itself, with its exception.
                        if (!batch.On() || !(buf[j] >= 0.0))
                            buf[j] = CheckedDistance(pDist, ti, m_ppNodes[j]);
                    }
                }
                RunPass(workers, n, 512, [&](int64_t b, int64_t e, int) {
                    state.StoreFillBlock(i0, i1, static_cast<int>(b), static_cast<int>(e));
                });
            }
        }
        state.FinishFill();

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
        std::unique_ptr<CMergeSteps> stepsOwner;
        try {
            stepsOwner.reset(new CMergeSteps(n));
        } catch (const std::bad_alloc&) {
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
        CMergeSteps& steps = *stepsOwner;
        int iCurrent = n;
        while (iCurrent < iNodeCount - 1)
        {
            if (mini < 0)
                throw new CClusterException(5, "mini < 0");
            if (minj < 0)
                throw new CClusterException(5, "minj < 0");
            CClusterNode* pNode = NewMergedNode(pCombine, iCurrent, mini, minj);
            SetNodeByIndex(iCurrent, pNode);
            state.Merged(mini, minj, iCurrent);

            if (batch.Accepts(pNode))
            {
                batch.Remove(mini);
                batch.Remove(minj);
                int badNode = -1;
                double badValue = 0.0;
                double spread;
                const double* xc = batch.Prepare(pNode, &spread);
                steps.Step(batch, workers, state, m, xc, spread, mini, minj, iCurrent, m_iMinChunk, &badNode,
                           &badValue);
                if (badNode >= 0)
                {
                    for (; nextReport <= step + badNode; nextReport += 1000)
                        DoCallback(total, static_cast<double>(nextReport), 1);
                    CheckedDistance(pDist, m_ppNodes[badNode], pNode);
                    CheckedValue(badValue);
                }
                batch.Append(pNode);
            }
            else
            {
                steps.Flush(batch, state, m, iCurrent);
                for (std::size_t k = 0; k < active.size(); ++k)
                {
                    int i = active[k];
                    for (; nextReport <= step + i; nextReport += 1000)
                        DoCallback(total, static_cast<double>(nextReport), 1);
                    state.NewDistance(i, mini, minj, iCurrent, CheckedDistance(pDist, m_ppNodes[i], pNode));
                }
            }
            step += iCurrent;
            for (; nextReport < step; nextReport += 1000)
                DoCallback(total, static_cast<double>(nextReport), 1);
            state.AddMerged(iCurrent);
            mini = minj = -1;
            state.ClosestPair(&mini, &minj);
            ++iCurrent;
        }

        CClusterNode* pRoot = NewMergedNode(pCombine, iCurrent, mini, minj);
        SetNodeByIndex(iCurrent, pRoot);
        DoCallback(total, total, 1);
        m_fFinalTotal = total;
        // The matrix now holds the distances of the last nodes only; the
        // orderings read distances between leaves, which are computed again
        // when the matrix is first read.
        m.SetRefill([this]() { RestoreLeafDistances(); });
        return pRoot;
    } catch (...) {
        ReleasePartialTree(n);
        throw;
    }
}

// Puts the leaves back into slots 0 ... n - 1 and computes their distances
// again, as the fill did. Between passes the run's last report is repeated,
// one report per 1000 pairs as in the fill, so that a stop request or an
// interrupt is noticed.
void CBasicCluster::RestoreLeafDistances()
{
    CUpperDiagonalMatrix& m = *m_pDistances;
    const int n = m.GetSize();
    m.ResetSlots();
    CDistanceFunction* pDist = GetDistanceFunction();
    long long pending = 0;
    auto report = [&](long long pairs) {
        for (pending += pairs; pending >= 1000; pending -= 1000)
            DoCallback(m_fFinalTotal, m_fFinalTotal, 1);
    };
    std::unique_ptr<CCentroidPool> poolOwner;
    std::unique_ptr<lumo::CWorkerPool> workersOwner;
    try {
        poolOwner.reset(new CCentroidPool(pDist, m_ppNodes, n));
        workersOwner.reset(new lumo::CWorkerPool(poolOwner->On() ? m_iThreads : 1));
    } catch (const std::bad_alloc&) {
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    }
    if (poolOwner->On())
    {
        LeafRows(*poolOwner, *workersOwner, m, 0, report);
        return;
    }
    for (int i = 0; i < n; ++i)
    {
        for (int j = i + 1; j < n; ++j)
            m.At(i, j) = CheckedDistance(pDist, m_ppNodes[i], m_ppNodes[j]);
        report(n - i - 1);
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
