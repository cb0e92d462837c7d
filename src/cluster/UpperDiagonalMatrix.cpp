#include "UpperDiagonalMatrix.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <sys/mman.h>

#include "SafeInt.h"

CUpperDiagonalMatrix::CUpperDiagonalMatrix(int size) : m_ppMatrix(0), m_iSize(size), m_pBlock(0)
{
    if (size < 0)
        throw new CClusterException(5, "matrix size is negative");
    if (size == 0)
        return;
    const std::size_t n = static_cast<std::size_t>(size);
    // Values in the triangle: size * (size + 1) / 2.
    unsigned long long bytes = 0;
    try {
        typedef CSafeInt<unsigned long long> S;
        unsigned long long s = static_cast<unsigned long long>(size);
        unsigned long long values = s % 2 == 0 ? S::Multiply(s / 2, s + 1) : S::Multiply(s, (s + 1) / 2);
        bytes = S::Multiply(values, sizeof(double));
    } catch (std::out_of_range* e) {
        delete e;
        throw new CClusterException(1, "Could not allocate matrix");
    }
    if (bytes > static_cast<unsigned long long>(SIZE_MAX))
        throw new CClusterException(1, "Could not allocate matrix");
    try {
        m_ppMatrix = new double*[n];
    } catch (const std::bad_alloc&) {
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    }
    m_pBlock = static_cast<double*>(AllocateBlock(static_cast<std::size_t>(bytes)));
    if (m_pBlock == 0)
    {
        delete[] m_ppMatrix;
        m_ppMatrix = 0;
        throw new CClusterException(1, "Could not allocate matrix");
    }
    std::size_t offset = 0;
    for (std::size_t r = 0; r < n; ++r)
    {
        m_ppMatrix[r] = m_pBlock + offset;
        offset += r + 1;
    }
}

CUpperDiagonalMatrix::~CUpperDiagonalMatrix()
{
    std::free(m_pBlock);
    delete[] m_ppMatrix;
}

// Large blocks are aligned to 2 MiB and offered to the kernel for large pages.
void* CUpperDiagonalMatrix::AllocateBlock(std::size_t bytes)
{
    const std::size_t kLargePage = 2u << 20;
    if (bytes < kLargePage)
        return std::malloc(bytes);
    void* p = 0;
    if (posix_memalign(&p, kLargePage, bytes) != 0)
        return 0;
#if defined(MADV_HUGEPAGE)
    madvise(p, bytes, MADV_HUGEPAGE); // a hint only; failure changes nothing
#endif
    return p;
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
