#ifndef LUMO_CLUSTERNODEVECTOR_H
#define LUMO_CLUSTERNODEVECTOR_H

#include "ClusterException.h"

class CClusterNode;
class CClusterNodeVector;

// Forward iterator over a CClusterNodeVector. Two iterators are equal when
// they iterate the same vector at the same position.
class CClusterNodeVector_iterator
{
public:
    // A null vector throws std::bad_alloc.
    CClusterNodeVector_iterator(CClusterNodeVector* pVec, int index);

    bool operator==(const CClusterNodeVector_iterator& other) const;
    bool operator!=(const CClusterNodeVector_iterator& other) const;
    // Advances by one; an iterator at the end stays there.
    void operator++(int);
    CClusterNodeVector_iterator& operator++();
    // Throws invalid_index at the end.
    CClusterNode* operator*();

private:
    int m_cur;
    CClusterNodeVector* m_pVec;
};

// Fixed-capacity array of node pointers: created with the exact capacity it
// will need, it never grows on its own, and appending to a full vector throws
// invalid_index.
class CClusterNodeVector
{
    friend class CClusterNodeVector_iterator;

public:
    // A capacity below 1 allocates nothing. Allocation failure throws std::bad_alloc.
    explicit CClusterNodeVector(int cap);
    ~CClusterNodeVector();

    void push_back(CClusterNode* p);
    // Appends p; pos is not consulted.
    void insert(CClusterNodeVector_iterator pos, CClusterNode* p);
    // Appends [first, last); only pos == end() is supported (invalid_index otherwise).
    void insert(CClusterNodeVector_iterator pos, CClusterNodeVector_iterator first, CClusterNodeVector_iterator last);

    int size() const { return m_endIndex; }
    int capacity() const { return m_cap; }
    CClusterNodeVector_iterator begin();
    CClusterNodeVector_iterator end();

protected:
    // Resizes the array to newCap pointers; std::bad_alloc on failure.
    void Reallocate(int newCap);

private:
    CClusterNodeVector(const CClusterNodeVector&);
    CClusterNodeVector& operator=(const CClusterNodeVector&);

    CClusterNode** m_pVec;
    int m_cap;
    int m_endIndex;
    CClusterNodeVector_iterator m_endIter;
};

#endif
