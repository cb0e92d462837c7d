// The distance kernels of the kNN imputation, compiled once for every
// instruction set the vector library targets (knnimpute.cpp includes this
// file through hwy/foreach_target.h; simd::Pick chooses at run time). Same
// lanes and the same terms in the same order as the portable kernels of
// knnimpute.cpp, hence the same bits. Expects UNREACHABLE from there.

// Per-target include guard: toggled by foreach_target for each target.
#if defined(LUMO_KNN_DISTANCES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMO_KNN_DISTANCES_INL_H_
#undef LUMO_KNN_DISTANCES_INL_H_
#else
#define LUMO_KNN_DISTANCES_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include <hwy/highway.h>

#include "knnimpute.h"
#include "simd/Targets.h"

HWY_BEFORE_NAMESPACE();
LUMO_SIMD_NO_CONTRACT()
namespace lumo_knn
{
namespace HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

// Adds (t - x)^2 where mask is all ones, +0.0 where it is 0 (a bit mask
// leaves the sum's bits unchanged: sums are >= +0.0 or NaN).
template <class D, class V, class M> HWY_INLINE V AddMaskedSquare(D d, V acc, V t, V x, M mask)
{
    const V diff = hn::Sub(t, x);
    const V sq = hn::Mul(diff, diff);
    return hn::Add(acc, hn::And(sq, hn::BitCast(d, mask)));
}

// Distances of every row to the targets of a block (see DistanceKernel in
// knnimpute.cpp): the targets lie across the lanes, at most four vectors of
// them at a time; every lane adds its terms in ascending column order.
HWY_MAYBE_UNUSED void BlockDistances(const double* target, const uint64_t* mask, const uint64_t* bits,
                                     const lumo::CKnnRows& rows, double* dist)
{
    const hn::CappedTag<double, lumo::KNN_BLOCK> d;
    const hn::RebindToUnsigned<decltype(d)> du;
    const size_t N = hn::Lanes(d);
    const int B = lumo::KNN_BLOCK;
    const int K = (int)(B / N); // vectors of targets
    const long32 p = rows.Rows();
    const long32 n = rows.Cols();
    const int words = rows.Words();
    double sums[lumo::KNN_BLOCK];
    for (long32 i = 0; i < p; i++) {
        const double* xi = rows.Values(i);
        const unsigned char* pi = rows.Present(i);
        for (int k0 = 0; k0 < K; k0 += 4) {
            const int count = K - k0 < 4 ? K - k0 : 4;
            auto a0 = hn::Zero(d), a1 = a0, a2 = a0, a3 = a0;
            for (long32 j = 0; j < n; j++) {
                const auto xij = hn::Set(d, xi[j]);
                const auto rowMask = hn::Set(du, -(uint64_t)pi[j]);
                const double* t = target + (size_t)j * B + (size_t)k0 * N;
                const uint64_t* m = mask + (size_t)j * B + (size_t)k0 * N;
                a0 = AddMaskedSquare(d, a0, hn::LoadU(d, t), xij, hn::And(hn::LoadU(du, m), rowMask));
                if (count > 1)
                    a1 = AddMaskedSquare(d, a1, hn::LoadU(d, t + N), xij, hn::And(hn::LoadU(du, m + N), rowMask));
                if (count > 2) {
                    a2 = AddMaskedSquare(d, a2, hn::LoadU(d, t + 2 * N), xij,
                                         hn::And(hn::LoadU(du, m + 2 * N), rowMask));
                    a3 = AddMaskedSquare(d, a3, hn::LoadU(d, t + 3 * N), xij,
                                         hn::And(hn::LoadU(du, m + 3 * N), rowMask));
                }
            }
            double* s = sums + (size_t)k0 * N;
            hn::StoreU(a0, d, s);
            if (count > 1)
                hn::StoreU(a1, d, s + N);
            if (count > 2) {
                hn::StoreU(a2, d, s + 2 * N);
                hn::StoreU(a3, d, s + 3 * N);
            }
        }
        const uint64_t* bi = rows.Bits(i);
        for (int t = 0; t < B; t++) {
            long32 shared = 0;
            for (int w = 0; w < words; w++)
                shared += (long32)hwy::PopCount(bi[w] & bits[(size_t)t * words + w]);
            dist[(size_t)t * p + i] = shared > 0 ? sums[t] / shared : UNREACHABLE;
        }
    }
}

// Sums of squared differences of every row of x to one target x0 and the
// numbers of shared columns (see ColumnKernel in knnimpute.cpp): the rows lie
// across the lanes, each adds its terms in column order.
HWY_MAYBE_UNUSED void ColumnSums(const double* x0, const double* x, long32 p, long32 n, const long32* imiss0,
                                 const long32* imiss, double* sums, long32* shared)
{
    const hn::CappedTag<double, 8> d;
    const hn::Rebind<int32_t, decltype(d)> di;
    const hn::RebindToSigned<decltype(d)> dl;
    const long32 N = (long32)hn::Lanes(d);
    for (long32 j = 0; j < n; j++) {
        if (imiss0[j] > 0)
            continue;
        const double a = x0[j];
        const auto av = hn::Set(d, a);
        const double* xj = x + (size_t)j * p;
        const long32* mj = imiss + (size_t)j * p;
        long32 i = 0;
        for (; i + N <= p; i += N) {
            const auto mv = hn::LoadU(di, mj + i);
            const auto present = hn::Lt(mv, hn::Set(di, 1)); // <= 0
            const auto present64 = hn::RebindMask(d, hn::Lt(hn::PromoteTo(dl, mv), hn::Set(dl, 1)));
            const auto diff = hn::Sub(av, hn::LoadU(d, xj + i));
            const auto sq = hn::Mul(diff, diff);
            const auto s = hn::Add(hn::LoadU(d, sums + i), hn::IfThenElseZero(present64, sq));
            const auto c = hn::Sub(hn::LoadU(di, shared + i), hn::VecFromMask(di, present));
            hn::StoreU(s, d, sums + i);
            hn::StoreU(c, di, shared + i);
        }
        for (; i < p; i++) {
            const bool present = mj[i] <= 0;
            const double diff = a - xj[i];
            const double sq = diff * diff;
            sums[i] = sums[i] + (present ? sq : 0.0);
            shared[i] += present ? 1 : 0;
        }
    }
}

} // namespace HWY_NAMESPACE
} // namespace lumo_knn
HWY_AFTER_NAMESPACE();

#endif
