#include "VectorDataFunctions.h"

#include <cmath>
#include <cstddef>
#include <new>

#include "ClusterException.h"
#include "ClusterNode.h"
#include "SafeInt.h"

typedef std::vector<double> DataVector;

static DataVector* DataOf(CClusterNode* pNode)
{
    return static_cast<DataVector*>(pNode->GetData());
}

// Number of input rows below a node, a leaf counting as one.
static double RowsBelow(CClusterNode* pNode)
{
    return pNode->IsLeaf() ? 1.0 : static_cast<double>(pNode->GetLeafCount());
}

// The data vectors of two nodes about to be compared or merged: both nodes
// and both vectors must exist and have the same length (and, when
// requireNonEmpty, at least one element).
static void GetPairedData(CClusterNode* pNode1, CClusterNode* pNode2, bool requireNonEmpty, DataVector** ppData1,
                          DataVector** ppData2)
{
    if (pNode1 == 0)
        throw new CClusterException(4, "pNode1 is NULL");
    if (pNode2 == 0)
        throw new CClusterException(4, "pNode2 is NULL");
    DataVector* pData1 = DataOf(pNode1);
    DataVector* pData2 = DataOf(pNode2);
    if (pData1 == 0)
        throw new CClusterException(4, "pData1 is NULL");
    if (pData2 == 0)
        throw new CClusterException(4, "pData2 is NULL");
    if (requireNonEmpty && pData1->size() == 0)
        throw new CClusterException(5, "pData1->size() == 0");
    if (pData1->size() != pData2->size())
        throw new CClusterException(5, "pData1->size() != pData2->size()");
    *ppData1 = pData1;
    *ppData2 = pData2;
}

// A new vector holding op(x[i], y[i]); released again if filling it fails.
template <class Op> static DataVector* Elementwise(const DataVector& x, const DataVector& y, Op op)
{
    DataVector* pNew = new DataVector();
    try {
        pNew->reserve(x.size());
        for (std::size_t i = 0; i < x.size(); ++i)
            pNew->push_back(op(x[i], y[i]));
    } catch (...) {
        delete pNew;
        throw;
    }
    return pNew;
}

// ---------------------------------------------------------------- CEuclidean

double CEuclidean::Distance(CClusterNode* pNode1, CClusterNode* pNode2)
{
    DataVector* pData1;
    DataVector* pData2;
    GetPairedData(pNode1, pNode2, true, &pData1, &pData2);
    const double* x = pData1->data();
    const double* y = pData2->data();
    const std::size_t n = pData1->size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
    {
        double d = x[i] - y[i];
        sum += d * d;
    }
    return std::sqrt(sum);
}

unsigned long long CEuclidean::GetMemoryRequirement()
{
    return 88;
}

void CEuclidean::Distances(const double* x, const double* const* ys, std::size_t dim, int count, double* out)
{
    int k = 0;
    for (; k + 4 <= count; k += 4)
    {
        const double* y0 = ys[k];
        const double* y1 = ys[k + 1];
        const double* y2 = ys[k + 2];
        const double* y3 = ys[k + 3];
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (std::size_t i = 0; i < dim; ++i)
        {
            const double xi = x[i];
            double d0 = xi - y0[i];
            double d1 = xi - y1[i];
            double d2 = xi - y2[i];
            double d3 = xi - y3[i];
            s0 += d0 * d0;
            s1 += d1 * d1;
            s2 += d2 * d2;
            s3 += d3 * d3;
        }
        out[k] = std::sqrt(s0);
        out[k + 1] = std::sqrt(s1);
        out[k + 2] = std::sqrt(s2);
        out[k + 3] = std::sqrt(s3);
    }
    for (; k < count; ++k)
    {
        const double* y = ys[k];
        double sum = 0.0;
        for (std::size_t i = 0; i < dim; ++i)
        {
            double d = x[i] - y[i];
            sum += d * d;
        }
        out[k] = std::sqrt(sum);
    }
}

// ---------------------------------------------------------------- CCorrelation

CCorrelation::CCorrelation(int n) : m_pComputed(0), m_pAv(0), m_pStdDev(0), m_memReq(0), m_iCacheSize(0)
{
    long long size = 2LL * n - 1;
    if (size < 0)
        size = 0;
    m_iCacheSize = size;
    m_memReq = CSafeInt<unsigned long long>::Multiply(17, static_cast<unsigned long long>(size));
    if (size == 0)
        return;
    try {
        m_pComputed = new char[static_cast<std::size_t>(size)]();
        m_pAv = new double[static_cast<std::size_t>(size)];
        m_pStdDev = new double[static_cast<std::size_t>(size)];
    } catch (...) {
        delete[] m_pComputed;
        delete[] m_pAv;
        throw;
    }
}

