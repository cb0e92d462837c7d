#include "lumo.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "threads/WorkerPool.h"

// ---------------------------------------------------------------- offset arrays

namespace
{
const long32 kSpare = 1; // spare element in front of every block

std::atomic<OffsetArrayMessageHook> g_messageHook(&WriteToStandardOutput);

void Say(const char* text)
{
    g_messageHook.load()(text);
}

// Number of elements from lo to hi inclusive, plus the spare one; 0 when the
// range is empty or too large to allocate.
size_t BlockCount(long32 lo, long32 hi)
{
    long long count = (long long)hi - (long long)lo + 1;
    if (count < 0)
        count = 0;
    return (size_t)count + kSpare;
}

template <class T> T* AllocVector(long32 nl, long32 nh, const char* name)
{
    T* v = (T*)std::malloc(BlockCount(nl, nh) * sizeof(T));
    if (v == 0) {
        char text[64];
        std::snprintf(text, sizeof text, "\n allocation failure in %s\n", name);
        Say(text);
        return 0;
    }
    return v - nl + kSpare;
}

template <class T> void FreeVector(T* v, long32 nl)
{
    if (v != 0)
        std::free(v + nl - kSpare);
}

template <class T> T** AllocMatrix(long32 nrl, long32 nrh, long32 ncl, long32 nch)
{
    size_t nrow = BlockCount(nrl, nrh) - kSpare;
    size_t ncol = BlockCount(ncl, nch) - kSpare;
    // At least one row slot: the row table always holds the block's address,
    // also when the range of rows is empty.
    T** m = (T**)std::malloc(((nrow > 0 ? nrow : 1) + kSpare) * sizeof(T*));
    if (m == 0) {
        Say("allocation fialure\n");
        return 0;
    }
    m = m + kSpare - nrl;
    T* block = (T*)std::malloc((nrow * ncol + kSpare) * sizeof(T));
    if (block == 0) {
        Say("allocation fialure\n");
        std::free(m + nrl - kSpare);
        return 0;
    }
    m[nrl] = block + kSpare - ncl;
    for (size_t i = 1; i < nrow; i++)
        m[nrl + (long32)i] = m[nrl + (long32)i - 1] + ncol;
    return m;
}

template <class T> void FreeMatrix(T** m, long32 nrl, long32 ncl)
{
    if (m == 0)
        return;
    std::free(m[nrl] + ncl - kSpare);
    std::free(m + nrl - kSpare);
}

template <class T> T* Required(T* p)
{
    if (p == 0)
        throw std::bad_alloc();
    return p;
}
} // namespace

void SetOffsetArrayMessageHook(OffsetArrayMessageHook hook)
{
    g_messageHook.store(hook != nullptr ? hook : &WriteToStandardOutput);
}

void WriteToStandardOutput(const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t done = ::write(STDOUT_FILENO, text, left);
        if (done <= 0)
            return;
        text += done;
        left -= (size_t)done;
    }
}

double* vector(long32 nl, long32 nh) { return AllocVector<double>(nl, nh, "vector()"); }
long32* ivector(long32 nl, long32 nh) { return AllocVector<long32>(nl, nh, "ivector()"); }
int* intvector(long32 nl, long32 nh) { return AllocVector<int>(nl, nh, "intvector()"); }
double** matrix(long32 nrl, long32 nrh, long32 ncl, long32 nch) { return AllocMatrix<double>(nrl, nrh, ncl, nch); }
long32** imatrix(long32 nrl, long32 nrh, long32 ncl, long32 nch) { return AllocMatrix<long32>(nrl, nrh, ncl, nch); }
void free_vector(double* v, long32 nl, long32) { FreeVector(v, nl); }
void free_ivector(long32* v, long32 nl, long32) { FreeVector(v, nl); }
void free_intvector(int* v, long32 nl, long32) { FreeVector(v, nl); }
void free_matrix(double** m, long32 nrl, long32, long32 ncl, long32) { FreeMatrix(m, nrl, ncl); }
void free_imatrix(long32** m, long32 nrl, long32, long32 ncl, long32) { FreeMatrix(m, nrl, ncl); }

