// The block kernels of the library's own distances.
#include "BlockKernel.h"

#include <vector>

#include "ClusterNode.h"
#include "VectorDataFunctions.h"

namespace
{
// Euclidean distance reads the values themselves.
class CEuclideanBlocks : public CBlockKernel
{
public:
    virtual const double* Prepare(CClusterNode* pNode, double*, double* pSpread)
    {
        *pSpread = 0.0;
        return static_cast<const std::vector<double>*>(pNode->GetData())->data();
    }

    virtual void Distances(const double* x, double, const double* blocks, const double*, std::size_t dim, int b0,
                           int b1, double* out) const
    {
        CEuclidean::BlockDistances(x, blocks, dim, b0, b1, out);
    }

    virtual bool FiniteRowsCannotFail() const { return true; }
};

// Correlation distance reads the values less their mean, and the spread of
// each node; it caches both in the distance object, as Distance does.
class CCorrelationBlocks : public CBlockKernel
{
public:
    explicit CCorrelationBlocks(CCorrelation* pCorrelation) : m_pCorrelation(pCorrelation) {}

    virtual const double* Prepare(CClusterNode* pNode, double* pScratch, double* pSpread)
    {
        m_pCorrelation->Centred(pNode, pScratch, pSpread);
        return pScratch;
    }

    virtual void Distances(const double* x, double spread, const double* blocks, const double* spreads, std::size_t dim,
                           int b0, int b1, double* out) const
    {
        CCorrelation::BlockProducts(x, blocks, dim, b0, b1, out);
        const double* s = spreads + 4 * b0;
        for (int k = 0; k < 4 * (b1 - b0); ++k)
            out[k] = CCorrelation::DistanceOf(out[k], spread, s[k]);
    }

    // A row of equal values has no correlation with anything.
    virtual bool FiniteRowsCannotFail() const { return false; }

private:
    CCorrelation* m_pCorrelation;
};
} // namespace

CBlockKernel* CEuclidean::NewBlockKernel()
{
    return new CEuclideanBlocks();
}

CBlockKernel* CCorrelation::NewBlockKernel()
{
    return new CCorrelationBlocks(this);
}
