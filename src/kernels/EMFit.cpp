// The random-intercept fit of the time-course genes by EM, and the F
// statistics of two such fits.

#include "lumo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "RowArrays.h"
#include "simd/Simd.h"
#include "threads/WorkerPool.h"

using lumo::CopyColumnMajor;
using lumo::ZeroRows;

namespace
{
// Work between two stop checks of one worker inside the EM: the EM reports no
// progress of its own, so the checks only let a stop request through.
const double kEMCheckWork = 1 << 20;
// Iterations every listed gene may take in the first pass; each further pass
// allows kEMLimitGrowth times as many.
const long32 kEMFirstLimit = 64;
const long32 kEMLimitGrowth = 8;

// What every gene of one fit shares, and the fit's arrays (rows per gene).
struct CEMFit
{
    double** dat;
    double** H;
    const int* idx;
    const int* nGrp;
    double eps;
    double** fit;
    double** alpha;
    double** datC;
    double* gm;
    double** A0;
    double** AA0;
    double** AA;
    double* lik0;
    double* lik;
    double* tau;
    double* sig;
    long32 m, n, N;
    double halfN, halfM;  // factors of the log-likelihood proxy
    double iterationWork; // work of one gene's iteration, for the stop checks
};

// Starting values of gene i: its mean, the centred data and each
// individual's mean of it as the intercepts entering the first iteration.
void StartGene(const CEMFit& f, long32 i)
{
    const long32 nn = f.n, NN = f.N;
    const double* x = f.dat[i];
    f.gm[i] = 0.0;
    f.lik0[i] = 0.0;
    f.lik[i] = 1.0;
    for (long32 l = 0; l < NN; l++)
        f.A0[i][l] = 0.0;
    for (long32 j = 0; j < nn; j++)
        f.gm[i] = x[j] + f.gm[i];
    f.gm[i] = f.gm[i] / (double)nn;
    for (long32 j = 0; j < nn; j++)
        f.datC[i][j] = x[j] - f.gm[i];
    long32 c = 0;
    for (long32 l = 0; l < NN; l++) {
        for (int t = 0; t < f.nGrp[l]; t++, c++)
            f.A0[i][l] = f.datC[i][f.idx[c]] + f.A0[i][l];
        f.A0[i][l] = f.A0[i][l] / (double)f.nGrp[l];
        f.AA0[i][l] = f.A0[i][l] * f.A0[i][l];
        f.alpha[i][l] = f.A0[i][l];
        f.AA[i][l] = f.AA0[i][l];
    }
}

// Genes iterated side by side, one per lane of a vector: each lane does the
// arithmetic of one gene's iteration in the same order as a gene on its own
// would, so a gene's results depend neither on its neighbours nor on the
// number of lanes; the lanes only give the processor independent work while
// one gene's long chain of dependent operations is in flight. The number of
// lanes W is that of the vectors of the active instruction-set level (2 for
// the portable code and 128-bit vectors, 4 with AVX2, 8 with AVX-512; see
// EMLaneWidth). Multiplications and additions stay separate operations (no
// fused multiply-add, which rounds differently), as in scalar code.
//
// The arrays of the genes in the lanes, W doubles per element: lane w of
// element c of x is x[c * W + w].
struct CEMLaneArrays
{
    double *x, *xa, *fit, *a, *aa, *a0, *aa0;
    double *tau, *sig;
};

// One EM iteration of every lane.
typedef void LaneIterationFn(const CEMFit& f, const CEMLaneArrays& L);
} // namespace

#ifdef LUMO_HAVE_HWY
// The iteration with the vector library, compiled for each instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/EMLanes-inl.h"
#include <hwy/foreach_target.h>
#include "simd/EMLanes-inl.h"

#define LUMO_EM_LANES(LEVEL, QUALIFY)                                                                                  \
    {                                                                                                                  \
        LEVEL, &lumo_em::QUALIFY(Lanes), &lumo_em::QUALIFY(LaneIteration)                                              \
    }
#else
#define LUMO_SIMD_ENTRIES(ENTRY)
#endif

