// The ODP kernels: sums of Gaussian likelihood kernels over reference genes,
// and the bootstrap null statistics from resampled residuals.

#include "lumo.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "simd/Simd.h"
#include "threads/WorkerPool.h"

namespace
{
enum OdpModel
{
    kAlternative, // odp1, odp3: group means and sigma[j]
    kNullByGene,  // odp2: sigma[nii[j]]
    kNull         // odp4: sigma[j]
};

const double kOdpEntryUnits = 1834.0;
const double kOdpGeneUnits = 10.0;
const double kOdpReferenceUnits = 367.0;
// Most (gene, reference gene) pairs between two progress reports (and stop checks).
const long32 kOdpReportEvery = 200000;
// Genes per work item of the pool. Fixed, so that the items, and with them
// every result, do not depend on the thread count.
const long32 kOdpGeneChunk = 256;

double OdpUnits(long32 mi, long32 mj, double pairUnits)
{
    return kOdpEntryUnits + kOdpGeneUnits * (double)mi + kOdpReferenceUnits * (double)mj +
           pairUnits * (double)mi * (double)mj;
}

// What one kernel call hands to the loops over its genes: the inputs, the
// per-reference-gene factors (weight w, scale c, and for the alternative
// model S3), the output and the shared progress.
struct COdpTerms
{
    long32 mi, mj, k;
    const double* xx;
    const double* xk;
    const double* mu;
    const double* w;
    const double* c;
    const double* s3;
    double* scr;
    // Reference gene left out of each gene's sum (self[i] for gene i), or
    // null when every gene sums over all reference genes.
    const int* self;
    double pairUnits;
    long32 jBlock; // reference genes per progress report
    lumo::CSharedProgress* progress;
};

// The scalar path: one gene at a time with the C library's exp. The same
// frame as the vector path (simd/OdpGenes-inl.h): blocks of reference genes,
// each gene's terms added in ascending j.
template <OdpModel Model> void OdpGenesScalar(const COdpTerms& t, long32 begin, long32 end)
{
    const long32 k = Model == kAlternative ? t.k : 0;
    const size_t mi = (size_t)t.mi, mj = (size_t)t.mj;
    for (long32 jb = 0; jb < t.mj; jb += t.jBlock) {
        const long32 je = t.mj - jb < t.jBlock ? t.mj : jb + t.jBlock;
        for (long32 i = begin; i < end; i++) {
            double sum = t.scr[i];
            const long32 skip = t.self != 0 ? t.self[i] : -1;
            for (long32 j = jb; j < je; j++) {
                if (j == skip)
                    continue;
                double e;
                if (Model == kAlternative) {
                    double s2 = 0.0;
                    for (long32 g = 0; g < k; g++)
                        s2 = s2 + (2.0 * t.xk[i + g * mi]) * t.mu[j + g * mj];
                    e = t.c[j] * (t.s3[j] + (t.xx[i] - s2));
                } else {
                    e = t.c[j] * t.xx[i];
                }
                sum = t.w[j] * std::exp(e) + sum;
            }
            t.scr[i] = sum;
        }
        t.progress->Add(t.pairUnits * (double)(end - begin) * (double)(je - jb));
    }
}
} // namespace

namespace
{
typedef void OdpGenesFn(const COdpTerms&, long32, long32);

// The four loops over genes compiled for one instruction-set level.
struct COdpGenesSet
{
    lumo::simd::Level level;
    OdpGenesFn* alternative;
    OdpGenesFn* null;
    OdpGenesFn* alternativeLeaveOut;
    OdpGenesFn* nullLeaveOut;
};
} // namespace

#ifdef LUMO_HAVE_HWY
// The vector path, compiled for every instruction set of the vector library.
// Only its headers are used: the set is chosen through lumo::simd, from the
// processor's feature bits, when a kernel first runs. Nothing of it runs at
// load, and no part of the vector library's shared object (whose load-time
// set-up reads a timer valgrind cannot emulate) is linked.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/OdpGenes-inl.h"
#include <hwy/foreach_target.h>
#include "simd/OdpGenes-inl.h"

#include "simd/Targets.h"

#define LUMO_ODP_GENES(LEVEL, QUALIFY)                                                                                 \
    {                                                                                                                  \
        LEVEL, &lumo_odp::QUALIFY(GenesAlternative), &lumo_odp::QUALIFY(GenesNull),                                    \
            &lumo_odp::QUALIFY(GenesAlternativeLeaveOut), &lumo_odp::QUALIFY(GenesNullLeaveOut)                        \
    }
#else
#define LUMO_SIMD_ENTRIES(ENTRY)
#endif // LUMO_HAVE_HWY