CDoubleVector::CDoubleVector(long32 size) : m_p(Required(vector(0, size - 1))), m_size(size) {}
CDoubleVector::~CDoubleVector() { free_vector(m_p, 0, m_size - 1); }
CLongVector::CLongVector(long32 size) : m_p(Required(ivector(0, size - 1))), m_size(size) {}
CLongVector::~CLongVector() { free_ivector(m_p, 0, m_size - 1); }
CDoubleMatrix::CDoubleMatrix(long32 rows, long32 cols)
    : m_p(Required(matrix(0, rows - 1, 0, cols - 1))), m_rows(rows), m_cols(cols)
{
}
CDoubleMatrix::~CDoubleMatrix() { free_matrix(m_p, 0, m_rows - 1, 0, m_cols - 1); }
CLongMatrix::CLongMatrix(long32 rows, long32 cols)
    : m_p(Required(imatrix(0, rows - 1, 0, cols - 1))), m_rows(rows), m_cols(cols)
{
}
CLongMatrix::~CLongMatrix() { free_imatrix(m_p, 0, m_rows - 1, 0, m_cols - 1); }

void swapQK(long32 i, long32 j, double* w)
{
    double t = w[i];
    w[i] = w[j];
    w[j] = t;
}

void sortQK(long32 low, long32 high, long32 n, double* w)
{
    // Iterative on the larger part, recursive on the smaller: depth O(log n).
    while (low < high) {
        double pivot = w[low];
        long32 i = low;
        long32 j = high + 1;
        for (;;) {
            do {
                i++;
            } while (i <= high && i <= n && w[i] < pivot);
            do {
                j--;
            } while (w[j] > pivot);
            if (i >= j)
                break;
            swapQK(i, j, w);
        }
        swapQK(low, j, w);
        if (j - low < high - j) {
            sortQK(low, j - 1, n, w);
            low = j + 1;
        } else {
            sortQK(j + 1, high, n, w);
            high = j - 1;
        }
    }
}

// ---------------------------------------------------------------- ODP kernels

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
    double pairUnits;
    long32 jBlock; // reference genes per progress report
    lumo::CSharedProgress* progress;
};