namespace
{
template <int W> struct CEMLanes
{
    std::vector<double> store; // the arrays of v, W doubles per element
    CEMLaneArrays v;
    long32 gene[W]; // -1: the lane holds a copy of another and is idle
    long32 done[W];
    double lik[W], lik0[W];
    double work; // since the worker's last stop check

    CEMLanes(long32 n, long32 N) : store((size_t)(3 * (n + 1) + 4 * (N + 1) + 2) * W, 0.0), work(0.0)
    {
        double* p = store.data();
        v.x = p;
        v.xa = v.x + (size_t)(n + 1) * W;
        v.fit = v.xa + (size_t)(n + 1) * W;
        v.a = v.fit + (size_t)(n + 1) * W;
        v.aa = v.a + (size_t)(N + 1) * W;
        v.a0 = v.aa + (size_t)(N + 1) * W;
        v.aa0 = v.a0 + (size_t)(N + 1) * W;
        v.tau = v.aa0 + (size_t)(N + 1) * W;
        v.sig = v.tau + W;
        for (int w = 0; w < W; w++) {
            gene[w] = -1;
            done[w] = 0;
            lik[w] = lik0[w] = 0.0;
        }
    }

private:
    CEMLanes(const CEMLanes&);
    CEMLanes& operator=(const CEMLanes&);
};

#if defined(__GNUC__) && !defined(__clang__)
#define LUMO_NO_CONTRACT __attribute__((optimize("fp-contract=off")))
#else
#define LUMO_NO_CONTRACT
#endif

// The portable iteration: two lanes of the compiler's own vectors.
typedef double vlane __attribute__((vector_size(2 * sizeof(double)), aligned(sizeof(double))));

LUMO_NO_CONTRACT void PortableFitValues(const CEMFit& f, const vlane* xa, vlane* fit)
{
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    const long32 nn = f.n;
    const vlane zero = {};
    // Four fitted values at a time: independent sums that overlap.
    long32 j = 0;
    for (; j + 4 <= nn; j += 4) {
        const double *h0 = f.H[j], *h1 = f.H[j + 1], *h2 = f.H[j + 2], *h3 = f.H[j + 3];
        vlane s0 = zero, s1 = zero, s2 = zero, s3 = zero;
        for (long32 k = 0; k < nn; k++) {
            const vlane d = xa[k];
            s0 = d * h0[k] + s0;
            s1 = d * h1[k] + s1;
            s2 = d * h2[k] + s2;
            s3 = d * h3[k] + s3;
        }
        fit[j] = s0;
        fit[j + 1] = s1;
        fit[j + 2] = s2;
        fit[j + 3] = s3;
    }
    for (; j < nn; j++) {
        const double* h = f.H[j];
        vlane s = zero;
        for (long32 k = 0; k < nn; k++)
            s = xa[k] * h[k] + s;
        fit[j] = s;
    }
}

} // namespace

