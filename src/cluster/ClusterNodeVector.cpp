#include "ClusterNodeVector.h"

#include <cstdlib>
#include <new>

CClusterNodeVector_iterator::CClusterNodeVector_iterator(CClusterNodeVector* pVec, int index)
    : m_cur(index), m_pVec(pVec)
{
    if (pVec == 0)
        throw std::bad_alloc();
}

bool CClusterNodeVector_iterator::operator==(const CClusterNodeVector_iterator& other) const
{
    return m_pVec == other.m_pVec && m_cur == other.m_cur;
}

bool CClusterNodeVector_iterator::operator!=(const CClusterNodeVector_iterator& other) const
{
    return !(*this == other);
}

void CClusterNodeVector_iterator::operator++(int)
{
    if (m_cur < m_pVec->m_endIndex)
        ++m_cur;
}

CClusterNodeVector_iterator& CClusterNodeVector_iterator::operator++()
{
    (*this)++;
    return *this;
}

CClusterNode* CClusterNodeVector_iterator::operator*()
{
    // Any position outside the stored elements counts as the end.
    if (m_cur < 0 || m_cur >= m_pVec->m_endIndex)
        throw invalid_index();
    return m_pVec->m_pVec[m_cur];
}

CClusterNodeVector::CClusterNodeVector(int cap) : m_pVec(0), m_cap(cap), m_endIndex(0), m_endIter(this, 0)
{
    if (cap < 1)
        return;
    m_pVec = static_cast<CClusterNode**>(std::malloc(sizeof(CClusterNode*) * static_cast<std::size_t>(cap)));
    if (m_pVec == 0)
        throw std::bad_alloc();
}

CClusterNodeVector::~CClusterNodeVector()
{
    if (m_pVec != 0)
        std::free(m_pVec);
}

void CClusterNodeVector::push_back(CClusterNode* p)
{
    if (m_endIndex >= m_cap)
        throw invalid_index();
    m_pVec[m_endIndex] = p;
    ++m_endIndex;
    m_endIter = CClusterNodeVector_iterator(this, m_endIndex);
}

void CClusterNodeVector::insert(CClusterNodeVector_iterator /*pos*/, CClusterNode* p)
{
    push_back(p);
}

void CClusterNodeVector::insert(CClusterNodeVector_iterator pos, CClusterNodeVector_iterator first,
                                CClusterNodeVector_iterator last)
{
    if (pos != m_endIter)
        throw invalid_index();
    CClusterNodeVector_iterator it = first;
    while (it != last) {
        push_back(*it);
        it++;
    }
}

CClusterNodeVector_iterator CClusterNodeVector::begin()
{
    return CClusterNodeVector_iterator(this, 0);
}

CClusterNodeVector_iterator CClusterNodeVector::end()
{
    return m_endIter;
}

void CClusterNodeVector::Reallocate(int newCap)
{
    if (newCap < 1) {
        // realloc to zero bytes may return null without failing; keep no array.
        if (m_pVec != 0)
            std::free(m_pVec);
        m_pVec = 0;
        m_cap = newCap;
        if (m_endIndex > 0)
            m_endIndex = 0;
        m_endIter = CClusterNodeVector_iterator(this, m_endIndex);
        return;
    }
    void* p = std::realloc(m_pVec, sizeof(CClusterNode*) * static_cast<std::size_t>(newCap));
    if (p == 0)
        throw std::bad_alloc();
    m_pVec = static_cast<CClusterNode**>(p);
    m_cap = newCap;
    // A shrunk array keeps only what still fits.
    if (m_endIndex > m_cap) {
        m_endIndex = m_cap;
        m_endIter = CClusterNodeVector_iterator(this, m_endIndex);
    }
}
