#include "MergeState.h"

#include <algorithm>

CMergeState::CMergeState(int leafCount, CUpperDiagonalMatrix& m)
    : m_n(leafCount), m_stride(Padded(leafCount)), m_m(m), m_slotNode(static_cast<std::size_t>(leafCount)),
      m_key(2 * leafCount - 1, 0.0), m_partner(2 * leafCount - 1, -1), m_stale(2 * leafCount - 1, 0),
      m_heapPos(2 * leafCount - 1, -1), m_block(static_cast<std::size_t>(kFillBlock) * m_stride)
{
    m_active.reserve(static_cast<std::size_t>(leafCount));
    m_heap.reserve(static_cast<std::size_t>(leafCount));
    for (int k = 0; k < leafCount; ++k)
        m_slotNode[static_cast<std::size_t>(k)] = k;
}

void CMergeState::StoreFillBlock(int i0, int i1, int j0, int j1)
{
    for (int j = j0 > i0 + 1 ? j0 : i0 + 1; j < j1; ++j) {
        double* rowJ = m_m.Row(j);
        int last = j < i1 ? j : i1;
        int best = m_partner[j];
        double bestDist = m_key[j];
        for (int i = i0; i < last; ++i) {
            double d = m_block[static_cast<std::size_t>(i - i0) * m_stride + j];
            rowJ[i] = d;
            if (best < 0 || d < bestDist) {
                best = i;
                bestDist = d;
            }
        }
        m_partner[j] = best;
        m_key[j] = bestDist;
    }
}

void CMergeState::FinishFill()
{
    std::vector<double>().swap(m_block);
    for (int j = 0; j < m_n; ++j) {
        m_active.push_back(j);
        if (m_partner[j] >= 0)
            HeapInsert(j);
    }
}

void CMergeState::Merged(int a, int b, int c)
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

void CMergeState::AddMerged(int c)
{
    m_active.push_back(c);
    m_partner[c] = m_cPartner;
    m_key[c] = m_cKey;
    m_stale[c] = 0;
    if (m_cPartner >= 0)
        HeapInsert(c);
}

bool CMergeState::ClosestPair(int* pMini, int* pMinj)
{
    while (!m_heap.empty()) {
        int t = m_heap[0];
        if (!m_stale[t]) {
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

// Best lower partner of j among the active nodes. No candidate can beat the
// stale key, so the first one at exactly that distance ends the scan.
void CMergeState::Rescan(int j)
{
    const double bound = m_key[j];
    const int* slot = m_m.Slots();
    const int sj = slot[j];
    const double* rowJ = m_m.Row(sj);
    int best = -1;
    double bestDist = 0.0;
    for (std::vector<int>::const_iterator it = m_active.begin(); it != m_active.end() && *it < j; ++it) {
        const int si = slot[*it];
        double d = si < sj ? rowJ[si] : m_m.Row(si)[sj];
        if (best < 0 || d < bestDist) {
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

void CMergeState::Remove(int k)
{
    std::vector<int>::iterator it = std::lower_bound(m_active.begin(), m_active.end(), k);
    if (it != m_active.end() && *it == k)
        m_active.erase(it);
    if (m_heapPos[k] >= 0)
        HeapRemove(k);
    m_partner[k] = -1;
}

// Heap order: the least (key, partner, node) first.
bool CMergeState::Before(int x, int y) const
{
    if (m_key[x] != m_key[y])
        return m_key[x] < m_key[y];
    if (m_partner[x] != m_partner[y])
        return m_partner[x] < m_partner[y];
    return x < y;
}

void CMergeState::HeapInsert(int k)
{
    m_heap.push_back(k);
    m_heapPos[k] = static_cast<int>(m_heap.size()) - 1;
    HeapUp(m_heapPos[k]);
}

void CMergeState::HeapRemove(int k)
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

void CMergeState::HeapUp(int pos)
{
    int k = m_heap[pos];
    while (pos > 0) {
        int parent = (pos - 1) / 2;
        if (!Before(k, m_heap[parent]))
            break;
        Place(pos, m_heap[parent]);
        pos = parent;
    }
    Place(pos, k);
}

void CMergeState::HeapDown(int pos)
{
    const int size = static_cast<int>(m_heap.size());
    int k = m_heap[pos];
    for (;;) {
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