namespace
{
LUMO_NO_CONTRACT void PortableLaneIteration(const CEMFit& f, const CEMLaneArrays& L)
{
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    const long32 nn = f.n, NN = f.N;
    const int* nGrp = f.nGrp;
    const int* idx = f.idx;
    const vlane* x = reinterpret_cast<const vlane*>(L.x);
    vlane* xa = reinterpret_cast<vlane*>(L.xa);
    vlane* fit = reinterpret_cast<vlane*>(L.fit);
    vlane* a = reinterpret_cast<vlane*>(L.a);
    vlane* aa = reinterpret_cast<vlane*>(L.aa);
    vlane* a0 = reinterpret_cast<vlane*>(L.a0);
    vlane* aa0 = reinterpret_cast<vlane*>(L.aa0);
    const vlane zero = {};

    // The moments of the previous iteration enter this one.
    for (long32 l = 0; l < NN; l++) {
        a[l] = a0[l];
        aa[l] = aa0[l];
    }
    // Fit of the data less the intercepts; position c is the column; each
    // fitted value summed over c in order from 0.
    long32 c = 0;
    for (long32 l = 0; l < NN; l++)
        for (int t = 0; t < nGrp[l]; t++, c++)
            xa[c] = x[c] - a[l];
    PortableFitValues(f, xa, fit);
    // Intercept variance.
    vlane tau = zero;
    for (long32 l = 0; l < NN; l++)
        tau = aa[l] + tau;
    tau = tau / (double)NN;
    // Residual variance; position c is the column.
    vlane sig = zero;
    c = 0;
    for (long32 l = 0; l < NN; l++) {
        for (int t = 0; t < nGrp[l]; t++, c++) {
            const vlane r = x[c] - fit[c];
            sig = ((r * r + (r * -2.0) * a[l]) + aa[l]) + sig;
        }
    }
    sig = sig / (double)nn;
    // Intercept means (through idx) and second moments.
    c = 0;
    for (long32 l = 0; l < NN; l++) {
        vlane s = zero;
        for (int t = 0; t < nGrp[l]; t++, c++)
            s = (x[idx[c]] - fit[idx[c]]) + s;
        const vlane w = (double)nGrp[l] * tau;
        const vlane shrink = w / (w + sig);
        const vlane mean = shrink * (s / (double)nGrp[l]);
        a0[l] = mean;
        aa0[l] = tau * (1.0 - shrink) + mean * mean;
    }
    std::memcpy(L.tau, &tau, sizeof tau);
    std::memcpy(L.sig, &sig, sizeof sig);
}

int PortableLanes()
{
    return 2;
}

// The iterations by instruction-set level, widest first, with their lanes.
struct CEMLaneKernel
{
    lumo::simd::Level level;
    int (*lanes)();
    LaneIterationFn* iterate;
};
const CEMLaneKernel kEMLaneKernels[] = {LUMO_SIMD_ENTRIES(LUMO_EM_LANES) // widest first
                                        {lumo::simd::kPortable, &PortableLanes, &PortableLaneIteration}};

const CEMLaneKernel& ActiveEMLaneKernel()
{
    return kEMLaneKernels[lumo::simd::Pick(kEMLaneKernels, (int)(sizeof kEMLaneKernels / sizeof kEMLaneKernels[0]))];
}

} // namespace

namespace
{
// Puts gene g, in the state its rows hold, into lane w.
template <int W> void LoadLane(const CEMFit& f, CEMLanes<W>& L, int w, long32 g, long32 done)
{
    for (long32 c = 0; c < f.n; c++)
        L.v.x[c * W + w] = f.dat[g][c];
    for (long32 l = 0; l < f.N; l++) {
        L.v.a0[l * W + w] = f.A0[g][l];
        L.v.aa0[l * W + w] = f.AA0[g][l];
    }
    L.lik[w] = f.lik[g];
    L.lik0[w] = f.lik0[g];
    L.done[w] = done;
    L.gene[w] = g;
}

// Copies lane `from` into the idle lane w, so that it computes on sound values.
template <int W> void CopyLane(const CEMFit& f, CEMLanes<W>& L, int w, int from)
{
    for (long32 c = 0; c < f.n; c++)
        L.v.x[c * W + w] = L.v.x[c * W + from];
    for (long32 l = 0; l < f.N; l++) {
        L.v.a0[l * W + w] = L.v.a0[l * W + from];
        L.v.aa0[l * W + w] = L.v.aa0[l * W + from];
    }
    L.gene[w] = -1;
}

// Writes lane w (which has iterated at least once) back to its gene's rows.
template <int W> void StoreLane(const CEMFit& f, const CEMLanes<W>& L, int w)
{
    const long32 g = L.gene[w];
    for (long32 j = 0; j < f.n; j++)
        f.fit[g][j] = L.v.fit[j * W + w];
    for (long32 l = 0; l < f.N; l++) {
        f.alpha[g][l] = L.v.a[l * W + w];
        f.AA[g][l] = L.v.aa[l * W + w];
        f.A0[g][l] = L.v.a0[l * W + w];
        f.AA0[g][l] = L.v.aa0[l * W + w];
    }
    f.tau[g] = L.v.tau[w];
    f.sig[g] = L.v.sig[w];
    f.lik[g] = L.lik[w];
    f.lik0[g] = L.lik0[w];
}

} // namespace

