#ifndef LUMO_UPPERDIAGONALMATRIX_H
#define LUMO_UPPERDIAGONALMATRIX_H

#include <cstddef>

#include "ClusterException.h"
#include "Matrix.h"

// Symmetric size x size matrix of doubles: a value set at (i, j) reads back
// at (i, j) and at (j, i). Each value is kept once, in the row of the larger
// index: row r holds columns 0 ... r, so the rows form a triangle of
// size (size + 1) / 2 values in one block, which the system may back with
// large pages (a clustering run touches nearly all of it, and page faults
// would otherwise cost as much as the distances). Values start uninitialised.
class CUpperDiagonalMatrix : public CMatrix
{
public:
    // Throws CClusterException* id 1 when the rows cannot be allocated.
    explicit CUpperDiagonalMatrix(int size);
    virtual ~CUpperDiagonalMatrix();

    // Both check 0 <= i, j < size and throw CClusterException* id 5 otherwise.
    virtual void SetValue(int i, int j, double value);
    virtual double GetValue(int i, int j);

    // Unchecked access for the clustering loops, which keep their indices in range.
    void Set(int i, int j, double value)
    {
        if (i < j)
            m_ppMatrix[j][i] = value;
        else
            m_ppMatrix[i][j] = value;
    }
    double Get(int i, int j) const { return i < j ? m_ppMatrix[j][i] : m_ppMatrix[i][j]; }
    // Row r: the values (r, 0) ... (r, r).
    const double* Row(int r) const { return m_ppMatrix[r]; }
    double* Row(int r) { return m_ppMatrix[r]; }
    int GetSize() const { return m_iSize; }

    // Bytes of the values of a size x size matrix (8 * size * size, overflow-checked).
    // This bounds what the triangle needs (about half of it) from above.
    static unsigned long long GetMemoryRequirement(unsigned long long size);

private:
    CUpperDiagonalMatrix(const CUpperDiagonalMatrix&);
    CUpperDiagonalMatrix& operator=(const CUpperDiagonalMatrix&);
    void CheckIndices(int i, int j) const;
    static void* AllocateBlock(std::size_t bytes);

    double** m_ppMatrix;
    int m_iSize;
    double* m_pBlock; // all rows, one after the other
};

#endif
