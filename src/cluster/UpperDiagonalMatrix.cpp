#include "UpperDiagonalMatrix.h"

#include <cstddef>
#include <new>

#include "SafeInt.h"

CUpperDiagonalMatrix::CUpperDiagonalMatrix(int size) : m_ppMatrix(0), m_iSize(size)
{
    if (size < 0)
        throw new CClusterException(5, "matrix size is negative");
    if (size == 0)
        return;
    try {
        m_ppMatrix = new double*[static_cast<std::size_t>(size)]();
    } catch (const std::bad_alloc&) {
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    }
    for (int r = 0; r < size; ++r)
    {
        try {
            m_ppMatrix[r] = new double[static_cast<std::size_t>(size)];
        } catch (const std::bad_alloc&) {
            for (int k = 0; k < r; ++k)
                delete[] m_ppMatrix[k];
            delete[] m_ppMatrix;
            m_ppMatrix = 0;
            throw new CClusterException(1, "Clustering operation failed due to lack of memory");
        }
    }
}

CUpperDiagonalMatrix::~CUpperDiagonalMatrix()
{
    if (m_ppMatrix == 0)
        return;
    for (int r = 0; r < m_iSize; ++r)
        delete[] m_ppMatrix[r];
    delete[] m_ppMatrix;
}

void CUpperDiagonalMatrix::CheckIndices(int i, int j) const
{
    if (i < 0 || j < 0 || i >= m_iSize || j >= m_iSize)
        throw new CClusterException(5, "matrix index out of range");
}

void CUpperDiagonalMatrix::SetValue(int i, int j, double value)
{
    CheckIndices(i, j);
    Set(i, j, value);
}

double CUpperDiagonalMatrix::GetValue(int i, int j)
{
    CheckIndices(i, j);
    return Get(i, j);
}

unsigned long long CUpperDiagonalMatrix::GetMemoryRequirement(unsigned long long size)
{
    return CSafeInt<unsigned long long>::Multiply(8, CSafeInt<unsigned long long>::Multiply(size, size));
}
