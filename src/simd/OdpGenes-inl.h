// The ODP kernels' loop over genes in vector lanes, compiled once for every
// instruction set the vector library targets (Odp.cpp includes this file
// through hwy/foreach_target.h; simd::Pick chooses the set at run time).
// Expects COdpTerms and long32 from Odp.cpp.

// Per-target include guard: toggled by foreach_target for each target.
#if defined(LUMO_ODP_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMO_ODP_INL_H_
#undef LUMO_ODP_INL_H_
#else
#define LUMO_ODP_INL_H_
#endif

#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>

HWY_BEFORE_NAMESPACE();
namespace lumo_odp
{
namespace HWY_NAMESPACE
{
namespace hn = hwy::HWY_NAMESPACE;

// Sums of genes [begin, end) over all reference genes, one gene per lane: each
// lane adds its terms in ascending j, so a gene's sum does not depend on its
// neighbours, its lane or the chunk it is in. A partial vector at the end is
// padded with zeros. Reports the pairs of each block of reference genes.
template <bool Alternative, bool LeaveOut> void Genes(const COdpTerms& t, long32 begin, long32 end)
{
    const hn::ScalableTag<double> d;
    const long32 W = (long32)hn::Lanes(d);
    const long32 k = Alternative ? t.k : 0;
    const size_t mi = (size_t)t.mi, mj = (size_t)t.mj;
    // Per vector of genes: xx, the running sums, the reference gene each lane
    // leaves out (-1: none), then 2 xk for each group g.
    std::vector<double> buf((size_t)(k + 3) * W);
    double* bxx = buf.data();
    double* bscr = bxx + W;
    double* bself = bscr + W;
    double* bxk = bself + W;
    for (long32 jb = 0; jb < t.mj; jb += t.jBlock) {
        const long32 je = t.mj - jb < t.jBlock ? t.mj : jb + t.jBlock;
        for (long32 i0 = begin; i0 < end; i0 += W) {
            const long32 lanes = end - i0 < W ? end - i0 : W;
            for (long32 l = 0; l < W; l++) {
                const bool in = l < lanes;
                bxx[l] = in ? t.xx[i0 + l] : 0.0;
                bscr[l] = in ? t.scr[i0 + l] : 0.0;
                bself[l] = in && LeaveOut ? (double)t.self[i0 + l] : -1.0;
                for (long32 g = 0; g < k; g++)
                    bxk[(size_t)g * W + l] = in ? 2.0 * t.xk[i0 + l + g * mi] : 0.0;
            }
            const auto x = hn::LoadU(d, bxx);
            const auto self = hn::LoadU(d, bself);
            auto sum = hn::LoadU(d, bscr);
            for (long32 j = jb; j < je; j++) {
                hn::Vec<decltype(d)> e;
                if (Alternative) {
                    auto s2 = hn::Zero(d);
                    for (long32 g = 0; g < k; g++)
                        s2 = hn::MulAdd(hn::LoadU(d, bxk + (size_t)g * W), hn::Set(d, t.mu[j + g * mj]), s2);
                    e = hn::Mul(hn::Set(d, t.c[j]), hn::Add(hn::Set(d, t.s3[j]), hn::Sub(x, s2)));
                } else {
                    e = hn::Mul(hn::Set(d, t.c[j]), x);
                }
                auto term = hn::Exp(d, e);
                // A left-out reference gene adds w * 0 = +0 to its lane's sum,
                // which leaves the sum as it was.
                if (LeaveOut)
                    term = hn::IfThenZeroElse(hn::Eq(self, hn::Set(d, (double)j)), term);
                sum = hn::MulAdd(hn::Set(d, t.w[j]), term, sum);
            }
            hn::StoreU(sum, d, bscr);
            for (long32 l = 0; l < lanes; l++)
                t.scr[i0 + l] = bscr[l];
        }
        t.progress->Add(t.pairUnits * (double)(end - begin) * (double)(je - jb));
    }
}

// Targets the table of Odp.cpp leaves out (the emulated ones) do not use them.
HWY_MAYBE_UNUSED void GenesAlternative(const COdpTerms& t, long32 begin, long32 end)
{
    Genes<true, false>(t, begin, end);
}
HWY_MAYBE_UNUSED void GenesNull(const COdpTerms& t, long32 begin, long32 end)
{
    Genes<false, false>(t, begin, end);
}
HWY_MAYBE_UNUSED void GenesAlternativeLeaveOut(const COdpTerms& t, long32 begin, long32 end)
{
    Genes<true, true>(t, begin, end);
}
HWY_MAYBE_UNUSED void GenesNullLeaveOut(const COdpTerms& t, long32 begin, long32 end)
{
    Genes<false, true>(t, begin, end);
}

} // namespace HWY_NAMESPACE
} // namespace lumo_odp
HWY_AFTER_NAMESPACE();

#endif
