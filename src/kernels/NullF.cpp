// The time-course null F statistics: F of independent observations (FNoEM)
// and the bootstrap null F of the three designs.

#include "lumo.h"

#include <algorithm>
#include <vector>

#include "InterceptFit.h"
#include "RowArrays.h"
#include "debug.h"
#include "threads/WorkerPool.h"

using lumo::CopyColumnMajor;
using lumo::ZeroRows;

namespace
{
// The B x width column maps of the bootstrap iterations from R's
// column-major array, one contiguous row per iteration (no table of row
// pointers, so that a huge B with no columns costs nothing).
struct CColumnMaps
{
    std::vector<long32> data;
    const long32 width;

    CColumnMaps(const int* vR, long32 B, long32 w) : data((size_t)B * (size_t)w), width(w)
    {
        for (long32 j = 0; j < w; j++)
            for (long32 k = 0; k < B; k++)
                data[(size_t)k * (size_t)w + (size_t)j] = vR[(size_t)k + (size_t)j * (size_t)B];
    }
    const long32* Row(long32 k) const { return data.data() + (size_t)k * (size_t)width; }
};

// What every null kernel holds for B iterations over m genes and n arrays:
// the null-model fit and the two smoothers, copied from R's arrays.
struct CNullWork
{
    CDoubleMatrix fit, H1, H0;

    CNullWork(const double* fitR, const double* H1R, const double* H0R, long32 m, long32 n)
        : fit(m, n), H1(n, n), H0(n, n)
    {
        CopyColumnMajor(fit.get(), fitR, m, n);
        CopyColumnMajor(H1.get(), H1R, n, n);
        CopyColumnMajor(H0.get(), H0R, n, n);
    }
};
} // namespace

void FNoEM(double** dat, double** H1, double** H0, double** fit1, double** fit0, double* rss1, double* rss0, long32* m,
           long32* n, double* F, update_progress_routine* callback, void* callbackArg, double* pCurrent, double* pMax)
{
    const long32 mm = *m, nn = *n;
    double current = pCurrent != 0 ? *pCurrent : 0.0;
    const double max = pMax != 0 ? *pMax : (double)mm * ((double)nn + (double)nn * (double)nn + 1.0);

    // One counter for both loops: report before the first step and then
    // before every 1000th.
    long32 iCurrent = 0;
    for (long32 i = 0; i < mm; i++) {
        const double* x = dat[i];
        for (long32 j = 0; j < nn; j++) {
            const double* h1 = H1[j];
            const double* h0 = H0[j];
            // Accumulated in registers in the same order as into the arrays;
            // the output rows are never inputs.
            double s1 = fit1[i][j], s0 = fit0[i][j];
            for (long32 l = 0; l < nn; l++) {
                if (iCurrent % 1000 == 0) {
                    do_callback(callback, callbackArg, max, current, kPhaseTimecourse);
                    iCurrent = 1;
                } else {
                    iCurrent++;
                }
                s1 = x[l] * h1[l] + s1;
                current += 1.0;
                s0 = x[l] * h0[l] + s0;
            }
            fit1[i][j] = s1;
            fit0[i][j] = s0;
        }
    }
    for (long32 i = 0; i < mm; i++) {
        for (long32 j = 0; j < nn; j++) {
            if (iCurrent % 1000 == 0) {
                do_callback(callback, callbackArg, max, current, kPhaseTimecourse);
                iCurrent = 1;
            } else {
                iCurrent++;
            }
            const double d1 = dat[i][j] - fit1[i][j];
            rss1[i] = d1 * d1 + rss1[i];
            current += 1.0;
            const double d0 = dat[i][j] - fit0[i][j];
            rss0[i] = d0 * d0 + rss0[i];
        }
    }
    for (long32 i = 0; i < mm; i++)
        F[i] = rss0[i] / rss1[i] - 1.0;
    if (pCurrent != 0)
        *pCurrent = current;
}

