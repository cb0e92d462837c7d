#ifndef LUMO_MERGESTATE_H
#define LUMO_MERGESTATE_H

#include <cstddef>
#include <vector>

#include "UpperDiagonalMatrix.h"

// Working state of one clustering run: which pair is merged next.
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

    CMergeState(int leafCount, CUpperDiagonalMatrix& m);

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
    void StoreFillBlock(int i0, int i1, int j0, int j1);

    // Leaf j's partner found from its whole row.
    void SetFillPartner(int j, int partner, double key)
    {
        m_partner[j] = partner;
        m_key[j] = key;
    }

    void FinishFill();

    // Nodes a < b leave the active set, merged into c, which takes over the
    // larger of their slots: more of its distances then go into one row.
    void Merged(int a, int b, int c);

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
        if (*pBest < 0 || d < *pKey || (d == *pKey && i < *pBest)) {
            *pBest = i;
            *pKey = d;
        }
    }

    void OfferMerged(int i, double d) { Offer(i, d, &m_cPartner, &m_cKey); }

    // c joins the active set once all its distances are known.
    void AddMerged(int c);

    // The first closest active pair; false when no pair is left.
    bool ClosestPair(int* pMini, int* pMinj);

private:
    void Rescan(int j);
    void Remove(int k);
    bool Before(int x, int y) const;
    void Place(int pos, int k)
    {
        m_heap[pos] = k;
        m_heapPos[k] = pos;
    }
    void HeapInsert(int k);
    void HeapRemove(int k);
    void HeapUp(int pos);
    void HeapDown(int pos);

    int m_n;
    std::size_t m_stride;
    CUpperDiagonalMatrix& m_m;
    std::vector<int> m_slotNode;
    std::vector<int> m_active;  // active node indices, ascending
    std::vector<double> m_key;  // distance to the partner (a lower bound when stale)
    std::vector<int> m_partner; // best active i below, -1 for none
    std::vector<char> m_stale;
    std::vector<int> m_heap;
    std::vector<int> m_heapPos;  // -1: not in the heap
    std::vector<double> m_block; // fill buffer: kFillBlock rows of m_stride values
    int m_cPartner = -1;         // partner of the node being built
    double m_cKey = 0.0;
};

#endif
