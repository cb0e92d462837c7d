#include "UpperDiagonalMatrix.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "SafeInt.h"

namespace
{
// Values of a triangle with its diagonal: slots * (slots + 1) / 2.
unsigned long long TriangleValues(unsigned long long s)
{
    typedef CSafeInt<unsigned long long> S;
    return s % 2 == 0 ? S::Multiply(s / 2, s + 1) : S::Multiply(s, (s + 1) / 2);
}
} // namespace

CUpperDiagonalMatrix::CUpperDiagonalMatrix(int size) : m_ppMatrix(0), m_iSize(0), m_pBlock(0), m_bOwnSlots(true)
{
    Allocate(size, size);
}

CUpperDiagonalMatrix::CUpperDiagonalMatrix(int slots, int nodes)
    : m_ppMatrix(0), m_iSize(0), m_pBlock(0), m_bOwnSlots(true)
{
    Allocate(slots, nodes);
}

void CUpperDiagonalMatrix::Allocate(int slots, int nodes)
{
    if (slots < 0 || nodes < slots)
        throw new CClusterException(5, "matrix size is negative");
    try {
        m_slot.resize(static_cast<std::size_t>(nodes), -1);
    } catch (const std::bad_alloc&) {
        throw new CClusterException(1, "Clustering operation failed due to lack of memory");
    }
    m_iSize = slots;
    ResetSlots();
    if (slots == 0)
        return;
    const std::size_t n = static_cast<std::size_t>(slots);
    unsigned long long bytes = 0;
    try {
        bytes = CSafeInt<unsigned long long>::Multiply(TriangleValues(n), sizeof(double));
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
    if (m_pBlock == 0) {
        delete[] m_ppMatrix;
        m_ppMatrix = 0;
        throw new CClusterException(1, "Could not allocate matrix");
    }
    std::size_t offset = 0;
    for (std::size_t r = 0; r < n; ++r) {
        m_ppMatrix[r] = m_pBlock + offset;
        offset += r + 1;
    }
}

CUpperDiagonalMatrix::~CUpperDiagonalMatrix()
{
    std::free(m_pBlock);
    delete[] m_ppMatrix;
}

// Large blocks are aligned to 2 MiB, so that a system that backs memory with
// large pages by default can do so. The block is not marked for large pages:
// where the system then assembles them on the first touch, a fragmented
// memory makes that cost more time than the page faults it saves.
void* CUpperDiagonalMatrix::AllocateBlock(std::size_t bytes)
{
    const std::size_t kLargePage = 2u << 20;
    if (bytes < kLargePage)
        return std::malloc(bytes);
    void* p = 0;
    if (posix_memalign(&p, kLargePage, bytes) != 0)
        return 0;
    return p;
}

void CUpperDiagonalMatrix::ResetSlots()
{
    for (std::size_t k = 0; k < m_slot.size(); ++k)
        m_slot[k] = static_cast<int>(k) < m_iSize ? static_cast<int>(k) : -1;
    m_bOwnSlots = true;
}

void CUpperDiagonalMatrix::Prepare(int i, int j, int* pSi, int* pSj)
{
    if (m_refill) {
        m_refill();
        m_refill = std::function<void()>();
    }
    const int nodes = GetNodeCount();
    if (i < 0 || j < 0 || i >= nodes || j >= nodes)
        throw new CClusterException(5, "matrix index out of range");
    *pSi = Slot(i);
    *pSj = Slot(j);
    if (*pSi < 0 || *pSj < 0)
        throw new CClusterException(5, "no distance is kept for this node");
}

void CUpperDiagonalMatrix::SetValue(int i, int j, double value)
{
    if (Direct(i, j)) {
        AtSlots(i, j) = value;
        return;
    }
    int si, sj;
    Prepare(i, j, &si, &sj);
    AtSlots(si, sj) = value;
}

double CUpperDiagonalMatrix::GetValue(int i, int j)
{
    if (Direct(i, j))
        return AtSlots(i, j);
    int si, sj;
    Prepare(i, j, &si, &sj);
    return AtSlots(si, sj);
}

unsigned long long CUpperDiagonalMatrix::GetMemoryRequirement(unsigned long long slots)
{
    typedef CSafeInt<unsigned long long> S;
    return S::Add(S::Multiply(TriangleValues(slots), sizeof(double)), S::Multiply(slots, sizeof(double*)));
}