namespace
{
// Work units per chunk of a pass over (iteration, gene) pairs: a chunk ends
// with a progress report, which is also the workers' stop check.
const double kNullChunkUnits = 1 << 18;

// F of one gene from its null data x: both fits summed over l in order from
// 0, the residual sums over j in order from 0, as FNoEM does with cleared
// accumulators. f1, f0 are the worker's rows for the fits; *rss1 receives the
// residual sum of squares of the alternative fit.
double GeneF(const double* x, double** H1, double** H0, double* f1, double* f0, long32 n, double* rss1Out)
{
    for (long32 j = 0; j < n; j++) {
        const double* h1 = H1[j];
        const double* h0 = H0[j];
        double s1 = 0.0, s0 = 0.0;
        for (long32 l = 0; l < n; l++) {
            s1 = x[l] * h1[l] + s1;
            s0 = x[l] * h0[l] + s0;
        }
        f1[j] = s1;
        f0[j] = s0;
    }
    double rss1 = 0.0, rss0 = 0.0;
    for (long32 j = 0; j < n; j++) {
        const double d1 = x[j] - f1[j];
        rss1 = d1 * d1 + rss1;
        const double d0 = x[j] - f0[j];
        rss0 = d0 * d0 + rss0;
    }
    *rss1Out = rss1;
    return rss0 / rss1 - 1.0;
}

// Rows of one worker: null data, the two fits and (design without
// intercept) the rebuilt residuals and the drawn reduced residuals.
struct CNullRows
{
    std::vector<double> dat, f1, f0, res, drawn;
    CNullRows(long32 n, long32 nr) : dat(n + 1), f1(n + 1), f0(n + 1), res(n + 1), drawn(nr + 1) {}
};

// Runs gene(k, i, rows, &rss) for every iteration k < B and gene i < m, F[i + k m]
// receiving its result and rss1[i + k m], if rss1 is given, its rss, over the
// workers of pool; each worker has its own copy of the rows prototype, and every
// pair is worth `units` of progress. Reports start at (max, 0) and end at the
// exact total.
template <class Rows, class Gene>
void ForEachNullPair(long32 m, long32 B, const Rows& prototype, double units, double max, double* F, double* rss1,
                     update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool, const Gene& gene)
{
    const int64_t pairs = (int64_t)m * (int64_t)B;
    lumo::CSharedProgress progress(callback, callbackArg, max, 0.0, kPhaseTimecourse);
    if (pairs == 0)
        return;
    progress.Check();
    std::vector<Rows> rows(pool.Threads(), prototype);
    const int64_t grain = units >= kNullChunkUnits ? 1 : (int64_t)(kNullChunkUnits / units);
    pool.Run(
        pairs, grain,
        [&](int64_t b, int64_t e, int worker) {
            Rows& r = rows[worker];
            for (int64_t p = b; p < e; p++) {
                const long32 k = (long32)(p / m), i = (long32)(p % m);
                double rss = 0.0;
                F[p] = gene(k, i, r, &rss);
                if (rss1 != 0)
                    rss1[p] = rss;
            }
            progress.Add(units * (double)(e - b));
        },
        &progress);
}

// ForEachNullPair with the rows of the smoother designs.
template <class Gene>
void ForEachNullGene(long32 m, long32 B, long32 n, long32 nr, double units, double max, double* F, double* rss1,
                     update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool, const Gene& gene)
{
    ForEachNullPair(m, B, CNullRows(n, nr), units, max, F, rss1, callback, callbackArg, pool, gene);
}
} // namespace

void nullFIndep(double* fitR, double* resR, int* vR, double* H1R, double* H0R, long32* m, long32* n, long32* B,
                double* F, update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool, double* rss1)
{
    const long32 mm = *m, nn = *n, BB = *B;
    const double max = (double)(nn + 1) * (((double)BB * (double)mm) * (double)(nn + 1));

    CNullWork w(fitR, H1R, H0R, mm, nn);
    CDoubleMatrix res(mm, nn);
    const CColumnMaps v(vR, BB, nn);
    CopyColumnMajor(res.get(), resR, mm, nn);

    // Per pair: the null data, then n^2 + n steps of the F statistic.
    const double units = (double)nn * (double)nn + (double)nn + 1.0;
    ForEachNullGene(mm, BB, nn, 0, units, max, F, rss1, callback, callbackArg, pool,
                    [&](long32 k, long32 i, CNullRows& r, double* rss) {
                        const long32* vk = v.Row(k);
                        const double* fi = w.fit[i];
                        const double* ri = res[i];
                        double* x = r.dat.data();
                        for (long32 j = 0; j < nn; j++)
                            x[j] = fi[j] + ri[vk[j]];
                        return GeneF(x, w.H1, w.H0, r.f1.data(), r.f0.data(), nn, rss);
                    });
}

