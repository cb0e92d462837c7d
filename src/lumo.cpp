#include "lumo.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

// ---------------------------------------------------------------- offset arrays

namespace
{
const long32 kSpare = 1; // spare element in front of every block

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
        std::printf("\n allocation failure in %s\n", name);
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
    T** m = (T**)std::malloc((nrow + kSpare) * sizeof(T*));
    if (m == 0) {
        std::printf("allocation fialure\n");
        return 0;
    }
    m = m + kSpare - nrl;
    T* block = (T*)std::malloc((nrow * ncol + kSpare) * sizeof(T));
    if (block == 0) {
        std::printf("allocation fialure\n");
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
const long32 kOdpReportEvery = 200000;

double OdpUnits(long32 mi, long32 mj, double pairUnits)
{
    return kOdpEntryUnits + kOdpGeneUnits * (double)mi + kOdpReferenceUnits * (double)mj +
           pairUnits * (double)mi * (double)mj;
}

// The frame shared by the four kernels. The per-reference-gene factors are
// computed once per j; each (i, j) pair costs a k-term dot product (alternative
// model only) and one exp.
template <OdpModel Model>
void OdpSum(long32 mi, long32 mj, long32 n, long32 k, const double* xx, const double* xk, const double* mu,
            const double* sigma, const int* nGrp, const int* nii, double* scr, update_progress_routine* callback,
            void* callbackArg, double* currentStart, const double* maxStart, double pairUnits)
{
    const double max = *maxStart;
    double current = *currentStart + kOdpEntryUnits;
    current = (double)mi * kOdpGeneUnits + current;
    do_callback(callback, callbackArg, max, current, 6);

    for (long32 i = 0; i < mi; i++)
        scr[i] = 0.0;

    long32 iCurrent = 0;
    for (long32 j = 0; j < mj; j++) {
        current = current + kOdpReferenceUnits;
        const double s = Model == kNullByGene ? sigma[nii[j]] : sigma[j];
        const double w = Model == kAlternative ? std::pow(1.0 / s, (double)n) : std::pow(s, -(double)n);
        const double c = -0.5 / (s * s);
        double s3 = 0.0;
        if (Model == kAlternative) {
            for (long32 g = 0; g < k; g++) {
                const double muj = mu[j + (size_t)g * mj];
                s3 = s3 + muj * ((double)nGrp[g] * muj);
            }
        }
        for (long32 i = 0; i < mi; i++) {
            current = current + pairUnits;
            if (iCurrent > kOdpReportEvery) {
                do_callback(callback, callbackArg, max, current, 7);
                iCurrent = 0;
            }
            double e;
            if (Model == kAlternative) {
                double s2 = 0.0;
                for (long32 g = 0; g < k; g++)
                    s2 = s2 + (2.0 * xk[i + (size_t)g * mi]) * mu[j + (size_t)g * mj];
                e = c * (s3 + (xx[i] - s2));
            } else {
                e = c * xx[i];
            }
            scr[i] = w * std::exp(e) + scr[i];
            iCurrent++;
        }
    }
    *currentStart = current;
}

const double kOdp1PairUnits = 445.0;
const double kOdp2PairUnits = 386.0;
const double kOdp3PairUnits = 445.0;
const double kOdp4PairUnits = 373.0;
} // namespace

void odp1(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart)
{
    OdpSum<kAlternative>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart,
                         maxStart, kOdp1PairUnits);
}

void odp2(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart)
{
    OdpSum<kNullByGene>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart,
                        maxStart, kOdp2PairUnits);
}

void odp3(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart)
{
    OdpSum<kAlternative>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart,
                         maxStart, kOdp3PairUnits);
}

void odp4(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart)
{
    OdpSum<kNull>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, nii, scr, callback, callbackArg, currentStart, maxStart,
                  kOdp4PairUnits);
}

double odp1t(long32 mi, long32 mj, long32, long32) { return OdpUnits(mi, mj, kOdp1PairUnits); }
double odp2t(long32 mi, long32 mj, long32, long32) { return OdpUnits(mi, mj, kOdp2PairUnits); }
double odp3t(long32 mi, long32 mj, long32, long32) { return OdpUnits(mi, mj, kOdp3PairUnits); }
double odp4t(long32 mi, long32 mj, long32, long32) { return OdpUnits(mi, mj, kOdp4PairUnits); }

void nullODP(long32 m, long32 m0, long32 n, long32 k, long32 B, double* res, double* mu, double* sigma,
             double* sigma0, int* vv, int* ID, int* nii, int* nGrp, double* scr, update_progress_routine* callback,
             void* callbackArg, double* currentStart, double* maxStart)
{
    double max = maxStart != 0 ? *maxStart : (double)m0 * (double)(m + m0) * (double)B;
    double current = currentStart != 0 ? *currentStart : 0.0;

    // Work arrays for all B iterations; the owners release them also when a
    // stop request unwinds this kernel.
    CDoubleVector num(m), den(m), dat0(m * n), xx(m), xk(m * k), mu0(m0), sigmasc(m0);
    const size_t rows = m0 > 0 ? (size_t)m0 : 0;

    for (long32 h = 0; h < B; h++) {
        if (m0 > 0) {
            for (long32 i = 0; i < m0; i++) {
                xx[i] = 0.0;
                mu0[i] = 0.0;
                sigmasc[i] = 0.0;
                for (long32 g = 0; g < k; g++)
                    xk[i + g * rows] = 0.0;
            }
            // Resample whole array columns; centre on the resampled mean when
            // there are groups to compare.
            for (long32 i = 0; i < m0; i++) {
                for (long32 j = 0; j < n; j++) {
                    const double v = res[i + rows * (size_t)vv[h + (size_t)j * B]];
                    dat0[i + j * rows] = v;
                    mu0[i] = v / (double)n + mu0[i];
                }
                if (k > 1) {
                    for (long32 j = 0; j < n; j++)
                        dat0[i + j * rows] = dat0[i + j * rows] - mu0[i];
                }
            }
            for (long32 i = 0; i < m0; i++) {
                for (long32 j = 0; j < n; j++) {
                    const double d = k > 1 ? dat0[i + j * rows] : dat0[i + j * rows] - mu0[i];
                    sigmasc[i] = sigmasc[i] + d * d;
                }
                sigmasc[i] = std::sqrt(sigmasc[i] / (double)(n - 1));
            }
            // Rescale each resampled gene to the fitted sd of the gene it stands for.
            for (long32 i = 0; i < m0; i++) {
                const double target = sigma[nii[i]];
                for (long32 j = 0; j < n; j++)
                    dat0[i + j * rows] = (dat0[i + j * rows] * target) / sigmasc[i];
            }
            for (long32 i = 0; i < m0; i++) {
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
        }
        odp3(m0, m, n, k, xx, xk, mu, sigma, nGrp, nii, num, callback, callbackArg, &current, &max);
        odp4(m0, m0, n, k, xx, xk, mu, sigma0, nGrp, nii, den, callback, callbackArg, &current, &max);
        if (m0 > 0) {
            for (long32 i = 0; i < m0; i++)
                scr[(size_t)h * rows + i] = num[i] / den[i];
        }
    }

    if (currentStart != 0)
        *currentStart = current;
}

void odp(double*, double*, double*, double*, long32*, long32*, long32*, int*, long32*, long32*, int*, double*,
         update_progress_routine*, void*, double*, double*)
{
}

// ---------------------------------------------------------------- time-course kernels