namespace
{
// Iterates the genes list[0..count-1] from the states in their rows, each
// until its proxy changes by at most eps (settled[g] = 1) or it has taken
// `limit` iterations in all; done[g] counts them. A gene's iterations depend
// on no other gene, so the genes can be taken in any grouping, order and
// thread with the same result.
template <int W>
void IterateGenes(const CEMFit& f, const long32* list, long32 count, long32 limit, long32* done, char* settled,
                  CEMLanes<W>& L, LaneIterationFn* iterate, lumo::CSharedProgress* progress)
{
    if (count == 0)
        return;
    long32 next = 0;
    int active = 0;
    for (int w = 0; w < W; w++) {
        if (next < count) {
            LoadLane(f, L, w, list[next], done[list[next]]);
            next++;
            active++;
        } else {
            CopyLane(f, L, w, 0);
        }
    }
    while (active > 0) {
        iterate(f, L.v);
        for (int w = 0; w < W; w++) {
            const long32 g = L.gene[w];
            if (g < 0)
                continue;
            // Log-likelihood proxy; a NaN change does not qualify as a change.
            L.lik0[w] = L.lik[w];
            L.lik[w] = f.halfN * std::log(L.v.tau[w]) - f.halfM * std::log(L.v.sig[w]);
            L.done[w]++;
            const bool settles = !(std::fabs(L.lik[w] - L.lik0[w]) > f.eps);
            if (!settles && L.done[w] < limit)
                continue;
            StoreLane(f, L, w);
            done[g] = L.done[w];
            settled[g] = settles;
            if (next < count) {
                LoadLane(f, L, w, list[next], done[list[next]]);
                next++;
            } else {
                L.gene[w] = -1;
                active--;
            }
        }
        if (progress != 0) {
            L.work += f.iterationWork * W;
            if (L.work >= kEMCheckWork) {
                L.work = 0.0;
                progress->Check();
            }
        }
    }
}

// Genes per chunk of a pass over `count` genes: enough to keep the lanes
// full, small enough to spread the genes that iterate long over the workers.
int64_t GeneGrain(long32 count, int32_t threads, int lanes)
{
    const int64_t grain = (int64_t)count / (4 * (int64_t)threads);
    return grain < lanes ? lanes : (grain > 1024 ? 1024 : grain);
}

} // namespace

namespace
{
// The random-intercept EM over the workers of pool; stop checks go through
// progress (may be null). Every gene iterates on its own until it settles;
// the fit as a whole ends after P iterations, P the first count after which
// at most one gene has not settled (or the cap), and no gene takes more than
// P. Passes with a growing limit find P without running the last gene far
// past it; a gene that did run past P is run again from its start.
template <int W>
void RunEMFit(CEMFit& f, long32* EM, double* atmp, long32* iter, lumo::CWorkerPool& pool, LaneIterationFn* iterate,
              lumo::CSharedProgress* progress)
{
    const long32 mm = f.m, NN = f.N;
    const int32_t threads = pool.Threads();
    std::vector<std::unique_ptr<CEMLanes<W>>> workers;
    for (int32_t t = 0; t < threads; t++)
        workers.emplace_back(new CEMLanes<W>(f.n, f.N));
    pool.Run(
        mm, 256,
        [&](int64_t b, int64_t e, int) {
            for (int64_t i = b; i < e; i++)
                StartGene(f, (long32)i);
        },
        progress);

    *iter = 1;
    for (long32 i = 0; i < mm; i++)
        EM[i] = i;
    if (mm > 1) {
        std::vector<long32> done(mm, 0);
        std::vector<char> settled(mm, 0);
        long32 nEM = mm; // genes that have not settled, ascending
        long32 limit = std::min(kEMFirstLimit, kEMFitMaxIterations);
        for (;;) {
            const long32 passLimit = limit;
            pool.Run(
                nEM, GeneGrain(nEM, threads, W),
                [&](int64_t b, int64_t e, int worker) {
                    IterateGenes(f, EM + b, (long32)(e - b), passLimit, done.data(), settled.data(), *workers[worker],
                                 iterate, progress);
                },
                progress);
            long32 open = 0;
            for (long32 k = 0; k < nEM; k++)
                if (!settled[EM[k]])
                    EM[open++] = EM[k];
            nEM = open;
            if (nEM <= 1 || limit >= kEMFitMaxIterations)
                break;
            limit = limit > kEMFitMaxIterations / kEMLimitGrowth ? kEMFitMaxIterations : limit * kEMLimitGrowth;
        }

        // P is the second largest count: a gene that has not settled has run
        // to the limit, at least as far as any other.
        long32 first = 0, second = 0;
        for (long32 i = 0; i < mm; i++) {
            if (done[i] > first) {
                second = first;
                first = done[i];
            } else if (done[i] > second) {
                second = done[i];
            }
        }
        const long32 P = second;
        for (long32 i = 0; i < mm; i++) {
            if (done[i] > P) {
                // The one gene still changing after P iterations: rerun it
                // to P from its start.
                StartGene(f, i);
                done[i] = 0;
                IterateGenes(f, &i, 1, P, done.data(), settled.data(), *workers[0], iterate, progress);
                EM[0] = i;
                nEM = 1;
            } else if (done[i] < P) {
                // Settled earlier; its proxy stayed unchanged since.
                f.lik0[i] = f.lik[i];
            }
        }
        *iter = 1 + P;
    }

    // Spread each individual's intercept over its observations' columns.
    for (long32 i = 0; i < mm; i++) {
        for (long32 l = 0; l < NN; l++)
            atmp[l] = f.alpha[i][l];
        long32 c = 0;
        for (long32 l = 0; l < NN; l++)
            for (int t = 0; t < f.nGrp[l]; t++, c++)
                f.alpha[i][f.idx[c]] = atmp[l];
    }
}

CEMFit MakeEMFit(double** dat, double** H, int* idx, double* eps, double** fit, double** alpha, double** datC,
                 double* gm, double** A0, double** AA0, double** AA, double* lik0, double* lik, double* tau,
                 double* sig, long32* m, long32* n, long32* N, int* nGrp)
{
    CEMFit f = {dat, H,    idx, nGrp, *eps, fit, alpha, datC, gm,  A0,  AA0,
                AA,  lik0, lik, tau,  sig,  *m,  *n,    *N,   0.0, 0.0, 0.0};
    // Both factors are integer halves, the second of the number of genes.
    f.halfN = (double)((-f.N) / 2);
    f.halfM = (double)(f.m / 2);
    f.iterationWork = (double)f.n * (double)f.n + 6.0 * (double)f.n + 8.0 * (double)f.N + 64.0;
    return f;
}
} // namespace

