#ifndef LUMO_ORDERING_H
#define LUMO_ORDERING_H

#include <cstdint>

#include "IProgressThreadCallback.h"

class CClusterNode;
class CMatrix;

// A leaf ordering chooses, at every internal node of a finished cluster tree,
// which child is drawn on the left. It changes the tree only through
// CClusterNode::SwapLeaves, so nodes keep their indices and children; the
// resulting leaf sequence is the one CClusterNode::WalkLeaves visits.
class COrdering : public IProgressThreadCallback
{
public:
    COrdering() {}
    virtual ~COrdering() {}

    // Reorients the tree below pCluster; pDistances is the clustering's
    // distance matrix, indexed by leaf index.
    virtual void OrderLeaves(CClusterNode* pCluster, CMatrix* pDistances) = 0;
    // Bytes the ordering needs beyond the tree and the matrix.
    virtual std::uintmax_t GetMemoryRequirement(CClusterNode* pCluster, CMatrix* pDistances) = 0;

private:
    COrdering(const COrdering&);
    COrdering& operator=(const COrdering&);
};

#endif
