#ifndef LUMO_LUMO_H
#define LUMO_LUMO_H

#include <cstdint>

#include "threads/ProgressThreadDef.h"
#include "threads/WorkerPool.h"

namespace lumo
{
class CWorkerPool;
}

// R's integer: every size and index the kernels exchange with R is 32-bit signed.
typedef std::int32_t long32;

// ---------------------------------------------------------------- offset arrays
// vector(nl, nh) returns p valid for p[nl..nh]; matrix(nrl, nrh, ncl, nch)
// returns row pointers p[nrl..nrh] into one contiguous row-major block, valid
// for p[i][ncl..nch]. Each block has one spare element in front. On failure a
// message is printed and null is returned. The kernels allocate 0-based.
//
// The messages go through a hook: by default they are written straight to the
// process's standard output (unbuffered, so nothing is allocated after an
// allocation has failed); a host with a console of its own installs a hook
// at load. The hook may be called from any thread; a null hook restores the
// default.
typedef void (*OffsetArrayMessageHook)(const char* text);
void SetOffsetArrayMessageHook(OffsetArrayMessageHook hook);
void WriteToStandardOutput(const char* text);

double* vector(long32 nl, long32 nh);
long32* ivector(long32 nl, long32 nh);
int* intvector(long32 nl, long32 nh);
double** matrix(long32 nrl, long32 nrh, long32 ncl, long32 nch);
long32** imatrix(long32 nrl, long32 nrh, long32 ncl, long32 nch);
void free_vector(double* v, long32 nl, long32 nh);
void free_ivector(long32* v, long32 nl, long32 nh);
void free_intvector(int* v, long32 nl, long32 nh);
void free_matrix(double** m, long32 nrl, long32 nrh, long32 ncl, long32 nch);
void free_imatrix(long32** m, long32 nrl, long32 nrh, long32 ncl, long32 nch);

// Owners of 0-based offset arrays for the kernels: the array is released when
// the owner goes out of scope, also when a stop request unwinds the kernel.
// A failed allocation throws std::bad_alloc (after the allocator's message),
// which ends the job with an out-of-memory status instead of computing on a
// null pointer.
class CDoubleVector
{
public:
    explicit CDoubleVector(long32 size);
    ~CDoubleVector();
    double* get() const { return m_p; }
    operator double*() const { return m_p; }

private:
    CDoubleVector(const CDoubleVector&);
    CDoubleVector& operator=(const CDoubleVector&);
    double* m_p;
    long32 m_size;
};

class CLongVector
{
public:
    explicit CLongVector(long32 size);
    ~CLongVector();
    long32* get() const { return m_p; }
    operator long32*() const { return m_p; }

private:
    CLongVector(const CLongVector&);
    CLongVector& operator=(const CLongVector&);
    long32* m_p;
    long32 m_size;
};

class CDoubleMatrix
{
public:
    CDoubleMatrix(long32 rows, long32 cols);
    ~CDoubleMatrix();
    double** get() const { return m_p; }
    operator double**() const { return m_p; }

private:
    CDoubleMatrix(const CDoubleMatrix&);
    CDoubleMatrix& operator=(const CDoubleMatrix&);
    double** m_p;
    long32 m_rows, m_cols;
};

// Sorts w[low..high] ascending in place (quicksort, pivot w[low]); n is the
// largest index the upward scan may reach.
void sortQK(long32 low, long32 high, long32 n, double* w);
void swapQK(long32 i, long32 j, double* w);