void EMFitPool(double** dat, double** H, int* idx, double* eps, double** fit, double** alpha, double** datC, double* gm,
               double** A0, double** AA0, double** AA, double* lik0, double* lik, double* tau, double* sig, long32* EM,
               double* atmp, long32* m, long32* n, long32* N, int* nGrp, long32* iter, lumo::CWorkerPool& pool,
               lumo::CSharedProgress* progress)
{
    CEMFit f = MakeEMFit(dat, H, idx, eps, fit, alpha, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, m, n, N, nGrp);
    // A width without its instantiation below runs the portable iteration.
    const CEMLaneKernel& kernel = ActiveEMLaneKernel();
    switch (kernel.lanes()) {
    case 8:
        RunEMFit<8>(f, EM, atmp, iter, pool, kernel.iterate, progress);
        break;
    case 4:
        RunEMFit<4>(f, EM, atmp, iter, pool, kernel.iterate, progress);
        break;
    case 2:
        RunEMFit<2>(f, EM, atmp, iter, pool, kernel.iterate, progress);
        break;
    default:
        RunEMFit<2>(f, EM, atmp, iter, pool, &PortableLaneIteration, progress);
    }
}

int EMLaneWidth()
{
    const int lanes = ActiveEMLaneKernel().lanes();
    return lanes == 8 || lanes == 4 ? lanes : 2;
}

void FEMPool(double** dat, double** H1, double** H0, int* idx, double* eps, double** fit1, double** fit0,
             double** alpha1, double** alpha0, double* rss1, double* rss0, double** datC, double* gm, double** A0,
             double** AA0, double** AA, double* lik0, double* lik, double* tau, double* sig, long32* EM, double* atmp,
             long32* m, long32* n, long32* N, int* nGrp, double* F, update_progress_routine* callback,
             void* callbackArg, double* pMax, double* pCurrent, lumo::CWorkerPool& pool)
{
    double max = pMax != 0 ? *pMax : 2.0;
    double current = pCurrent != 0 ? *pCurrent : 0.0;
    long32 iter = 0;

    {
        lumo::CSharedProgress progress(callback, callbackArg, max, current, kPhaseTimecourse);
        EMFitPool(dat, H1, idx, eps, fit1, alpha1, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N, nGrp,
                  &iter, pool, callback != 0 ? &progress : 0);
    }
    current += 1.0;
    do_callback(callback, callbackArg, max, current, kPhaseTimecourse);
    {
        lumo::CSharedProgress progress(callback, callbackArg, max, current, kPhaseTimecourse);
        EMFitPool(dat, H0, idx, eps, fit0, alpha0, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N, nGrp,
                  &iter, pool, callback != 0 ? &progress : 0);
    }
    current += 1.0;
    do_callback(callback, callbackArg, max, current, kPhaseTimecourse);

    const long32 mm = *m, nn = *n;
    for (long32 i = 0; i < mm; i++) {
        for (long32 j = 0; j < nn; j++) {
            const double r1 = (dat[i][j] - fit1[i][j]) - alpha1[i][j];
            rss1[i] = r1 * r1 + rss1[i];
            const double r0 = (dat[i][j] - fit0[i][j]) - alpha0[i][j];
            rss0[i] = r0 * r0 + rss0[i];
        }
    }
    for (long32 i = 0; i < mm; i++)
        F[i] = rss0[i] / rss1[i] - 1.0;
    if (pCurrent != 0)
        *pCurrent = current;
}

