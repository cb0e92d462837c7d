// One EM iteration of the genes in the lanes of a vector, compiled once for
// every instruction set the vector library targets (EMFit.cpp includes this
// file through hwy/foreach_target.h; simd::Pick chooses at run time). The
// arithmetic of every lane is that of the portable LaneIteration in
// EMFit.cpp, operation for operation. Expects CEMFit, CEMLaneArrays and
// long32 from there.

// Per-target include guard: toggled by foreach_target for each target.
#if defined(LUMO_EM_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMO_EM_LANES_INL_H_
#undef LUMO_EM_LANES_INL_H_
#else
#define LUMO_EM_LANES_INL_H_
#endif

#include <cstddef>

#include <hwy/highway.h>

#include "simd/Targets.h"

HWY_BEFORE_NAMESPACE();
LUMO_SIMD_NO_CONTRACT()
namespace lumo_em
{
namespace HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

// At most eight lanes: the lane counts of CEMLanes are 2, 4 and 8.
typedef hn::CappedTag<double, 8> DLanes;

// Genes a vector of this instruction set holds.
HWY_MAYBE_UNUSED int Lanes()
{
    const DLanes d;
    return (int)hn::Lanes(d);
}

// The fitted values of the data less the intercepts xa, element j summed over
// k in order from 0; four values at a time, independent sums that overlap.
HWY_INLINE void FitValues(const CEMFit& f, const double* xa, double* fit)
{
    const DLanes d;
    const size_t W = hn::Lanes(d);
    const long32 nn = f.n;
    long32 j = 0;
    for (; j + 4 <= nn; j += 4) {
        const double *h0 = f.H[j], *h1 = f.H[j + 1], *h2 = f.H[j + 2], *h3 = f.H[j + 3];
        auto s0 = hn::Zero(d), s1 = s0, s2 = s0, s3 = s0;
        for (long32 k = 0; k < nn; k++) {
            const auto v = hn::LoadU(d, xa + (size_t)k * W);
            s0 = hn::Add(hn::Mul(v, hn::Set(d, h0[k])), s0);
            s1 = hn::Add(hn::Mul(v, hn::Set(d, h1[k])), s1);
            s2 = hn::Add(hn::Mul(v, hn::Set(d, h2[k])), s2);
            s3 = hn::Add(hn::Mul(v, hn::Set(d, h3[k])), s3);
        }
        hn::StoreU(s0, d, fit + (size_t)j * W);
        hn::StoreU(s1, d, fit + (size_t)(j + 1) * W);
        hn::StoreU(s2, d, fit + (size_t)(j + 2) * W);
        hn::StoreU(s3, d, fit + (size_t)(j + 3) * W);
    }
    for (; j < nn; j++) {
        const double* h = f.H[j];
        auto s = hn::Zero(d);
        for (long32 k = 0; k < nn; k++)
            s = hn::Add(hn::Mul(hn::LoadU(d, xa + (size_t)k * W), hn::Set(d, h[k])), s);
        hn::StoreU(s, d, fit + (size_t)j * W);
    }
}

HWY_MAYBE_UNUSED void LaneIteration(const CEMFit& f, const CEMLaneArrays& L)
{
    const DLanes d;
    const size_t W = hn::Lanes(d);
    const long32 nn = f.n, NN = f.N;
    const int* nGrp = f.nGrp;
    const int* idx = f.idx;
    auto at = [W](double* p, long32 i) { return p + (size_t)i * W; };

    // The moments of the previous iteration enter this one.
    for (long32 l = 0; l < NN; l++) {
        hn::StoreU(hn::LoadU(d, at(L.a0, l)), d, at(L.a, l));
        hn::StoreU(hn::LoadU(d, at(L.aa0, l)), d, at(L.aa, l));
    }
    // Fit of the data less the intercepts; position c is the column.
    long32 c = 0;
    for (long32 l = 0; l < NN; l++)
        for (int t = 0; t < nGrp[l]; t++, c++)
            hn::StoreU(hn::Sub(hn::LoadU(d, at(L.x, c)), hn::LoadU(d, at(L.a, l))), d, at(L.xa, c));
    FitValues(f, L.xa, L.fit);
    // Intercept variance.
    auto tau = hn::Zero(d);
    for (long32 l = 0; l < NN; l++)
        tau = hn::Add(hn::LoadU(d, at(L.aa, l)), tau);
    tau = hn::Div(tau, hn::Set(d, (double)NN));
    // Residual variance; position c is the column.
    auto sig = hn::Zero(d);
    c = 0;
    for (long32 l = 0; l < NN; l++) {
        const auto al = hn::LoadU(d, at(L.a, l)), aal = hn::LoadU(d, at(L.aa, l));
        for (int t = 0; t < nGrp[l]; t++, c++) {
            const auto r = hn::Sub(hn::LoadU(d, at(L.x, c)), hn::LoadU(d, at(L.fit, c)));
            const auto cross = hn::Mul(hn::Mul(r, hn::Set(d, -2.0)), al);
            sig = hn::Add(hn::Add(hn::Add(hn::Mul(r, r), cross), aal), sig);
        }
    }
    sig = hn::Div(sig, hn::Set(d, (double)nn));
    // Intercept means (through idx) and second moments.
    c = 0;
    for (long32 l = 0; l < NN; l++) {
        auto s = hn::Zero(d);
        for (int t = 0; t < nGrp[l]; t++, c++)
            s = hn::Add(hn::Sub(hn::LoadU(d, at(L.x, idx[c])), hn::LoadU(d, at(L.fit, idx[c]))), s);
        const auto w = hn::Mul(hn::Set(d, (double)nGrp[l]), tau);
        const auto shrink = hn::Div(w, hn::Add(w, sig));
        const auto mean = hn::Mul(shrink, hn::Div(s, hn::Set(d, (double)nGrp[l])));
        hn::StoreU(mean, d, at(L.a0, l));
        hn::StoreU(hn::Add(hn::Mul(tau, hn::Sub(hn::Set(d, 1.0), shrink)), hn::Mul(mean, mean)), d, at(L.aa0, l));
    }
    hn::StoreU(tau, d, L.tau);
    hn::StoreU(sig, d, L.sig);
}

} // namespace HWY_NAMESPACE
} // namespace lumo_em
HWY_AFTER_NAMESPACE();

#endif