// ---------------------------------------------------------------- ODP kernels
// Sums of Gaussian likelihood kernels over reference genes, from sufficient
// statistics: xx[i] the sum of squares of gene i, xk[i + g*mi] its sum over the
// arrays of group g. Each kernel clears scr[0..mi-1] and adds one term per
// reference gene in ascending order.
//   odp1, odp3: alternative model, group means mu (mj x k), sd sigma[j]
//   odp2:       null model, sd sigma[nii[j]]
//   odp4:       null model, sd sigma[j]
// The genes go through the vector exp of the active level of lumo::simd
// (OdpInstructionSet); each gene's sum is the same whichever genes share its
// vector.
//
// Progress: the value behind currentStart advances by exactly the matching
// odp*t estimate. One report (id 6) at entry, then reports (id 7) at least
// every 200000 (gene, reference gene) pairs of each thread; maxStart is read
// once.
//
// Threads: every kernel takes the pool of its caller (a job's, built once per
// run, or an entry's). With more than one thread the genes are split over it
// in chunks of fixed size, so every sum is bit-identical for any thread count.
// The callback is only ever called on the thread that calls the kernel.
void odp1(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool& pool);
void odp2(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool& pool);
void odp3(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool& pool);
void odp4(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart, lumo::CWorkerPool& pool);
// Work units of the kernels above: 1834 + 10 mi + 367 mj + c mi mj.
double odp1t(long32 mi, long32 mj, long32 n, long32 k);
double odp2t(long32 mi, long32 mj, long32 n, long32 k);
double odp3t(long32 mi, long32 mj, long32 n, long32 k);
double odp4t(long32 mi, long32 mj, long32 n, long32 k);
// ODP statistics of B bootstrap null data sets: the residuals res (m0 x n) of
// the null genes are resampled by columns (vv, B x n), rescaled to each gene's
// fitted sd and scored with odp3 / odp4; scr[i + h*m0] receives the statistic
// of null gene i in iteration h. currentStart and maxStart may be null. Every
// iteration reports at least twice (the kernels' entry reports), so a stop
// request lands within one iteration even when m0 = 0. A failed work-array
// allocation throws std::bad_alloc. The pool also resamples.
void nullODP(long32 m, long32 m0, long32 n, long32 k, long32 B, double* res, double* mu, double* sigma, double* sigma0,
             int* vv, int* ID, int* nii, int* nGrp, double* scr, update_progress_routine* callback, void* callbackArg,
             double* currentStart, double* maxStart, lumo::CWorkerPool& pool);
// odp3 and odp4 with one reference gene left out of every gene's sum: gene i
// skips reference gene self[i] (a negative entry skips none). Same progress,
// instruction sets and thread rules as the kernels above.
void odp3x(long32 mi, long32 mj, long32 n, long32 k, const double* xx, const double* xk, const double* mu,
           const double* sigma, const int* nGrp, const int* self, double* scr, update_progress_routine* callback,
           void* callbackArg, double* currentStart, double* maxStart, lumo::CWorkerPool& pool);
void odp4x(long32 mi, long32 mj, long32 n, const double* xx, const double* sigma, const int* self, double* scr,
           update_progress_routine* callback, void* callbackArg, double* currentStart, double* maxStart,
           lumo::CWorkerPool& pool);

// A scaled inverse-chi-square prior of a gene's variance: df prior degrees of
// freedom (0: no prior, the variance is the gene's own estimate; +Inf: every
// gene has variance var) and scale var. With d residual degrees of freedom and
// residual sum of squares ss, a gene's posterior variance is
// (df * var + ss) / (df + d).
struct COdpVariancePrior
{
    double df;
    double var;
};
double OdpPosteriorVariance(const COdpVariancePrior& prior, double ss, double d);

// ODP statistics of B null data sets drawn from the fitted variances, each
// gene scored as the observed genes are. For null gene i (gene nii[i]) in
// iteration h:
//   - its variance v is drawn from its posterior under the prior `draw` given
//     its residual sum of squares rss[i] (n - k degrees of freedom):
//     v = (draw.df * draw.var + rss[i]) / chi2(draw.df + n - k);
//   - its null data are x = sqrt(v) (z - mean(z)), z standard normal (n);
//   - its statistic is the alternative-model sum over every other gene's
//     model (mu, sigma; gene nii[i]'s own left out) plus the likelihood of x
//     under its own fit (group means, sd from OdpPosteriorVariance(alt, RSS of
//     x, n - k)), over the null-model sum over every other null gene (sd
//     sigma0[l], l != i) plus the likelihood of x under its own null fit (sd
//     from OdpPosteriorVariance(null, sum of squares of x, n - 1)).
// The observed statistic of a gene is the same sum with its own fits, which
// are the models (mu, sigma, sigma0) of the gene itself.
// keys (B x 2, column-major) fix the random streams: iteration h draws gene
// nii[i] from the stream (keys[h], keys[h + B], nii[i]), so the null data
// depend neither on the thread count nor on the other genes. ID (n x k) is the
// group indicator, nGrp the group sizes. scr[i + h*m0] receives the
// statistic. Progress as nullODP (the units of odp3t and odp4t per iteration).
//
// A design with covariates comes in coordinates (dims > 0): the data are the
// residuals of the null fit, a space of dims dimensions (dims <= n; n, the
// power of the likelihoods, is then usually dims itself), and the k "groups"
// are orthonormal coordinates of the alternative's part of it (nGrp all 1, ID
// unread). Null data are then z standard normal (dims) times sqrt(v): the
// first k entries their coordinates, the residual degrees of freedom
// dims - k (in place of n - k) and dims (in place of n - 1).
// rss1, when not null, receives in rss1[i + h*m0] the residual sum of squares
// of those null data about their group means (the one their own alternative
// fit is moderated with).
void nullODPDraw(long32 m, long32 m0, long32 n, long32 k, long32 B, const double* rss, const double* mu,
                 const double* sigma, const double* sigma0, const int* ID, const int* nii, const int* nGrp,
                 const COdpVariancePrior& draw, const COdpVariancePrior& alt, const COdpVariancePrior& null,
                 const int* keys, double* scr, update_progress_routine* callback, void* callbackArg,
                 double* currentStart, double* maxStart, lumo::CWorkerPool& pool, long32 dims = 0, double* rss1 = 0);

