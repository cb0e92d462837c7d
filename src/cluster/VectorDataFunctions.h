#ifndef LUMO_VECTORDATAFUNCTIONS_H
#define LUMO_VECTORDATAFUNCTIONS_H

#include <cstddef>
#include <vector>

#include "Cluster.h"

class CClusterNode;

// Euclidean distance between the nodes' vectors.
class CEuclidean : public CDistanceFunction
{
public:
    virtual double Distance(CClusterNode* pNode1, CClusterNode* pNode2);
    virtual unsigned long long GetMemoryRequirement();

    // Distances from x to each of ys[0 ... count - 1], all of length dim > 0,
    // without checks. Every value is bit for bit what Distance returns: each
    // sum runs over the positions in order; several sums are interleaved
    // only to keep the processor busy.
    static void Distances(const double* x, const double* const* ys, std::size_t dim, int count, double* out);
};

// One minus the Pearson correlation of the nodes' vectors (0 ... 2). Each
// node's mean and spread are cached by node index, so the object serves one
// run over n rows (node indices 0 ... 2n - 2).
class CCorrelation : public CDistanceFunction
{
public:
    // Allocation failure throws std::bad_alloc.
    explicit CCorrelation(int n);
    virtual ~CCorrelation();

    virtual double Distance(CClusterNode* pNode1, CClusterNode* pNode2);
    virtual unsigned long long GetMemoryRequirement();

private:
    CCorrelation(const CCorrelation&);
    CCorrelation& operator=(const CCorrelation&);

    double GetCorrelation(CClusterNode* pNode1, CClusterNode* pNode2);
    void GetAverageAndStdDev(CClusterNode* pNode, std::vector<double>* pData, double* pAv, double* pStdDev);
    double GetAverage(std::vector<double>* pData);
    double GetStandardDeviation(std::vector<double>* pData, double av);
    double Computed(CClusterNode* pNode);

    char* m_pComputed;
    double* m_pAv;
    double* m_pStdDev;
    unsigned long long m_memReq;
    long long m_iCacheSize; // entries of the three arrays (2n - 1, or 0)
};

// Merged vector = leaf-count weighted mean of the two vectors (the centroid).
class CCentroidLinkage : public CCombineDataFunction
{
public:
    virtual void* CombineData(CClusterNode* pNode1, CClusterNode* pNode2);
    virtual unsigned long long GetMemoryRequirement();
};

// Merged vector = element-wise sum of the two vectors.
class CAddVectors : public CCombineDataFunction
{
public:
    virtual void* CombineData(CClusterNode* pNode1, CClusterNode* pNode2);
    virtual unsigned long long GetMemoryRequirement();
};

#endif
