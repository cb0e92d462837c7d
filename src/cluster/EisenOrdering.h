#ifndef LUMO_EISENORDERING_H
#define LUMO_EISENORDERING_H

#include "Ordering.h"

class CClusterNode;
class CMatrix;

// Weight of a node, computed from the node's own data vector
// (a std::vector<double>: a leaf's row or a merged node's combined vector).
class CWeightFunction
{
public:
    virtual ~CWeightFunction() {}
    virtual double GetWeight(CClusterNode* pNode) = 0;
};

// Mean of the node's data vector (NaN for an empty vector).
class CAverageWeight : public CWeightFunction
{
public:
    virtual double GetWeight(CClusterNode* pNode);
};

// 0-based position of the first maximum of the node's data vector; for
// time-course data this is the time of peak expression.
class CTimeOfMaxExpression : public CWeightFunction
{
public:
    virtual double GetWeight(CClusterNode* pNode);
};

// At every internal node the child with the strictly smaller weight goes to
// the left; equal weights and NaN keep the clustering's orientation.
class CEisenOrdering : public COrdering
{
public:
    // Uses (and owns) a CAverageWeight.
    CEisenOrdering();
    // Uses pWeight without owning it; the caller keeps it alive.
    explicit CEisenOrdering(CWeightFunction* pWeight);
    virtual ~CEisenOrdering();

    virtual void OrderLeaves(CClusterNode* pCluster, CMatrix* pDistances);
    virtual std::uintmax_t GetMemoryRequirement(CClusterNode* pCluster, CMatrix* pDistances);

private:
    CEisenOrdering(const CEisenOrdering&);
    CEisenOrdering& operator=(const CEisenOrdering&);

    // Decides every internal node below pCluster, with an explicit stack so
    // that deep (chain-shaped) trees need no deep call stack.
    void OrderLeavesRecursive(CClusterNode* pCluster, CMatrix* pDistances);

    CWeightFunction* m_pWeight;
    bool m_freeWeight;
    int m_trackerTotal;
    int m_tracker;
};

#endif
