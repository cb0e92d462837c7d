#ifndef LUMO_VECTORDATAFUNCTIONS_H
#define LUMO_VECTORDATAFUNCTIONS_H

#include <cstddef>
#include <vector>

#include "Cluster.h"

class CClusterNode;

// Euclidean distance between the nodes' vectors.
class CEuclidean final : public CDistanceFunction
{
public:
    virtual double Distance(CClusterNode* pNode1, CClusterNode* pNode2);
    virtual unsigned long long GetMemoryRequirement();
    virtual CBlockKernel* NewBlockKernel(); // defined in BlockKernel.cpp

    // Distances from x to rows stored four to a block: row 4b + l of a block
    // b has its value k at blocks[4 * dim * b + 4 * k + l]. Fills
    // out[4 * (b - b0) + l] for the blocks b0 ... b1 - 1, without checks.
    // Every value is bit for bit what Distance returns for rows of length
    // dim > 0: each sum runs over the positions in order; vectors only
    // compute several rows side by side.
    static void BlockDistances(const double* x, const double* blocks, std::size_t dim, int b0, int b1, double* out);
};

// One minus the Pearson correlation of the nodes' vectors (0 ... 2). Each
// node's mean and spread are cached by node index, so the object serves one
// run over n rows (node indices 0 ... 2n - 2).
class CCorrelation final : public CDistanceFunction
{
public:
    // Allocation failure throws std::bad_alloc.
    explicit CCorrelation(int n);
    virtual ~CCorrelation();

    virtual double Distance(CClusterNode* pNode1, CClusterNode* pNode2);
    virtual unsigned long long GetMemoryRequirement();
    virtual CBlockKernel* NewBlockKernel(); // defined in BlockKernel.cpp

    // For evaluating many pairs at a time: the node's values less their mean
    // (caching mean and spread as Distance does) and its spread. pOut has
    // room for the node's values; the node and its data must exist.
    void Centred(CClusterNode* pNode, double* pOut, double* pSpread);
    // Sums of products of centred rows stored four to a block, laid out as
    // for CEuclidean::BlockDistances; each sum runs over the positions in
    // order, as Distance does.
    static void BlockProducts(const double* x, const double* blocks, std::size_t dim, int b0, int b1, double* out);
    // The distance Distance returns for that sum of products and those
    // spreads, or NaN where Distance throws.
    static double DistanceOf(double sum, double sd1, double sd2);

private:
    CCorrelation(const CCorrelation&);
    CCorrelation& operator=(const CCorrelation&);

    double GetCorrelation(CClusterNode* pNode1, CClusterNode* pNode2);
    // The correlation for a sum of products and two spreads, NaN when it is
    // outside [-1, 1] after rounding.
    static double Correlation(double sum, double sd1, double sd2);
    // 1 - r, NaN when outside [0, 2].
    static double FromCorrelation(double r);
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