// The scalar path: one gene at a time with the C library's exp. The same
// frame as the vector path (lumo-inl.h): blocks of reference genes, each
// gene's terms added in ascending j.
template <OdpModel Model> void OdpGenesScalar(const COdpTerms& t, long32 begin, long32 end)
{
    const long32 k = Model == kAlternative ? t.k : 0;
    const size_t mi = (size_t)t.mi, mj = (size_t)t.mj;
    for (long32 jb = 0; jb < t.mj; jb += t.jBlock) {
        const long32 je = t.mj - jb < t.jBlock ? t.mj : jb + t.jBlock;
        for (long32 i = begin; i < end; i++) {
            double sum = t.scr[i];
            for (long32 j = jb; j < je; j++) {
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

// The vector path, compiled for every instruction set of the vector library.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumo-inl.h"
#include <hwy/foreach_target.h>
#include "lumo-inl.h"

namespace lumo_odp
{
HWY_EXPORT(GenesAlternative);
HWY_EXPORT(GenesNull);
} // namespace lumo_odp

namespace
{
typedef void OdpGenesFn(const COdpTerms&, long32, long32);

void OdpGenesVectorAlternative(const COdpTerms& t, long32 b, long32 e)
{
    HWY_DYNAMIC_DISPATCH(lumo_odp::GenesAlternative)(t, b, e);
}
void OdpGenesVectorNull(const COdpTerms& t, long32 b, long32 e) { HWY_DYNAMIC_DISPATCH(lumo_odp::GenesNull)(t, b, e); }

// The best instruction set the processor runs among those compiled.
int64_t BestOdpTarget()
{
    const int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
    return targets & -targets;
}

std::atomic<int> g_odpPath(-1);

template <OdpModel Model> OdpGenesFn* OdpGenesFor(int path)
{
    if (path == lumo::kOdpPathScalar)
        return OdpGenesScalar<Model>;
    return Model == kAlternative ? OdpGenesVectorAlternative : OdpGenesVectorNull;
}

// The frame shared by the four kernels: entry report, per-reference-gene
// factors computed once per j, then the genes in chunks of kOdpGeneChunk,
// spread over the pool when there is more than one chunk.
template <OdpModel Model>
void OdpSum(long32 mi, long32 mj, long32 n, long32 k, const double* xx, const double* xk, const double* mu,
            const double* sigma, const int* nGrp, const int* nii, double* scr, update_progress_routine* callback,
            void* callbackArg, double* currentStart, const double* maxStart, double pairUnits,
            lumo::CWorkerPool* pool)
{
    const double max = *maxStart;
    double current = *currentStart + kOdpEntryUnits;
    current = (double)mi * kOdpGeneUnits + current;
    do_callback(callback, callbackArg, max, current, 6);

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
        lumo::CSharedProgress progress(callback, callbackArg, max, current, 7);
        const long32 chunk = mi < kOdpGeneChunk ? mi : kOdpGeneChunk;
        const long32 jBlock = kOdpReportEvery / chunk;
        const COdpTerms terms = {mi, mj, k, xx, xk, mu, w.data(), c.data(), s3.data(), scr, pairUnits,
                                 jBlock < 1 ? 1 : jBlock, &progress};
        OdpGenesFn* genes = OdpGenesFor<Model>(lumo::OdpPath());
        if (pool != 0 && pool->Threads() > 1 && mi > chunk) {
            pool->Run(mi, chunk, [&](int64_t b, int64_t e, int) { genes(terms, (long32)b, (long32)e); },
                      &progress);
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
int OdpWidestPath()
{
    static const int widest =
        (BestOdpTarget() & (HWY_SCALAR | HWY_EMU128)) != 0 ? kOdpPathScalar : kOdpPathVector;
    return widest;
}

int OdpPath()
{
    int path = g_odpPath.load();
    return path < 0 ? OdpWidestPath() : path;
}

int SetOdpPath(int path)
{
    const int previous = OdpPath();
    const int widest = OdpWidestPath();
    g_odpPath.store(path < kOdpPathScalar ? kOdpPathScalar : (path > widest ? widest : path));
    return previous;
}

const char* OdpPathName(int path)
{
    return path == kOdpPathScalar ? "scalar" : hwy::TargetName(BestOdpTarget());
}
} // namespace lumo

void odp1(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool* pool)
{
    OdpSum<kAlternative>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart,
                         maxStart, kOdp1PairUnits, pool);
}

void odp2(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool* pool)
{
    OdpSum<kNullByGene>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart,
                        maxStart, kOdp2PairUnits, pool);
}

void odp3(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool* pool)
{
    OdpSum<kAlternative>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart,
                         maxStart, kOdp3PairUnits, pool);
}

void odp4(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool* pool)
{
    OdpSum<kNull>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart, maxStart,
                  kOdp4PairUnits, pool);
}

double odp1t(long32 mi, long32 mj, long32, long32) { return OdpUnits(mi, mj, kOdp1PairUnits); }
double odp2t(long32 mi, long32 mj, long32, long32) { return OdpUnits(mi, mj, kOdp2PairUnits); }
double odp3t(long32 mi, long32 mj, long32, long32) { return OdpUnits(mi, mj, kOdp3PairUnits); }
double odp4t(long32 mi, long32 mj, long32, long32) { return OdpUnits(mi, mj, kOdp4PairUnits); }

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

void nullODP(long32 m, long32 m0, long32 n, long32 k, long32 B, double* res, double* mu, double* sigma,
             double* sigma0, int* vv, int* ID, int* nii, int* nGrp, double* scr, update_progress_routine* callback,
             void* callbackArg, double* currentStart, double* maxStart, lumo::CWorkerPool* pool)
{
    double max = maxStart != 0 ? *maxStart : (double)m0 * (double)(m + m0) * (double)B;
    double current = currentStart != 0 ? *currentStart : 0.0;

    // Work arrays for all B iterations; the owners release them also when a
    // stop request unwinds this kernel.
    CDoubleVector num(m), den(m), dat0(m * n), xx(m), xk(m * k), mu0(m0), sigmasc(m0);
    const CNullResample resample = {m0, n, k, B, res, sigma, vv, ID, nii, dat0, xx, xk, mu0, sigmasc};
    const bool spread = pool != 0 && pool->Threads() > 1 && m0 > kOdpGeneChunk;

    for (long32 h = 0; h < B; h++) {
        if (spread) {
            pool->Run(m0, kOdpGeneChunk, [&](int64_t b, int64_t e, int) {
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

void odp(double*, double*, double*, double*, long32*, long32*, long32*, int*, long32*, long32*, int*, double*,
         update_progress_routine*, void*, double*, double*)
{
}

// ---------------------------------------------------------------- time-course kernels

#include "debug.h"

#include <algorithm>
#include <vector>

namespace
{
void ZeroRows(double** a, long32 rows, long32 cols)
{
    for (long32 i = 0; i < rows; i++)
        std::fill(a[i], a[i] + cols, 0.0);
}

// a[r][c] = src[r + c * rows]: R's column-major layout into row pointers.
template <class TSrc, class TDst> void CopyColumnMajor(TDst** a, const TSrc* src, long32 rows, long32 cols)
{
    for (long32 c = 0; c < cols; c++) {
        const TSrc* col = src + (size_t)c * (size_t)rows;
        for (long32 r = 0; r < rows; r++)
            a[r][c] = (TDst)col[r];
    }
}

// Rate limit of the null kernels: report when the shared counter is on a
// multiple of 1000, then restart it.
inline void CounterTest(long32& iCurrent, update_progress_routine* callback, void* callbackArg, double max,
                        double current)
{
    if (iCurrent % 1000 == 0) {
        do_callback(callback, callbackArg, max, current, 8);
        iCurrent = 0;
    }
}

// What every null kernel holds for B iterations over m genes and n arrays:
// the null-model fit and the two smoothers (copied from R's arrays), the null
// data set with its two fits, and the per-gene sums and statistics.
struct CNullWork
{
    const long32 m, n;
    CDoubleMatrix fit, H1, H0, dat, fit1, fit0;
    CDoubleVector rss1, rss0, Ft;

    CNullWork(const double* fitR, const double* H1R, const double* H0R, long32 m_, long32 n_)
        : m(m_), n(n_), fit(m, n), H1(n, n), H0(n, n), dat(m, n), fit1(m, n), fit0(m, n), rss1(m), rss0(m), Ft(m)
    {
        CopyColumnMajor(fit.get(), fitR, m, n);
        CopyColumnMajor(H1.get(), H1R, n, n);
        CopyColumnMajor(H0.get(), H0R, n, n);
    }
    // Clears the accumulators the F kernels add into.
    void Clear()
    {
        ZeroRows(fit1, m, n);
        ZeroRows(fit0, m, n);
        std::fill(rss1.get(), rss1.get() + m, 0.0);
        std::fill(rss0.get(), rss0.get() + m, 0.0);
    }
    // Statistics of iteration k into column k of the m x B result.
    void Store(double* F, long32 k) const { std::copy(Ft.get(), Ft.get() + m, F + (size_t)k * (size_t)m); }
};
} // namespace

void FNoEM(double** dat, double** H1, double** H0, double** fit1, double** fit0, double* rss1, double* rss0,
           long32* m, long32* n, double* F, update_progress_routine* callback, void* callbackArg,
           double* pCurrent, double* pMax)
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
                    do_callback(callback, callbackArg, max, current, 8);
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
                do_callback(callback, callbackArg, max, current, 8);
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

void EMFit(double** dat, double** H, int*, int* idx, double* eps, double** fit, double** alpha, double** datC,
           double* gm, double** A0, double** AA0, double** AA, double* lik0, double* lik, double* tau, double* sig,
           long32* EM, double* atmp, long32* m, long32* n, long32* N, int* nGrp, long32* iter,
           update_progress_routine* callback, void* callbackArg, double* pMax, double* pCurrent)
{
    const long32 mm = *m, nn = *n, NN = *N;
    *iter = 1;
    long32 nEM = mm;

    for (long32 i = 0; i < mm; i++) {
        gm[i] = 0.0;
        lik0[i] = 0.0;
        lik[i] = 1.0;
        EM[i] = i;
        for (long32 l = 0; l < NN; l++)
            A0[i][l] = 0.0;
    }
    for (long32 i = 0; i < mm; i++) {
        for (long32 j = 0; j < nn; j++)
            gm[i] = dat[i][j] + gm[i];
        gm[i] = gm[i] / (double)nn;
    }
    for (long32 i = 0; i < mm; i++)
        for (long32 j = 0; j < nn; j++)
            datC[i][j] = dat[i][j] - gm[i];

    // Starting intercepts: each individual's mean of the centred data.
    for (long32 i = 0; i < mm; i++) {
        long32 c = 0;
        for (long32 l = 0; l < NN; l++) {
            for (int t = 0; t < nGrp[l]; t++, c++)
                A0[i][l] = datC[i][idx[c]] + A0[i][l];
            A0[i][l] = A0[i][l] / (double)nGrp[l];
            AA0[i][l] = A0[i][l] * A0[i][l];
            alpha[i][l] = A0[i][l];
            AA[i][l] = AA0[i][l];
        }
    }

    // Iterate while more than one gene still changes; the cap guards against
    // a set of genes that never settles.
    std::vector<double> xa(nn > 0 ? nn : 1); // one gene's data less its intercepts
    long32 performed = 0;
    while (nEM > 1 && performed < kEMFitMaxIterations) {
        // A long fit re-sends the caller's unchanged figures now and then, so
        // that a stop request is honoured without waiting for the fit to end.
        if (performed % kEMFitStopCheckInterval == kEMFitStopCheckInterval - 1 && pMax != 0 && pCurrent != 0)
            do_callback(callback, callbackArg, *pMax, *pCurrent, 8);
        for (long32 e = 0; e < nEM; e++) {
            const long32 g = EM[e];
            for (long32 l = 0; l < NN; l++) {
                alpha[g][l] = A0[g][l];
                AA[g][l] = AA0[g][l];
                A0[g][l] = 0.0;
                AA0[g][l] = 0.0;
            }
            for (long32 j = 0; j < nn; j++)
                fit[g][j] = 0.0;
            tau[g] = 0.0;
            sig[g] = 0.0;
        }

        for (long32 e = 0; e < nEM; e++) {
            const long32 g = EM[e];
            const double* x = dat[g];
            const double* a = alpha[g];
            double* f = fit[g];

            // Fit of the data less the intercepts; position c is the column.
            // The differences are formed once per gene, the same values the
            // sum would form for every j.
            {
                long32 c = 0;
                for (long32 l = 0; l < NN; l++) {
                    const double al = a[l];
                    for (int t = 0; t < nGrp[l]; t++, c++)
                        xa[c] = x[c] - al;
                }
            }
            // Four fitted values at a time, each summed over c in order:
            // independent sums that the processor can overlap.
            long32 j = 0;
            for (; j + 4 <= nn; j += 4) {
                const double *h0 = H[j], *h1 = H[j + 1], *h2 = H[j + 2], *h3 = H[j + 3];
                double s0 = f[j], s1 = f[j + 1], s2 = f[j + 2], s3 = f[j + 3];
                for (long32 c = 0; c < nn; c++) {
                    const double d = xa[c];
                    s0 = d * h0[c] + s0;
                    s1 = d * h1[c] + s1;
                    s2 = d * h2[c] + s2;
                    s3 = d * h3[c] + s3;
                }
                f[j] = s0;
                f[j + 1] = s1;
                f[j + 2] = s2;
                f[j + 3] = s3;
            }
            for (; j < nn; j++) {
                const double* h = H[j];
                double s = f[j];
                for (long32 c = 0; c < nn; c++)
                    s = xa[c] * h[c] + s;
                f[j] = s;
            }

            // Intercept variance.
            for (long32 l = 0; l < NN; l++)
                tau[g] = AA[g][l] + tau[g];
            tau[g] = tau[g] / (double)NN;

            // Residual variance; position c is the column.
            {
                long32 c = 0;
                for (long32 l = 0; l < NN; l++) {
                    const double al = a[l];
                    const double aa = AA[g][l];
                    for (int t = 0; t < nGrp[l]; t++, c++) {
                        const double r = x[c] - f[c];
                        sig[g] = ((r * r + (r * (-2.0)) * al) + aa) + sig[g];
                    }
                }
                sig[g] = sig[g] / (double)nn;
            }

            // Intercept means (through idx) and second moments.
            {
                long32 c = 0;
                for (long32 l = 0; l < NN; l++) {
                    double s = 0.0;
                    for (int t = 0; t < nGrp[l]; t++, c++)
                        s = (x[idx[c]] - f[idx[c]]) + s;
                    A0[g][l] = s / (double)nGrp[l];
                    const double w = (double)nGrp[l] * tau[g];
                    A0[g][l] = (w / (w + sig[g])) * A0[g][l];
                    AA0[g][l] = tau[g] * (1.0 - w / (w + sig[g])) + A0[g][l] * A0[g][l];
                }
            }
        }

        for (long32 i = 0; i < mm; i++)
            lik0[i] = lik[i];
        // Log-likelihood proxy; both factors are integer halves, the second
        // of the number of genes.
        const double halfN = (double)((-NN) / 2);
        const double halfM = (double)(mm / 2);
        for (long32 e = 0; e < nEM; e++) {
            const long32 g = EM[e];
            lik[g] = halfN * std::log(tau[g]) - halfM * std::log(sig[g]);
        }
        // A NaN change does not qualify, so such a gene leaves the list.
        nEM = 0;
        for (long32 i = 0; i < mm; i++) {
            if (std::fabs(lik[i] - lik0[i]) > *eps) {
                EM[nEM] = i;
                nEM++;
            }
        }
        *iter = *iter + 1;
        performed++;
    }

    // Spread each individual's intercept over its observations' columns.
    for (long32 i = 0; i < mm; i++) {
        for (long32 l = 0; l < NN; l++)
            atmp[l] = alpha[i][l];
        long32 c = 0;
        for (long32 l = 0; l < NN; l++)
            for (int t = 0; t < nGrp[l]; t++, c++)
                alpha[i][idx[c]] = atmp[l];
    }
}

void FEM(double** dat, double** H1, double** H0, int* ind, int* idx, double* eps, double** fit1, double** fit0,
         double** alpha1, double** alpha0, double* rss1, double* rss0, double** datC, double* gm, double** A0,
         double** AA0, double** AA, double* lik0, double* lik, double* tau, double* sig, long32* EM, double* atmp,
         long32* m, long32* n, long32* N, int* nGrp, double* F, update_progress_routine* callback, void* callbackArg,
         double* pMax, double* pCurrent)
{
    double max = pMax != 0 ? *pMax : 2.0;
    double current = pCurrent != 0 ? *pCurrent : 0.0;
    long32 iter = 0;

    EMFit(dat, H1, ind, idx, eps, fit1, alpha1, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N, nGrp,
          &iter, callback, callbackArg, &max, &current);
    current += 1.0;
    do_callback(callback, callbackArg, max, current, 8);
    EMFit(dat, H0, ind, idx, eps, fit0, alpha0, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N, nGrp,
          &iter, callback, callbackArg, &max, &current);
    current += 1.0;
    do_callback(callback, callbackArg, max, current, 8);

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
                                char* buf, int size)
{
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

void EMFitColumnMajor(double* datR, double* HR, int* ind, int* idx, double* eps, double* fitR, double* alphaR,
                      long32* m, long32* n, long32* N, int* nGrp, long32* iter)
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

    EMFit(dat, H, ind, idx, eps, fit, alpha, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N, nGrp,
          iter, 0, 0, 0, 0);

    for (long32 j = 0; j < nn; j++) {
        for (long32 i = 0; i < mm; i++) {
            const size_t k = (size_t)i + (size_t)j * (size_t)mm;
            fitR[k] = fit[i][j];
            alphaR[k] = alpha[i][j];
        }
    }
}

void nullFIndep(double* fitR, double* resR, int* vR, double* H1R, double* H0R, long32* m, long32* n, long32* B,
                double* F, update_progress_routine* callback, void* callbackArg)
{
    const long32 mm = *m, nn = *n, BB = *B;
    double max = (double)(nn + 1) * (((double)BB * (double)mm) * (double)(nn + 1));
    double current = 0.0;
    long32 iCurrent = 0;

    CNullWork w(fitR, H1R, H0R, mm, nn);
    CDoubleMatrix res(mm, nn);
    CLongMatrix v(BB, nn);
    CopyColumnMajor(res.get(), resR, mm, nn);
    CopyColumnMajor(v.get(), vR, BB, nn);

    for (long32 k = 0; k < BB; k++) {
        w.Clear();
        const long32* vk = v[k];
        for (long32 i = 0; i < mm; i++) {
            const double* fi = w.fit[i];
            const double* ri = res[i];
            double* di = w.dat[i];
            // The test sits in the array loop while the counter moves per
            // gene: a gene on a multiple of 1000 reports once per array.
            for (long32 j = 0; j < nn; j++) {
                CounterTest(iCurrent, callback, callbackArg, max, current);
                di[j] = fi[j] + ri[vk[j]];
            }
            current += 1.0;
            iCurrent++;
        }
        FNoEM(w.dat, w.H1, w.H0, w.fit1, w.fit0, w.rss1, w.rss0, m, n, w.Ft, callback, callbackArg, &current, &max);
        w.Store(F, k);
    }
}

void nullFLongNoInt(double* fitR, double* resR, int* vR, int* rmv, int* inc, double* H1R, double* H0R, double* wsqR,
                    int*, int* idx, long32* m, long32* n, long32* N, int* nGrp, long32* B, double* F,
                    update_progress_routine* callback, void* callbackArg)
{
    const long32 mm = *m, nn = *n, NN = *N, BB = *B;
    const long32 nr = nn - NN; // reduced residuals per gene
    double max = ((double)BB * (double)mm) * ((double)(nn + 1) * (double)(nn + 1) + ((double)nr * (double)nr + NN));
    double current = 0.0;
    long32 iCurrent = 0;

    CNullWork w(fitR, H1R, H0R, mm, nn);
    CDoubleMatrix res0(mm, nr), res(mm, nn), wsqT(nr, nr);
    CLongMatrix v(BB, nr);
    CDoubleVector drawn(nr); // one gene's resampled reduced residuals
    CopyColumnMajor(res0.get(), resR, mm, nr);
    // wsqT[j] is column j of wsq, so the sums below read it contiguously.
    for (long32 j = 0; j < nr; j++)
        std::copy(wsqR + (size_t)j * (size_t)nr, wsqR + (size_t)(j + 1) * (size_t)nr, wsqT[j]);
    CopyColumnMajor(v.get(), vR, BB, nr);

    for (long32 k = 0; k < BB; k++) {
        w.Clear();
        ZeroRows(res, mm, nn);
        const long32* vk = v[k];
        for (long32 i = 0; i < mm; i++) {
            double* ri = res[i];
            const double* r0 = res0[i];
            for (long32 l = 0; l < nr; l++)
                drawn[l] = r0[vk[l]];
            // Residuals of the included columns, rebuilt from the resampled
            // reduced residuals.
            for (long32 j = 0; j < nr; j++) {
                // Accumulated in a register, in the order of the array sum;
                // drawn and wsqT never share memory with res.
                const double* wj = wsqT[j];
                double s = ri[inc[j]];
                for (long32 l = 0; l < nr; l++) {
                    CounterTest(iCurrent, callback, callbackArg, max, current);
                    iCurrent++;
                    s = drawn[l] * wj[l] + s;
                    current += 1.0;
                }
                ri[inc[j]] = s;
            }
            // Each individual's balancing column takes minus the sum of its
            // residuals as they stand (its own current value included).
            long32 c = 0;
            for (long32 l = 0; l < NN; l++) {
                CounterTest(iCurrent, callback, callbackArg, max, current);
                double grpSum = 0.0;
                for (int t = 0; t < nGrp[l]; t++, c++)
                    grpSum = grpSum + ri[idx[c]];
                ri[rmv[l]] = -grpSum;
                iCurrent++;
                current += 1.0;
            }
        }
        for (long32 i = 0; i < mm; i++) {
            for (long32 j = 0; j < nn; j++) {
                CounterTest(iCurrent, callback, callbackArg, max, current);
                iCurrent++;
                w.dat[i][j] = w.fit[i][j] + res[i][j];
            }
        }
        FNoEM(w.dat, w.H1, w.H0, w.fit1, w.fit0, w.rss1, w.rss0, m, n, w.Ft, callback, callbackArg, &current, &max);
        w.Store(F, k);
    }
}

void nullFLongInt(double* fitR, double* resR, int* vR, int* v1R, double* H1R, double* H0R, double* alphaR, int* ind,
                  int* idx, double* eps, long32* m, long32* n, long32* N, int* nGrp, long32* B, double* F,
                  update_progress_routine* callback, void* callbackArg)
{
    const long32 mm = *m, nn = *n, NN = *N, BB = *B;
    double max = (double)BB + (double)BB;
    double current = 0.0;

    CNullWork w(fitR, H1R, H0R, mm, nn);
    CDoubleMatrix res(mm, nn), alpha(mm, nn), alpha1(mm, nn), alpha0(mm, nn), datC(mm, nn);
    CDoubleMatrix A0(mm, NN), AA0(mm, NN), AA(mm, NN);
    CLongMatrix v(BB, nn), v1(BB, nn);
    CDoubleVector gm(mm), lik0(mm), lik(mm), tau(mm), sig(mm);
    CLongVector EM(mm);
    CDoubleVector atmp(NN);

    CopyColumnMajor(res.get(), resR, mm, nn);
    CopyColumnMajor(alpha.get(), alphaR, mm, nn);
    CopyColumnMajor(v.get(), vR, BB, nn);
    CopyColumnMajor(v1.get(), v1R, BB, nn);
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

    for (long32 k = 0; k < BB; k++) {
        w.Clear();
        const long32* vk = v[k];
        const long32* v1k = v1[k];
        for (long32 i = 0; i < mm; i++)
            for (long32 j = 0; j < nn; j++)
                w.dat[i][j] = (w.fit[i][j] + res[i][vk[j]]) + alpha[i][v1k[j]];
        FEM(w.dat, w.H1, w.H0, ind, idx, eps, w.fit1, w.fit0, alpha1, alpha0, w.rss1, w.rss0, datC, gm, A0, AA0, AA,
            lik0, lik, tau, sig, EM, atmp, m, n, N, nGrp, w.Ft, callback, callbackArg, &max, &current);
        w.Store(F, k);
    }
    saveDblArray("F.txt", F, (long32)((long long)mm * BB));
}