// Kept for callers of the old interface; does nothing.
void odp(double* xx, double* xk, double* mu, double* sigma, long32* m, long32* n, long32* k, int* nGrp, long32* null,
         long32* m0, int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
         double* maxStart);

namespace lumo
{
// The instruction set the ODP kernels' exp runs with at the active level of
// lumo::simd: "scalar" (the C library's exp, one gene at a time) or that of
// the vector path ("AVX3", "AVX2", "SSE4", "NEON", ...).
const char* OdpInstructionSet();
} // namespace lumo

// ---------------------------------------------------------------- time-course kernels
// F statistics of a full model (H1) against a null model (H0), both n x n
// linear smoothers: the fit of gene i is fit[i][j] = sum over l of
// dat[i][l] * H[j][l], and F = rss0 / rss1 - 1. Matrices are 0-based row
// pointers (matrix()); sizes are passed by address. Progress goes out with
// message id 8.
//
// Longitudinal designs: nGrp[l] observations per individual l (N of them,
// summing to n); walking the individuals in order gives the running position
// c = 0..n-1, and idx[c] is the data column of position c.

// Fits, residual sums of squares and F for independent observations. Adds
// into fit1, fit0, rss1 and rss0 (the caller clears them). pCurrent and pMax
// may be null; the callback is called at the first step and every 1000th.
void FNoEM(double** dat, double** H1, double** H0, double** fit1, double** fit0, double* rss1, double* rss0, long32* m,
           long32* n, double* F, update_progress_routine* callback, void* callbackArg, double* pCurrent, double* pMax);

// Most EM iterations EMFitPool performs; a gene list that has not settled by then
// is left as it stands.
const long32 kEMFitMaxIterations = 1000000;

// Random-intercept fit of every gene by EM, until at most one gene's
// log-likelihood proxy still changes by more than *eps between iterations,
// with the genes spread over the workers of pool; the result is the same for
// any number of workers. On return fit holds the fitted curves, alpha (m x n)
// each observation's intercept; *iter is 1 + the iterations performed. No
// progress of its own is reported: stop checks go through progress (may be
// null, owned by the calling thread) after a bounded amount of work.
void EMFitPool(double** dat, double** H, int* idx, double* eps, double** fit, double** alpha, double** datC, double* gm,
               double** A0, double** AA0, double** AA, double* lik0, double* lik, double* tau, double* sig, long32* EM,
               double* atmp, long32* m, long32* n, long32* N, int* nGrp, long32* iter, lumo::CWorkerPool& pool,
               lumo::CSharedProgress* progress);

// Genes the EM iterates side by side on one thread: those of the widest
// vectors of the active level of lumo::simd (2, 4 or 8). Results do not
// depend on it.
int EMLaneWidth();

// EM fits of the full and the null model and F from the residuals after the
// curve and the intercepts are removed, both fits spread over the workers of
// pool. Adds into rss1 and rss0; advances current by 2, reporting after each
// fit, only from the calling thread. pMax (default 2) and pCurrent may be
// null. Both fits share the work arrays datC..atmp.
void FEMPool(double** dat, double** H1, double** H0, int* idx, double* eps, double** fit1, double** fit0,
             double** alpha1, double** alpha0, double* rss1, double* rss0, double** datC, double* gm, double** A0,
             double** AA0, double** AA, double* lik0, double* lik, double* tau, double* sig, long32* EM, double* atmp,
             long32* m, long32* n, long32* N, int* nGrp, double* F, update_progress_routine* callback,
             void* callbackArg, double* pMax, double* pCurrent, lumo::CWorkerPool& pool);