const char* CheckEMFitArguments(const long32* m, const long32* n, const long32* N, const int* nGrp, const int* idx,
                                const double* eps, char* buf, int size)
{
    if (!(*eps > 0.0 && std::isfinite(*eps))) {
        std::snprintf(buf, size, "eps must be a positive finite number, not %g", *eps);
        return buf;
    }
    if (*m < 0) {
        std::snprintf(buf, size, "m must be a non-negative size, not %d", (int)*m);
        return buf;
    }
    if (*n < 0) {
        std::snprintf(buf, size, "n must be a non-negative size, not %d", (int)*n);
        return buf;
    }
    if (*N < 0 || *N > *n) {
        std::snprintf(buf, size, "N must lie in 0..n (n = %d), not %d", (int)*n, (int)*N);
        return buf;
    }
    long long total = 0;
    for (long32 l = 0; l < *N; l++) {
        if (nGrp[l] < 0) {
            std::snprintf(buf, size, "nGrp[%d] must be a non-negative count, not %d", (int)l + 1, nGrp[l]);
            return buf;
        }
        total += nGrp[l];
    }
    if (total != *n) {
        std::snprintf(buf, size, "nGrp must sum to n = %d, not %.0f", (int)*n, (double)total);
        return buf;
    }
    for (long32 c = 0; c < *n; c++) {
        if (idx[c] < 0 || idx[c] >= *n) {
            std::snprintf(buf, size, "idx[%d] must be a column 0..%d, not %d", (int)c + 1, (int)*n - 1, idx[c]);
            return buf;
        }
    }
    return 0;
}

void EMFitColumnMajor(double* datR, double* HR, int*, int* idx, double* eps, double* fitR, double* alphaR, long32* m,
                      long32* n, long32* N, int* nGrp, long32* iter, lumo::CWorkerPool& pool,
                      update_progress_routine* callback, void* callbackArg)
{
    const long32 mm = *m, nn = *n, NN = *N;
    CDoubleMatrix dat(mm, nn), fit(mm, nn), alpha(mm, nn), datC(mm, nn);
    CDoubleMatrix H(nn, nn);
    CDoubleMatrix A0(mm, NN), AA0(mm, NN), AA(mm, NN);
    CDoubleVector gm(mm), lik0(mm), lik(mm), tau(mm), sig(mm);
    CLongVector EM(mm);
    CDoubleVector atmp(NN);

    CopyColumnMajor(dat.get(), datR, mm, nn);
    CopyColumnMajor(H.get(), HR, nn, nn);
    // Genes that are never fitted (m <= 1), and columns that idx never
    // names, come back as 0.
    ZeroRows(fit, mm, nn);
    ZeroRows(alpha, mm, nn);

    lumo::CSharedProgress progress(callback, callbackArg, 1.0, 0.0, kPhaseTimecourse);
    EMFitPool(dat, H, idx, eps, fit, alpha, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N, nGrp, iter,
              pool, callback != 0 ? &progress : 0);

    for (long32 j = 0; j < nn; j++) {
        for (long32 i = 0; i < mm; i++) {
            const size_t k = (size_t)i + (size_t)j * (size_t)mm;
            fitR[k] = fit[i][j];
            alphaR[k] = alpha[i][j];
        }
    }
}
