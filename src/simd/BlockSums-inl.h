// Sums over rows stored four to a block (see CEuclidean::BlockDistances),
// compiled once for every instruction set the vector library targets
// (VectorDataFunctions.cpp includes this file through hwy/foreach_target.h;
// simd::Pick chooses at run time).
//
// Each lane holds the sum of one row, which adds its terms over the positions
// in order, exactly as the pair-by-pair functions do: the vectors only run
// rows side by side. Products and sums stay separate operations.

// Per-target include guard: toggled by foreach_target for each target.
#if defined(LUMO_BLOCK_SUMS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMO_BLOCK_SUMS_INL_H_
#undef LUMO_BLOCK_SUMS_INL_H_
#else
#define LUMO_BLOCK_SUMS_INL_H_
#endif

#include <cstddef>

#include <hwy/highway.h>

#include "simd/Targets.h"

HWY_BEFORE_NAMESPACE();
LUMO_SIMD_NO_CONTRACT()
namespace lumo_cluster
{
namespace HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

// Adds the term of position k, with x[k] in every lane, to a row sum:
// (x - y)^2 for the Euclidean distance, x * y for the correlation.
template <bool Euclidean, class V> HWY_INLINE V AddTerm(V sum, V xk, V y)
{
    if (Euclidean) {
        V d = hn::Sub(xk, y);
        d = hn::Mul(d, d);
        return hn::Add(sum, d);
    }
    const V p = hn::Mul(xk, y);
    return hn::Add(sum, p);
}

// Four accumulators of up to four lanes: sixteen rows (four blocks) a step
// with four lanes, eight (two blocks) with two; then one block at a time.
template <bool Euclidean> void BlockSums(const double* x, const double* blocks, size_t dim, int b0, int b1, double* out)
{
    const hn::CappedTag<double, 4> d;
    const size_t N = hn::Lanes(d);
    const size_t V = 4 / N;     // vectors per block
    const int G = (int)(4 / V); // blocks per step
    const size_t stride = 4 * dim;
    size_t off[4];
    for (size_t a = 0; a < 4; a++)
        off[a] = (a / V) * stride + (a % V) * N;
    int b = b0;
    for (; b + G <= b1; b += G, out += 4 * G) {
        const double* p = blocks + (size_t)b * stride;
        auto a0 = hn::Zero(d), a1 = a0, a2 = a0, a3 = a0;
        for (size_t k = 0; k < dim; ++k) {
            const auto xk = hn::Set(d, x[k]);
            a0 = AddTerm<Euclidean>(a0, xk, hn::LoadU(d, p + off[0] + 4 * k));
            a1 = AddTerm<Euclidean>(a1, xk, hn::LoadU(d, p + off[1] + 4 * k));
            a2 = AddTerm<Euclidean>(a2, xk, hn::LoadU(d, p + off[2] + 4 * k));
            a3 = AddTerm<Euclidean>(a3, xk, hn::LoadU(d, p + off[3] + 4 * k));
        }
        if (Euclidean) {
            a0 = hn::Sqrt(a0);
            a1 = hn::Sqrt(a1);
            a2 = hn::Sqrt(a2);
            a3 = hn::Sqrt(a3);
        }
        hn::StoreU(a0, d, out + 0 * N);
        hn::StoreU(a1, d, out + 1 * N);
        hn::StoreU(a2, d, out + 2 * N);
        hn::StoreU(a3, d, out + 3 * N);
    }
    for (; b < b1; ++b, out += 4) {
        const double* p = blocks + (size_t)b * stride;
        for (size_t v = 0; v < V; v++) {
            auto a = hn::Zero(d);
            for (size_t k = 0; k < dim; ++k)
                a = AddTerm<Euclidean>(a, hn::Set(d, x[k]), hn::LoadU(d, p + v * N + 4 * k));
            if (Euclidean)
                a = hn::Sqrt(a);
            hn::StoreU(a, d, out + v * N);
        }
    }
}

HWY_MAYBE_UNUSED void EuclideanBlockSums(const double* x, const double* blocks, size_t dim, int b0, int b1, double* out)
{
    BlockSums<true>(x, blocks, dim, b0, b1, out);
}

HWY_MAYBE_UNUSED void ProductBlockSums(const double* x, const double* blocks, size_t dim, int b0, int b1, double* out)
{
    BlockSums<false>(x, blocks, dim, b0, b1, out);
}

} // namespace HWY_NAMESPACE
} // namespace lumo_cluster
HWY_AFTER_NAMESPACE();

#endif