void nullFLongNoInt(double* fitR, double* resR, int* vR, int* rmv, int* inc, double* H1R, double* H0R, double* wsqR,
                    int*, int* idx, long32* m, long32* n, long32* N, int* nGrp, long32* B, double* F,
                    update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool, double* rss1)
{
    const long32 mm = *m, nn = *n, NN = *N, BB = *B;
    const long32 nr = nn - NN; // reduced residuals per gene
    const double max =
        ((double)BB * (double)mm) * ((double)(nn + 1) * (double)(nn + 1) + ((double)nr * (double)nr + NN));

    CNullWork w(fitR, H1R, H0R, mm, nn);
    CDoubleMatrix res0(mm, nr), wsqT(nr, nr);
    const CColumnMaps v(vR, BB, nr);
    CopyColumnMajor(res0.get(), resR, mm, nr);
    // wsqT[j] is column j of wsq, so the sums below read it contiguously.
    for (long32 j = 0; j < nr; j++)
        std::copy(wsqR + (size_t)j * (size_t)nr, wsqR + (size_t)(j + 1) * (size_t)nr, wsqT[j]);

    // Per pair: nr^2 rebuilding steps, N balancing steps, then n^2 + n steps
    // of the F statistic.
    const double units = (double)nr * (double)nr + (double)NN + (double)nn * (double)nn + (double)nn;
    ForEachNullGene(mm, BB, nn, nr, units, max, F, rss1, callback, callbackArg, pool,
                    [&](long32 k, long32 i, CNullRows& r, double* rss) {
                        const long32* vk = v.Row(k);
                        const double* r0 = res0[i];
                        double* ri = r.res.data();
                        double* drawn = r.drawn.data();
                        std::fill(ri, ri + nn, 0.0);
                        for (long32 l = 0; l < nr; l++)
                            drawn[l] = r0[vk[l]];
                        // Residuals of the included columns, rebuilt from the
                        // resampled reduced residuals.
                        for (long32 j = 0; j < nr; j++) {
                            const double* wj = wsqT[j];
                            double s = ri[inc[j]];
                            for (long32 l = 0; l < nr; l++)
                                s = drawn[l] * wj[l] + s;
                            ri[inc[j]] = s;
                        }
                        // Each individual's balancing column takes minus the
                        // sum of its residuals as they stand (its own current
                        // value included).
                        long32 c = 0;
                        for (long32 l = 0; l < NN; l++) {
                            double grpSum = 0.0;
                            for (int t = 0; t < nGrp[l]; t++, c++)
                                grpSum = grpSum + ri[idx[c]];
                            ri[rmv[l]] = -grpSum;
                        }
                        const double* fi = w.fit[i];
                        double* x = r.dat.data();
                        for (long32 j = 0; j < nn; j++)
                            x[j] = fi[j] + ri[j];
                        return GeneF(x, w.H1, w.H0, r.f1.data(), r.f0.data(), nn, rss);
                    });
}

