#ifndef LUMO_UPPERDIAGONALMATRIX_H
#define LUMO_UPPERDIAGONALMATRIX_H

#include "ClusterException.h"
#include "Matrix.h"

// A full size x size square of doubles; SetValue writes (i, j) and (j, i), so
// any value can be read back in either order. Values start uninitialised.
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
        m_ppMatrix[i][j] = value;
        m_ppMatrix[j][i] = value;
    }
    double Get(int i, int j) const { return m_ppMatrix[i][j]; }
    const double* Row(int i) const { return m_ppMatrix[i]; }
    int GetSize() const { return m_iSize; }

    // Bytes of the values of a size x size matrix (8 * size * size, overflow-checked).
    static unsigned long long GetMemoryRequirement(unsigned long long size);

private:
    CUpperDiagonalMatrix(const CUpperDiagonalMatrix&);
    CUpperDiagonalMatrix& operator=(const CUpperDiagonalMatrix&);
    void CheckIndices(int i, int j) const;

    double** m_ppMatrix;
    int m_iSize;
};

#endif
