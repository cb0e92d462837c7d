#ifndef LUMO_UPPERDIAGONALMATRIX_H
#define LUMO_UPPERDIAGONALMATRIX_H

#include <cstddef>
#include <functional>
#include <vector>

#include "ClusterException.h"
#include "Matrix.h"

// Symmetric matrix of doubles over a fixed number of storage slots, addressed
// by node index through a node -> slot map. A value set at (i, j) reads back
// at (i, j) and at (j, i). Each value is kept once, in the row of the larger
// slot: row r holds slots 0 ... r, so the rows form a triangle of
// slots (slots + 1) / 2 values in one block. Values start uninitialised.
//
// Clustering keeps only the nodes that are still unmerged: a merged node
// takes over the slot of one of its children, so n rows need n slots for
// their 2n - 1 nodes.
class CUpperDiagonalMatrix : public CMatrix
{
public:
    // size slots and size nodes, node k in slot k. Throws CClusterException*
    // id 1 when the rows cannot be allocated.
    explicit CUpperDiagonalMatrix(int size);
    // slots slots for node indices 0 ... nodes - 1; nodes 0 ... slots - 1
    // start in their own slot, the others without one.
    CUpperDiagonalMatrix(int slots, int nodes);
    virtual ~CUpperDiagonalMatrix();

    // Both check that i and j are node indices that own a slot and throw
    // CClusterException* id 5 otherwise. A pending refill (see SetRefill)
    // runs first.
    virtual void SetValue(int i, int j, double value);
    virtual double GetValue(int i, int j);

    // Slot of node k (-1: none); node k takes slot s (-1: gives its slot up).
    int Slot(int k) const { return m_slot[static_cast<std::size_t>(k)]; }
    void AssignSlot(int k, int s)
    {
        m_slot[static_cast<std::size_t>(k)] = s;
        m_bOwnSlots = false;
    }
    // Nodes 0 ... size - 1 back in their own slots, the others without one.
    void ResetSlots();
    const int* Slots() const { return m_slot.data(); }
    int GetNodeCount() const { return static_cast<int>(m_slot.size()); }

    // Unchecked access by slot for the clustering loops.
    double& AtSlots(int s, int t) { return s < t ? m_ppMatrix[t][s] : m_ppMatrix[s][t]; }
    // Unchecked access by node index.
    double& At(int i, int j) { return AtSlots(Slot(i), Slot(j)); }
    // Row r: the values of slots (r, 0) ... (r, r).
    const double* Row(int r) const { return m_ppMatrix[r]; }
    double* Row(int r) { return m_ppMatrix[r]; }
    int GetSize() const { return m_iSize; }
    // The rows of the values (row r holds slots 0 ... r) while no refill is
    // pending and every node below the size sits in its own slot, so that a
    // reader of many values can index them directly; null otherwise.
    double* const* DirectRows() const { return m_bOwnSlots && !m_refill ? m_ppMatrix : nullptr; }

    // A function that rewrites the values (and slots) on the first checked
    // access; it stays pending when it throws.
    void SetRefill(const std::function<void()>& refill) { m_refill = refill; }

    // Bytes of the values and the row table of a triangle of `slots` slots
    // (overflow-checked; throws std::out_of_range*).
    static unsigned long long GetMemoryRequirement(unsigned long long slots);

private:
    CUpperDiagonalMatrix(const CUpperDiagonalMatrix&);
    CUpperDiagonalMatrix& operator=(const CUpperDiagonalMatrix&);
    void Allocate(int slots, int nodes);
    // Runs a pending refill and checks i and j; returns their slots.
    void Prepare(int i, int j, int* pSi, int* pSj);
    // The orderings read the matrix one value at a time: the common case (no
    // refill pending, every node in its own slot) takes two comparisons.
    bool Direct(int i, int j) const
    {
        return m_bOwnSlots && !m_refill && static_cast<unsigned>(i) < static_cast<unsigned>(m_iSize) &&
               static_cast<unsigned>(j) < static_cast<unsigned>(m_iSize);
    }
    static void* AllocateBlock(std::size_t bytes);

    double** m_ppMatrix;
    int m_iSize;
    double* m_pBlock; // all rows, one after the other
    std::vector<int> m_slot;
    bool m_bOwnSlots; // node k < size is in slot k, no other node has one
    std::function<void()> m_refill;
};

#endif