CCorrelation::~CCorrelation()
{
    delete[] m_pComputed;
    delete[] m_pAv;
    delete[] m_pStdDev;
}

unsigned long long CCorrelation::GetMemoryRequirement()
{
    return m_memReq;
}

double CCorrelation::Distance(CClusterNode* pNode1, CClusterNode* pNode2)
{
    double r = GetCorrelation(pNode1, pNode2);
    double d = 1.0 - r;
    if (d < 0.0 || d > 2.0 || std::isnan(d))
        throw new CClusterException(5, "distance was out of the range [0,2]");
    return d;
}

double CCorrelation::GetCorrelation(CClusterNode* pNode1, CClusterNode* pNode2)
{
    DataVector* pData1;
    DataVector* pData2;
    GetPairedData(pNode1, pNode2, false, &pData1, &pData2);
    double av1, sd1, av2, sd2;
    GetAverageAndStdDev(pNode1, pData1, &av1, &sd1);
    GetAverageAndStdDev(pNode2, pData2, &av2, &sd2);
    const double* x = pData1->data();
    const double* y = pData2->data();
    const std::size_t n = pData1->size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        sum += (x[i] - av1) * (y[i] - av2);
    double r = sum / (sd1 * sd2);
    // Rounding can carry a perfect correlation just past +-1.
    double a = std::fabs(r);
    if (a > 1.0 && a < 1.0000000001)
        r = r < 0.0 ? -1.0 : 1.0;
    if (r < -1.0 || r > 1.0 || std::isnan(r))
        throw new CClusterException(5, "correlation value was outside the range (-1, 1)");
    return r;
}

void CCorrelation::GetAverageAndStdDev(CClusterNode* pNode, DataVector* pData, double* pAv, double* pStdDev)
{
    if (pData == 0)
        throw new CClusterException(4, "pData is NULL");
    if (pNode == 0)
        throw new CClusterException(4, "pNode is NULL");
    int k = pNode->GetIndex();
    // The cache has one entry per node index of a run over n rows; a node
    // outside it would write past the arrays.
    if (k < 0 || static_cast<long long>(k) >= m_iCacheSize)
        throw new CClusterException(5, "node index out of range of the correlation cache");
    if (Computed(pNode) != 0.0)
    {
        *pAv = m_pAv[k];
        *pStdDev = m_pStdDev[k];
        return;
    }
    double av = GetAverage(pData);
    double sd = GetStandardDeviation(pData, av);
    m_pAv[k] = av;
    m_pStdDev[k] = sd;
    m_pComputed[k] = 1;
    *pAv = av;
    *pStdDev = sd;
}

double CCorrelation::GetAverage(DataVector* pData)
{
    if (pData == 0)
        throw new CClusterException(4, "pData is NULL");
    double sum = 0.0;
    for (std::size_t i = 0; i < pData->size(); ++i)
        sum += (*pData)[i];
    return sum / static_cast<double>(pData->size());
}

double CCorrelation::GetStandardDeviation(DataVector* pData, double av)
{
    if (pData == 0)
        throw new CClusterException(4, "pData is NULL");
    double sum = 0.0;
    for (std::size_t i = 0; i < pData->size(); ++i)
    {
        double d = (*pData)[i] - av;
        sum += d * d;
    }
    return std::sqrt(sum);
}

double CCorrelation::Computed(CClusterNode* pNode)
{
    int k = pNode->GetIndex();
    if (k < 0 || static_cast<long long>(k) >= m_iCacheSize)
        return 0.0;
    return m_pComputed[k] != 0 ? 1.0 : 0.0;
}

// ---------------------------------------------------------------- CCentroidLinkage

void* CCentroidLinkage::CombineData(CClusterNode* pNode1, CClusterNode* pNode2)
{
    DataVector* pData1;
    DataVector* pData2;
    GetPairedData(pNode1, pNode2, false, &pData1, &pData2);
    double n1 = RowsBelow(pNode1);
    double n2 = RowsBelow(pNode2);
    double n = n1 + n2;
    return Elementwise(*pData1, *pData2, [n1, n2, n](double x, double y) { return (n1 * x + n2 * y) / n; });
}

unsigned long long CCentroidLinkage::GetMemoryRequirement()
{
    return 88;
}

// ---------------------------------------------------------------- CAddVectors

void* CAddVectors::CombineData(CClusterNode* pNode1, CClusterNode* pNode2)
{
    DataVector* pData1;
    DataVector* pData2;
    GetPairedData(pNode1, pNode2, false, &pData1, &pData2);
    return Elementwise(*pData1, *pData2, [](double x, double y) { return x + y; });
}

unsigned long long CAddVectors::GetMemoryRequirement()
{
    return 88;
}