namespace
{
// Widest first; the last entry, the C library's exp one gene at a time, runs
// everywhere. On x86 every instruction set of the vector library has its
// entry; elsewhere the vectors of the compiler's baseline (NEON on arm64).
const COdpGenesSet kOdpGenes[] = {LUMO_SIMD_ENTRIES(LUMO_ODP_GENES) // widest first
                                  {lumo::simd::kPortable, &OdpGenesScalar<kAlternative>, &OdpGenesScalar<kNull>,
                                   &OdpGenesScalar<kAlternative>, &OdpGenesScalar<kNull>}};

const COdpGenesSet& ActiveOdpGenes()
{
    return kOdpGenes[lumo::simd::Pick(kOdpGenes, (int)(sizeof kOdpGenes / sizeof kOdpGenes[0]))];
}

template <OdpModel Model> OdpGenesFn* OdpGenesFor(bool leaveOut)
{
    const COdpGenesSet& set = ActiveOdpGenes();
    if (Model == kAlternative)
        return leaveOut ? set.alternativeLeaveOut : set.alternative;
    return leaveOut ? set.nullLeaveOut : set.null;
}

// The frame shared by the four kernels: entry report, per-reference-gene
// factors computed once per j, then the genes in chunks of kOdpGeneChunk,
// spread over the pool when there is more than one chunk.
template <OdpModel Model>
void OdpSum(long32 mi, long32 mj, long32 n, long32 k, const double* xx, const double* xk, const double* mu,
            const double* sigma, const int* nGrp, const int* nii, double* scr, update_progress_routine* callback,
            void* callbackArg, double* currentStart, const double* maxStart, double pairUnits, lumo::CWorkerPool& pool,
            const int* self = 0)
{
    const double max = *maxStart;
    double current = *currentStart + kOdpEntryUnits;
    current = (double)mi * kOdpGeneUnits + current;
    do_callback(callback, callbackArg, max, current, kPhaseOdpObserved);

    for (long32 i = 0; i < mi; i++)
        scr[i] = 0.0;

    if (mi > 0 && mj > 0) {
        std::vector<double> w(mj), c(mj), s3(Model == kAlternative ? mj : 0);
        for (long32 j = 0; j < mj; j++) {
            const double s = Model == kNullByGene ? sigma[nii[j]] : sigma[j];
            w[j] = Model == kAlternative ? std::pow(1.0 / s, (double)n) : std::pow(s, -(double)n);
            c[j] = -0.5 / (s * s);
            if (Model == kAlternative) {
                double sum = 0.0;
                for (long32 g = 0; g < k; g++) {
                    const double muj = mu[j + (size_t)g * mj];
                    sum = sum + muj * ((double)nGrp[g] * muj);
                }
                s3[j] = sum;
            }
        }
        lumo::CSharedProgress progress(callback, callbackArg, max, current, kPhaseOdpNull);
        const long32 chunk = mi < kOdpGeneChunk ? mi : kOdpGeneChunk;
        const long32 jBlock = kOdpReportEvery / chunk;
        const long32 reportEvery = jBlock < 1 ? 1 : jBlock;
        const COdpTerms terms = {mi,       mj,        k,   xx,   xk,        mu,          w.data(),
                                 c.data(), s3.data(), scr, self, pairUnits, reportEvery, &progress};
        OdpGenesFn* genes = OdpGenesFor<Model>(self != 0);
        if (pool.Threads() > 1 && mi > chunk) {
            pool.Run(
                mi, chunk, [&](int64_t b, int64_t e, int) { genes(terms, (long32)b, (long32)e); }, &progress);
        } else {
            for (long32 b = 0; b < mi; b += chunk)
                genes(terms, b, mi - b < chunk ? mi : b + chunk);
        }
        current = progress.Current();
    }
    *currentStart = kOdpReferenceUnits * (double)mj + current;
}

const double kOdp1PairUnits = 445.0;
const double kOdp2PairUnits = 386.0;
const double kOdp3PairUnits = 445.0;
const double kOdp4PairUnits = 373.0;
} // namespace

namespace lumo
{
const char* OdpInstructionSet()
{
    return simd::LevelName(ActiveOdpGenes().level);
}
} // namespace lumo

void odp1(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool& pool)
{
    OdpSum<kAlternative>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart, maxStart,
                         kOdp1PairUnits, pool);
}

void odp2(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool& pool)
{
    OdpSum<kNullByGene>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart, maxStart,
                        kOdp2PairUnits, pool);
}

void odp3(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool& pool)
{
    OdpSum<kAlternative>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart, maxStart,
                         kOdp3PairUnits, pool);
}

void odp4(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool& pool)
{
    OdpSum<kNull>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart, maxStart,
                  kOdp4PairUnits, pool);
}

void odp3x(long32 mi, long32 mj, long32 n, long32 k, const double* xx, const double* xk, const double* mu,
           const double* sigma, const int* nGrp, const int* self, double* scr, update_progress_routine* callback,
           void* callbackArg, double* currentStart, double* maxStart, lumo::CWorkerPool& pool)
{
    OdpSum<kAlternative>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, 0, scr, callback, callbackArg, currentStart, maxStart,
                         kOdp3PairUnits, pool, self);
}

