#include "VectorDataFunctions.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <new>

#include "ClusterException.h"
#include "ClusterNode.h"
#include "SafeInt.h"
#include "simd/Simd.h"

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
    for (std::size_t i = 0; i < n; ++i) {
        double d = x[i] - y[i];
        sum += d * d;
    }
    return std::sqrt(sum);
}

unsigned long long CEuclidean::GetMemoryRequirement()
{
    return 88;
}

// Sums over rows stored four to a block: the portable code, two lanes of
// the compiler's own vectors. Each lane holds the sum of one row, which adds
// its terms over the positions in order, exactly as the pair-by-pair
// functions do: the vectors only run rows side by side. Products and sums
// stay separate operations (no fused multiply-add).
namespace
{
typedef double V2 __attribute__((vector_size(16)));

inline V2 Load2(const double* p)
{
    V2 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// Adds the term of the Euclidean distance, (x - y)^2, to the sums. (Vectors
// go by reference: by value, wide vectors would change the calling
// convention between code built with and without AVX.)
struct SSquaredDifference
{
    static const bool kRoot = true; // the distance is the root of the sum
    template <class V> static void Add(V& sums, const V& x, const V& y)
    {
        V d = x - y;
        d = d * d;
        sums = sums + d;
    }
};

// Adds the term of the correlation of centred rows, x * y.
struct SProduct
{
    static const bool kRoot = false;
    template <class V> static void Add(V& sums, const V& x, const V& y)
    {
        V p = x * y;
        sums = sums + p;
    }
};

// Square roots lane by lane, correctly rounded as std::sqrt.
inline void Root2(V2& v)
{
#if defined(__x86_64__) && defined(__GNUC__)
    v = __builtin_ia32_sqrtpd(v);
#else
    v[0] = std::sqrt(v[0]);
    v[1] = std::sqrt(v[1]);
#endif
}

} // namespace

namespace
{
// Two-lane vectors: every 64-bit target has them (SSE2, NEON).
template <class T> void BlockSums2(const double* x, const double* blocks, std::size_t dim, int b0, int b1, double* out)
{
    const std::size_t stride = 4 * dim;
    int b = b0;
    for (; b + 2 <= b1; b += 2, out += 8) {
        const double* p = blocks + static_cast<std::size_t>(b) * stride;
        const double* q = p + stride;
        V2 a0 = {0.0, 0.0}, a1 = a0, a2 = a0, a3 = a0;
        for (std::size_t k = 0; k < dim; ++k) {
            const V2 xk = {x[k], x[k]};
            T::Add(a0, xk, Load2(p + 4 * k));
            T::Add(a1, xk, Load2(p + 4 * k + 2));
            T::Add(a2, xk, Load2(q + 4 * k));
            T::Add(a3, xk, Load2(q + 4 * k + 2));
        }
        if (T::kRoot) {
            Root2(a0);
            Root2(a1);
            Root2(a2);
            Root2(a3);
        }
        __builtin_memcpy(out, &a0, 16);
        __builtin_memcpy(out + 2, &a1, 16);
        __builtin_memcpy(out + 4, &a2, 16);
        __builtin_memcpy(out + 6, &a3, 16);
    }
    for (; b < b1; ++b, out += 4) {
        const double* p = blocks + static_cast<std::size_t>(b) * stride;
        V2 a0 = {0.0, 0.0}, a1 = a0;
        for (std::size_t k = 0; k < dim; ++k) {
            const V2 xk = {x[k], x[k]};
            T::Add(a0, xk, Load2(p + 4 * k));
            T::Add(a1, xk, Load2(p + 4 * k + 2));
        }
        if (T::kRoot) {
            Root2(a0);
            Root2(a1);
        }
        __builtin_memcpy(out, &a0, 16);
        __builtin_memcpy(out + 2, &a1, 16);
    }
}

} // namespace

#if defined(LUMO_HAVE_HWY) && (defined(__x86_64__) || defined(__i386__))
// The same sums with the vector library, compiled for each x86 instruction
// set. Elsewhere the two-lane code above already fills the vectors (NEON),
// and it is compiled as the pair-by-pair loops are, which it must match bit
// for bit whatever the compiler fuses.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/BlockSums-inl.h"
#include <hwy/foreach_target.h>
#include "simd/BlockSums-inl.h"

#define LUMO_BLOCK_SUMS(LEVEL, QUALIFY)                                                                                \
    {                                                                                                                  \
        LEVEL, &lumo_cluster::QUALIFY(EuclideanBlockSums), &lumo_cluster::QUALIFY(ProductBlockSums)                    \
    }
#else
#define LUMO_SIMD_ENTRIES(ENTRY)
#endif

namespace
{
typedef void (*BlockKernel)(const double*, const double*, std::size_t, int, int, double*);

struct CBlockVariant
{
    lumo::simd::Level level;
    BlockKernel euclidean;
    BlockKernel product;
};

// Widest first; the two-lane code above runs everywhere.
const CBlockVariant kBlockVariants[] = {
    LUMO_SIMD_ENTRIES(LUMO_BLOCK_SUMS) // widest first
    {lumo::simd::kPortable, &BlockSums2<SSquaredDifference>, &BlockSums2<SProduct>}};

// The variant of the active instruction-set level.
const CBlockVariant& ActiveBlockVariant()
{
    return kBlockVariants[lumo::simd::Pick(kBlockVariants, (int)(sizeof kBlockVariants / sizeof kBlockVariants[0]))];
}
} // namespace

void CEuclidean::BlockDistances(const double* x, const double* blocks, std::size_t dim, int b0, int b1, double* out)
{
    ActiveBlockVariant().euclidean(x, blocks, dim, b0, b1, out);
}

void CCorrelation::BlockProducts(const double* x, const double* blocks, std::size_t dim, int b0, int b1, double* out)
{
    ActiveBlockVariant().product(x, blocks, dim, b0, b1, out);
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
    double d = FromCorrelation(GetCorrelation(pNode1, pNode2));
    if (std::isnan(d))
        throw new CClusterException(5, "distance was out of the range [0,2]");
    return d;
}

double CCorrelation::FromCorrelation(double r)
{
    double d = 1.0 - r;
    if (d < 0.0 || d > 2.0 || std::isnan(d))
        return std::numeric_limits<double>::quiet_NaN();
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
    double r = Correlation(sum, sd1, sd2);
    if (std::isnan(r))
        throw new CClusterException(5, "correlation value was outside the range (-1, 1)");
    return r;
}

double CCorrelation::Correlation(double sum, double sd1, double sd2)
{
    double r = sum / (sd1 * sd2);
    // Rounding can carry a perfect correlation just past +-1.
    double a = std::fabs(r);
    if (a > 1.0 && a < 1.0000000001)
        r = r < 0.0 ? -1.0 : 1.0;
    if (r < -1.0 || r > 1.0 || std::isnan(r))
        return std::numeric_limits<double>::quiet_NaN();
    return r;
}

double CCorrelation::DistanceOf(double sum, double sd1, double sd2)
{
    return FromCorrelation(Correlation(sum, sd1, sd2));
}

void CCorrelation::Centred(CClusterNode* pNode, double* pOut, double* pSpread)
{
    DataVector* pData = pNode != 0 ? DataOf(pNode) : 0;
    double av, sd;
    GetAverageAndStdDev(pNode, pData, &av, &sd);
    for (std::size_t i = 0; i < pData->size(); ++i)
        pOut[i] = (*pData)[i] - av;
    *pSpread = sd;
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
    if (Computed(pNode) != 0.0) {
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
    for (std::size_t i = 0; i < pData->size(); ++i) {
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