void nullFLongInt(double* fitR, double* resR, int* vR, int* v1R, double* H1R, double* H0R, double* alphaR, int* ind,
                  int* idx, double* eps, long32* m, long32* n, long32* N, int* nGrp, long32* B, double* F,
                  update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool, double* rss1Out)
{
    const long32 mm = *m, nn = *n, NN = *N, BB = *B;
    double max = (double)BB + (double)BB;
    double current = 0.0;

    CNullWork w(fitR, H1R, H0R, mm, nn);
    CDoubleMatrix dat(mm, nn), fit1(mm, nn), fit0(mm, nn);
    CDoubleMatrix res(mm, nn), alpha(mm, nn), alpha1(mm, nn), alpha0(mm, nn), datC(mm, nn);
    CDoubleVector rss1(mm), rss0(mm), Ft(mm);
    CDoubleMatrix A0(mm, NN), AA0(mm, NN), AA(mm, NN);
    const CColumnMaps v(vR, BB, nn), v1(v1R, BB, nn);
    CDoubleVector gm(mm), lik0(mm), lik(mm), tau(mm), sig(mm);
    CLongVector EM(mm);
    CDoubleVector atmp(NN);

    CopyColumnMajor(res.get(), resR, mm, nn);
    CopyColumnMajor(alpha.get(), alphaR, mm, nn);
    // Columns that idx never names keep an intercept of 0 in the residuals.
    ZeroRows(alpha1, mm, nn);
    ZeroRows(alpha0, mm, nn);

    const long32 mn = (long32)((long long)mm * nn), nsq = (long32)((long long)nn * nn);
    const long32 bn = (long32)((long long)BB * nn);
    saveDblArray("fitR.txt", fitR, mn);
    saveDblArray("resR.txt", resR, mn);
    saveDblArray("alphaR.txt", alphaR, mn);
    saveDblArray("H1R.txt", H1R, nsq);
    saveDblArray("H0R.txt", H0R, nsq);
    saveIntArray("vR.txt", vR, bn);
    saveIntArray("v1R.txt", v1R, bn);
    saveIntArray("ind.txt", ind, nn);
    saveIntArray("idx.txt", idx, nn);

    if (mm == 0) {
        // Nothing to fit, however many iterations: all of the work is done.
        if (BB > 0)
            do_callback(callback, callbackArg, max, max, kPhaseTimecourse);
        return;
    }
    for (long32 k = 0; k < BB; k++) {
        // A single gene is never fitted: its fits stay 0.
        ZeroRows(fit1, mm, nn);
        ZeroRows(fit0, mm, nn);
        std::fill(rss1.get(), rss1.get() + mm, 0.0);
        std::fill(rss0.get(), rss0.get() + mm, 0.0);
        const long32* vk = v.Row(k);
        const long32* v1k = v1.Row(k);
        for (long32 i = 0; i < mm; i++)
            for (long32 j = 0; j < nn; j++)
                dat[i][j] = (w.fit[i][j] + res[i][vk[j]]) + alpha[i][v1k[j]];
        FEMPool(dat, w.H1, w.H0, idx, eps, fit1, fit0, alpha1, alpha0, rss1, rss0, datC, gm, A0, AA0, AA, lik0, lik,
                tau, sig, EM, atmp, m, n, N, nGrp, Ft, callback, callbackArg, &max, &current, pool);
        std::copy(Ft.get(), Ft.get() + mm, F + (size_t)k * (size_t)mm);
        if (rss1Out != 0)
            std::copy(rss1.get(), rss1.get() + mm, rss1Out + (size_t)k * (size_t)mm);
    }
    saveDblArray("F.txt", F, (long32)((long long)mm * BB));
}

void nullFLongIntML(double* fitR, double* resR, int* vR, int* v1R, double* alphaR, const double* X1R, long32 p1,
                    const double* X0R, long32 p0, int* idx, long32* m, long32* n, long32* N, int* nGrp, long32* B,
                    double* F, update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool,
                    double* rss1)
{
    const long32 mm = *m, nn = *n, NN = *N, BB = *B;
    // Per pair: the two fits, counted as n (p1 + p0 + 2) units.
    const double units = (double)nn * (double)(p1 + p0 + 2);
    const double max = ((double)BB * (double)mm) * units;

    // The individual of each array: walking the individuals in order, position c is array idx[c].
    std::vector<int> group(nn);
    for (long32 l = 0, c = 0; l < NN; l++)
        for (int t = 0; t < nGrp[l]; t++, c++)
            group[idx[c]] = (int)l;
    const lumo::CInterceptDesign design1(X1R, nn, p1, NN, group.data());
    const lumo::CInterceptDesign design0(X0R, nn, p0, NN, group.data());

    CDoubleMatrix fit(mm, nn), res(mm, nn), alpha(mm, nn);
    const CColumnMaps v(vR, BB, nn), v1(v1R, BB, nn);
    CopyColumnMajor(fit.get(), fitR, mm, nn);
    CopyColumnMajor(res.get(), resR, mm, nn);
    CopyColumnMajor(alpha.get(), alphaR, mm, nn);

    struct CFitRows
    {
        std::vector<double> dat, scratch;
    };
    CFitRows prototype;
    prototype.dat.resize(nn + 1);
    prototype.scratch.resize(std::max(design1.ScratchSize(), design0.ScratchSize()) + 1);
    ForEachNullPair(mm, BB, prototype, units, max, F, rss1, callback, callbackArg, pool,
                    [&](long32 k, long32 i, CFitRows& r, double* rss) {
                        const long32* vk = v.Row(k);
                        const long32* v1k = v1.Row(k);
                        const double* fi = fit[i];
                        const double* ri = res[i];
                        const double* ai = alpha[i];
                        double* x = r.dat.data();
                        for (long32 j = 0; j < nn; j++)
                            x[j] = (fi[j] + ri[vk[j]]) + ai[v1k[j]];
                        *rss = design1.Fit(x, 0, 0, r.scratch.data()).rss;
                        const double rss0 = design0.Fit(x, 0, 0, r.scratch.data()).rss;
                        return rss0 / *rss - 1.0;
                    });
}
