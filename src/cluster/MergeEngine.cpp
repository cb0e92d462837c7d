#include "MergeEngine.h"

#include <algorithm>
#include <functional>
#include <new>

#include "Cluster.h"
#include "ClusterException.h"
#include "ClusterNode.h"
#include "UpperDiagonalMatrix.h"

namespace
{
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
    for (int j0 = 1, j1 = 1; j0 < n; j0 = j1) {
        long long pairs = 0;
        for (; j1 < n && pairs < (1 << 20); ++j1)
            pairs += j1;
        RunPass(workers, j1 - j0, 16, [&](int64_t b, int64_t e, int w) {
            double* buf = scratch[static_cast<std::size_t>(w)].data();
            double* x = buf + CMergeState::Padded(n);
            for (int j = j0 + static_cast<int>(b); j < j0 + static_cast<int>(e); ++j) {
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

CClusterException* OutOfMemory()
{
    return new CClusterException(1, "Clustering operation failed due to lack of memory");
}
} // namespace

void CMergeSteps::Step(CCentroidPool& batch, lumo::CWorkerPool& workers, CMergeState& state, CUpperDiagonalMatrix& m,
                       const double* xc, double spread, int a, int b, int c, int minChunk, int* pBadNode,
                       double* pBadValue)
{
    const int count = batch.Count();
    const int blocks = batch.Blocks();
    const int threads = workers.Threads();
    // Chunks of at least minChunk nodes: a smaller pass costs less than
    // waking another thread for it.
    const bool parallel = threads > 1 && count >= 2 * minChunk;
    int kernelChunks = 1;
    if (parallel) {
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
        for (int item = static_cast<int>(begin); item < static_cast<int>(end); ++item) {
            if (item < kernelChunks)
                Compute(batch, state, xc, spread, a, b, item * blockGrain, std::min(blocks, (item + 1) * blockGrain),
                        m_chunks[static_cast<std::size_t>(item)]);
            else {
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
    for (std::size_t k = 0; k < m_chunks.size(); ++k) {
        const SChunk& ch = m_chunks[k];
        if (ch.badNode >= 0 && (*pBadNode < 0 || ch.badNode < *pBadNode)) {
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

void CMergeSteps::Flush(const CCentroidPool& batch, CMergeState& state, CUpperDiagonalMatrix& m, int c)
{
    const int pendingSlot = m_pending >= 0 ? m.Slot(m_pending) : -1;
    if (pendingSlot >= 0)
        Store(batch, state, m, pendingSlot, c, 0, m_slots);
    m_pending = -1;
}

void CMergeSteps::Compute(CCentroidPool& batch, CMergeState& state, const double* xc, double spread, int a, int b,
                          int b0, int b1, SChunk& ch)
{
    double* d = m_out.data();
    batch.Distances(xc, spread, b0, b1, d + 4 * b0);
    const int end = 4 * b1 < batch.Count() ? 4 * b1 : batch.Count();
    for (int p = 4 * b0; p < end; ++p) {
        const int i = batch.NodeAt(p);
        const double v = d[p];
        state.MarkStale(i, a, b);
        if (!(v >= 0.0)) {
            if (ch.badNode < 0 || i < ch.badNode) {
                ch.badNode = i;
                ch.badValue = v;
            }
            continue;
        }
        CMergeState::Offer(i, v, &ch.best, &ch.key);
    }
}

// The pending node's distances to the nodes in the slots s0 ... s1 - 1. One
// merge has happened since they were computed: its two nodes left their
// slots (one now holds c, which is skipped) and the centroid copy, where the
// removals moved up to two nodes; every other node has the slot and the
// position it had.
void CMergeSteps::Store(const CCentroidPool& batch, CMergeState& state, CUpperDiagonalMatrix& m, int pendingSlot, int c,
                        int s0, int s1)
{
    double* rowP = m.Row(pendingSlot);
    for (int s = s0; s < s1; ++s) {
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

CMergeEngine::CMergeEngine(IProgressThreadCallback& progress, CDistanceFunction* pDist, CCombineDataFunction* pCombine,
                           CClusterNode** ppNodes, CUpperDiagonalMatrix& m, lumo::CWorkerPool& workers, int minChunk)
    : m_progress(progress), m_pDist(pDist), m_pCombine(pCombine), m_ppNodes(ppNodes), m_m(m), m_n(m.GetSize()),
      m_minChunk(minChunk), m_steps(m.GetSize())
{
    try {
        m_pState.reset(new CMergeState(m_n, m));
        m_pPool.reset(new CCentroidPool(pDist, ppNodes, m_n));
        if (!m_pPool->On())
            m_pSerial.reset(new lumo::CWorkerPool(1));
        m_pWorkers = m_pPool->On() ? &workers : m_pSerial.get();
    } catch (const std::bad_alloc&) {
        throw OutOfMemory();
    }
}

double CMergeEngine::MergeTotal() const
{
    const long long mergeSteps = static_cast<long long>(m_n - 1) * m_n;
    return static_cast<double>(mergeSteps + mergeSteps / 2);
}

void CMergeEngine::ReportBefore(long long step, int msgid)
{
    for (; m_nextReport < step; m_nextReport += 1000)
        m_progress.DoCallback(m_total, static_cast<double>(m_nextReport), msgid);
}

void CMergeEngine::ReportUpTo(long long step, int msgid)
{
    for (; m_nextReport <= step; m_nextReport += 1000)
        m_progress.DoCallback(m_total, static_cast<double>(m_nextReport), msgid);
}

// Every pair of leaves, one progress step per pair, a report before steps 0,
// 1000, 2000, ... Totals are 64-bit: n * n overflows an int. Reports come
// from this thread, between the workers' passes.
void CMergeEngine::Fill()
{
    m_total = static_cast<double>((static_cast<long long>(m_n) * m_n) / 2);
    m_step = m_nextReport = 0;
    if (m_pPool->On() && m_pPool->LeavesCannotFail())
        FillUnchecked();
    else
        FillChecked();
    m_pState->FinishFill();
}

// No pair can fail, so the reports follow from the count of pairs alone,
// whatever order the rows are computed in.
void CMergeEngine::FillUnchecked()
{
    LeafRows(*m_pPool, *m_pWorkers, m_m, m_pState.get(), [this](long long pairs) {
        m_step += pairs;
        ReportBefore(m_step, kPhaseDistances);
    });
}

// Where a pair could fail, the pairs go in (i, j) order, a block of rows i
// at a time, so that the failure and the reports before it are those of the
// plain loop.
void CMergeEngine::FillChecked()
{
    std::vector<char> rowBad(CMergeState::kFillBlock, 0);
    std::vector<std::vector<double>> rows(static_cast<std::size_t>(m_pWorkers->Threads()),
                                          std::vector<double>(m_pPool->Dim()));
    for (int i0 = 0; i0 < m_n; i0 += CMergeState::kFillBlock) {
        const int i1 = i0 + CMergeState::kFillBlock < m_n ? i0 + CMergeState::kFillBlock : m_n;
        if (m_pPool->On())
            BatchFillRows(i0, i1, rows, rowBad);
        FillBlock(i0, i1, rowBad);
        CMergeState& state = *m_pState;
        RunPass(*m_pWorkers, m_n, 512, [&](int64_t b, int64_t e, int) {
            state.StoreFillBlock(i0, i1, static_cast<int>(b), static_cast<int>(e));
        });
    }
}

// The rows i0 ... i1 - 1 from the centroid copy, on the workers; rowBad
// marks the rows with a value the distance function would reject.
void CMergeEngine::BatchFillRows(int i0, int i1, std::vector<std::vector<double>>& rows, std::vector<char>& rowBad)
{
    const CCentroidPool& batch = *m_pPool;
    CMergeState& state = *m_pState;
    const int n = m_n;
    RunPass(*m_pWorkers, i1 - i0, 1, [&](int64_t b, int64_t e, int w) {
        double* x = rows[static_cast<std::size_t>(w)].data();
        for (int i = i0 + static_cast<int>(b); i < i0 + static_cast<int>(e); ++i) {
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
}

// The reports of the rows i0 ... i1 - 1, and the pairs that the centroid
// copy did not give, from the distance function itself with its exception.
void CMergeEngine::FillBlock(int i0, int i1, const std::vector<char>& rowBad)
{
    const bool batched = m_pPool->On();
    for (int i = i0; i < i1; ++i) {
        double* buf = m_pState->FillRow(i, i0);
        if (batched && !rowBad[static_cast<std::size_t>(i - i0)]) {
            m_step += m_n - i - 1;
            ReportBefore(m_step, kPhaseDistances);
            continue;
        }
        CClusterNode* ti = m_ppNodes[i];
        for (int j = i + 1; j < m_n; ++j, ++m_step) {
            if (m_step == m_nextReport) {
                m_progress.DoCallback(m_total, static_cast<double>(m_step), kPhaseDistances);
                m_nextReport += 1000;
            }
            if (!batched || !(buf[j] >= 0.0))
                buf[j] = CheckedDistance(m_pDist, ti, m_ppNodes[j]);
        }
    }
}

// Each merge computes the distances from every active node to the new node.
// Progress counts one step per node index below the new node, merged ones
// included, with a report every 1000 steps.
CClusterNode* CMergeEngine::Merge()
{
    m_total = MergeTotal();
    m_step = m_nextReport = 0;
    int mini = -1, minj = -1;
    m_pState->ClosestPair(&mini, &minj);
    const int iNodeCount = 2 * m_n - 1;
    int iCurrent = m_n;
    for (; iCurrent < iNodeCount - 1; ++iCurrent) {
        if (mini < 0)
            throw new CClusterException(5, "mini < 0");
        if (minj < 0)
            throw new CClusterException(5, "minj < 0");
        MergeStep(iCurrent, mini, minj);
        mini = minj = -1;
        m_pState->ClosestPair(&mini, &minj);
    }
    CClusterNode* pRoot = NewMergedNode(iCurrent, mini, minj);
    m_ppNodes[iCurrent] = pRoot;
    return pRoot;
}

void CMergeEngine::MergeStep(int c, int mini, int minj)
{
    CClusterNode* pNode = NewMergedNode(c, mini, minj);
    m_ppNodes[c] = pNode;
    m_pState->Merged(mini, minj, c);
    if (m_pPool->Accepts(pNode))
        BatchedDistances(pNode, c, mini, minj);
    else
        PairDistances(pNode, c, mini, minj);
    m_step += c;
    ReportBefore(m_step, kPhaseMerging);
    m_pState->AddMerged(c);
}

// A failing distance fails as the pair-by-pair loop would: after the reports
// before it, with the distance function's own exception.
void CMergeEngine::BatchedDistances(CClusterNode* pNode, int c, int mini, int minj)
{
    CCentroidPool& batch = *m_pPool;
    batch.Remove(mini);
    batch.Remove(minj);
    int badNode = -1;
    double badValue = 0.0;
    double spread;
    const double* xc = batch.Prepare(pNode, &spread);
    m_steps.Step(batch, *m_pWorkers, *m_pState, m_m, xc, spread, mini, minj, c, m_minChunk, &badNode, &badValue);
    if (badNode >= 0) {
        ReportUpTo(m_step + badNode, kPhaseMerging);
        CheckedDistance(m_pDist, m_ppNodes[badNode], pNode);
        CheckedValue(badValue);
    }
    batch.Append(pNode);
}

void CMergeEngine::PairDistances(CClusterNode* pNode, int c, int mini, int minj)
{
    m_steps.Flush(*m_pPool, *m_pState, m_m, c);
    const std::vector<int>& active = m_pState->Active();
    for (std::size_t k = 0; k < active.size(); ++k) {
        const int i = active[k];
        ReportUpTo(m_step + i, kPhaseMerging);
        m_pState->NewDistance(i, mini, minj, c, CheckedDistance(m_pDist, m_ppNodes[i], pNode));
    }
}

// Combines the data of nodes mini < minj and builds their parent; the data
// vector is released again when the node cannot be built.
CClusterNode* CMergeEngine::NewMergedNode(int index, int mini, int minj)
{
    if (mini < 0 || minj < 0 || mini >= index || minj >= index)
        throw new CClusterException(5, "no pair of clusters left to merge");
    CClusterNode* pLeft = m_ppNodes[mini];
    CClusterNode* pRight = m_ppNodes[minj];
    void* pNewData = m_pCombine->CombineData(pLeft, pRight);
    try {
        return new CClusterNode(pNewData, index, pLeft, pRight);
    } catch (const std::bad_alloc&) {
        delete static_cast<std::vector<double>*>(pNewData);
        throw OutOfMemory();
    } catch (...) {
        delete static_cast<std::vector<double>*>(pNewData);
        throw;
    }
}

// Between passes the run's last report is repeated, one report per 1000
// pairs as in the fill, so that a stop request or an interrupt is noticed.
void CMergeEngine::RestoreLeafDistances(IProgressThreadCallback& progress, CDistanceFunction* pDist,
                                        CClusterNode** ppNodes, CUpperDiagonalMatrix& m, lumo::CWorkerPool& workers,
                                        double total)
{
    const int n = m.GetSize();
    m.ResetSlots();
    long long pending = 0;
    auto report = [&](long long pairs) {
        for (pending += pairs; pending >= 1000; pending -= 1000)
            progress.DoCallback(total, total, kPhaseMerging);
    };
    std::unique_ptr<CCentroidPool> poolOwner;
    try {
        poolOwner.reset(new CCentroidPool(pDist, ppNodes, n));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory();
    }
    if (poolOwner->On()) {
        LeafRows(*poolOwner, workers, m, 0, report);
        return;
    }
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j)
            m.At(i, j) = CheckedDistance(pDist, ppNodes[i], ppNodes[j]);
        report(n - i - 1);
    }
}

// Distances feed comparisons that must form an order: a NaN (from missing or
// infinite values) or a negative value would make the choice of pairs
// meaningless, so both end the run.
double CMergeEngine::CheckedDistance(CDistanceFunction* pDist, CClusterNode* pNode1, CClusterNode* pNode2)
{
    return CheckedValue(pDist->Distance(pNode1, pNode2));
}

double CMergeEngine::CheckedValue(double d)
{
    if (d >= 0.0)
        return d;
    if (d < 0.0)
        throw new CClusterException(5, "distance is negative");
    throw new CClusterException(5, "distance is not a number: the data contain missing or infinite values");
}