// EMFitPool on R's column-major arrays (datR m x n, HR n x n; fitR and alphaR
// m x n outputs), over the workers of pool. fitR is zero wherever no fit was
// computed. Sizes are not checked here: see CheckEMFitArguments. Throws
// std::bad_alloc when the work arrays cannot be allocated. With a callback,
// it is called on the calling thread, with unchanged figures, after a bounded
// amount of work and while the thread waits for the others; what it throws (a
// stop request) ends the fit and leaves fitR and alphaR unspecified.
void EMFitColumnMajor(double* datR, double* HR, int* ind, int* idx, double* eps, double* fitR, double* alphaR,
                      long32* m, long32* n, long32* N, int* nGrp, long32* iter, lumo::CWorkerPool& pool,
                      update_progress_routine* callback = 0, void* callbackArg = 0);

// Null if EMFitColumnMajor may run on these arguments (eps a positive finite
// number; m, n, N >= 0, N <= n, nGrp[0..N-1] >= 0 summing to n, idx[0..n-1]
// in 0..n-1); otherwise the reason. Writes at most size characters into buf.
const char* CheckEMFitArguments(const long32* m, const long32* n, const long32* N, const int* nGrp, const int* idx,
                                const double* eps, char* buf, int size);

// Bootstrap null F statistics, B iterations over all m genes. Inputs are R's
// column-major arrays; F (m x B) receives F[i + k*m] for gene i in iteration
// k; v and v1 hold 0-based column numbers (B rows). Indices are not checked.
// The work is spread over the workers of pool with the same F for any number;
// the callback is called only from the calling thread. The independent and
// no-intercept designs report the exact work done, pair by pair of
// (iteration, gene), after every chunk of pairs.
//
// With rss1 given, rss1[i + k m] receives the residual sum of squares of the
// alternative fit that enters F[i + k m].
//
// Independent samples: null data fit[i][j] + res[i][v[k][j]], F by FNoEM.
void nullFIndep(double* fitR, double* resR, int* vR, double* H1R, double* H0R, long32* m, long32* n, long32* B,
                double* F, update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool,
                double* rss1 = 0);

// Longitudinal without intercept: resR holds m x (n - N) reduced residuals,
// rebuilt per gene through wsq ((n - N) x (n - N)) into the columns inc,
// then each individual's balancing column rmv[l] receives minus the sum of
// its residuals. vR is B x (n - N).
void nullFLongNoInt(double* fitR, double* resR, int* vR, int* rmv, int* inc, double* H1R, double* H0R, double* wsqR,
                    int* ind, int* idx, long32* m, long32* n, long32* N, int* nGrp, long32* B, double* F,
                    update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool, double* rss1 = 0);

// Longitudinal with random intercept: null data (fit + res[v]) + alpha[v1],
// F by FEMPool with threshold *eps. Progress: maximum 2B, 2 per iteration.
void nullFLongInt(double* fitR, double* resR, int* vR, int* v1R, double* H1R, double* H0R, double* alphaR, int* ind,
                  int* idx, double* eps, long32* m, long32* n, long32* N, int* nGrp, long32* B, double* F,
                  update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool, double* rss1 = 0);

// Longitudinal with random intercept, every gene fitted on its own by maximum
// likelihood (InterceptFit.h): null data (fit + res[v]) + alpha[v1] as
// nullFLongInt builds them, then F = rss0 / rss1 - 1 from the fits on X1R
// (n x p1) and X0R (n x p0), column-major, both of full column rank. Walking
// the individuals in order, position c (nGrp[l] per individual) is array
// idx[c]; idx must name every array once. Progress as nullFIndep: pair by
// pair, n (p1 + p0 + 2) units each.
void nullFLongIntML(double* fitR, double* resR, int* vR, int* v1R, double* alphaR, const double* X1R, long32 p1,
                    const double* X0R, long32 p0, int* idx, long32* m, long32* n, long32* N, int* nGrp, long32* B,
                    double* F, update_progress_routine* callback, void* callbackArg, lumo::CWorkerPool& pool,
                    double* rss1 = 0);

#endif