void odp4x(long32 mi, long32 mj, long32 n, const double* xx, const double* sigma, const int* self, double* scr,
           update_progress_routine* callback, void* callbackArg, double* currentStart, double* maxStart,
           lumo::CWorkerPool& pool)
{
    OdpSum<kNull>(mi, mj, n, 0, xx, 0, 0, sigma, 0, 0, scr, callback, callbackArg, currentStart, maxStart,
                  kOdp4PairUnits, pool, self);
}

double odp1t(long32 mi, long32 mj, long32, long32)
{
    return OdpUnits(mi, mj, kOdp1PairUnits);
}
double odp2t(long32 mi, long32 mj, long32, long32)
{
    return OdpUnits(mi, mj, kOdp2PairUnits);
}
double odp3t(long32 mi, long32 mj, long32, long32)
{
    return OdpUnits(mi, mj, kOdp3PairUnits);
}
double odp4t(long32 mi, long32 mj, long32, long32)
{
    return OdpUnits(mi, mj, kOdp4PairUnits);
}

namespace
{
// One null gene of one bootstrap iteration: resample whole array columns,
// centre on the resampled mean when there are groups to compare, rescale to
// the fitted sd of the gene it stands for, and form the sufficient
// statistics. Everything here belongs to gene i alone.
struct CNullResample
{
    long32 m0, n, k, B;
    const double* res;
    const double* sigma;
    const int* vv;
    const int* ID;
    const int* nii;
    double* dat0;
    double* xx;
    double* xk;
    double* mu0;
    double* sigmasc;

    void Gene(long32 h, long32 i) const
    {
        const size_t rows = (size_t)m0;
        xx[i] = 0.0;
        mu0[i] = 0.0;
        sigmasc[i] = 0.0;
        for (long32 j = 0; j < n; j++) {
            const double v = res[i + rows * (size_t)vv[h + (size_t)j * B]];
            dat0[i + j * rows] = v;
            mu0[i] = v / (double)n + mu0[i];
        }
        if (k > 1) {
            for (long32 j = 0; j < n; j++)
                dat0[i + j * rows] = dat0[i + j * rows] - mu0[i];
        }
        for (long32 j = 0; j < n; j++) {
            const double d = k > 1 ? dat0[i + j * rows] : dat0[i + j * rows] - mu0[i];
            sigmasc[i] = sigmasc[i] + d * d;
        }
        sigmasc[i] = std::sqrt(sigmasc[i] / (double)(n - 1));
        const double target = sigma[nii[i]];
        for (long32 j = 0; j < n; j++)
            dat0[i + j * rows] = (dat0[i + j * rows] * target) / sigmasc[i];
        for (long32 j = 0; j < n; j++) {
            const double d = dat0[i + j * rows];
            xx[i] = xx[i] + d * d;
        }
        for (long32 g = 0; g < k; g++) {
            double sum = 0.0;
            for (long32 j = 0; j < n; j++)
                sum = sum + (double)ID[j + (size_t)g * n] * dat0[i + j * rows];
            xk[i + g * rows] = sum;
        }
    }
};
} // namespace

void nullODP(long32 m, long32 m0, long32 n, long32 k, long32 B, double* res, double* mu, double* sigma, double* sigma0,
             int* vv, int* ID, int* nii, int* nGrp, double* scr, update_progress_routine* callback, void* callbackArg,
             double* currentStart, double* maxStart, lumo::CWorkerPool& pool)
{
    double max = maxStart != 0 ? *maxStart : (double)m0 * (double)(m + m0) * (double)B;
    double current = currentStart != 0 ? *currentStart : 0.0;

    // Work arrays for all B iterations; the owners release them also when a
    // stop request unwinds this kernel.
    CDoubleVector num(m), den(m), dat0(m * n), xx(m), xk(m * k), mu0(m0), sigmasc(m0);
    const CNullResample resample = {m0, n, k, B, res, sigma, vv, ID, nii, dat0, xx, xk, mu0, sigmasc};
    const bool spread = pool.Threads() > 1 && m0 > kOdpGeneChunk;

    for (long32 h = 0; h < B; h++) {
        if (spread) {
            pool.Run(m0, kOdpGeneChunk, [&](int64_t b, int64_t e, int) {
                for (int64_t i = b; i < e; i++)
                    resample.Gene(h, (long32)i);
            });
        } else {
            for (long32 i = 0; i < m0; i++)
                resample.Gene(h, i);
        }
        // Each kernel reports at entry, so even an iteration without genes
        // is a stop check.
        odp3(m0, m, n, k, xx, xk, mu, sigma, nGrp, nii, num, callback, callbackArg, &current, &max, pool);
        odp4(m0, m0, n, k, xx, xk, mu, sigma0, nGrp, nii, den, callback, callbackArg, &current, &max, pool);
        for (long32 i = 0; i < m0; i++)
            scr[(size_t)h * (size_t)m0 + i] = num[i] / den[i];
    }

    if (currentStart != 0)
        *currentStart = current;
}
