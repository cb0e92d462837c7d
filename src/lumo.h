#ifndef LUMO_LUMO_H
#define LUMO_LUMO_H

#include <cstdint>

#include "threads/ProgressThreadDef.h"

// R's integer: every size and index the kernels exchange with R is 32-bit signed.
typedef std::int32_t long32;

// ---------------------------------------------------------------- offset arrays
// vector(nl, nh) returns p valid for p[nl..nh]; matrix(nrl, nrh, ncl, nch)
// returns row pointers p[nrl..nrh] into one contiguous row-major block, valid
// for p[i][ncl..nch]. Each block has one spare element in front. On failure a
// message is printed and null is returned. The kernels allocate 0-based.

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

class CLongMatrix
{
public:
    CLongMatrix(long32 rows, long32 cols);
    ~CLongMatrix();
    long32** get() const { return m_p; }
    operator long32**() const { return m_p; }

private:
    CLongMatrix(const CLongMatrix&);
    CLongMatrix& operator=(const CLongMatrix&);
    long32** m_p;
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
// reference gene in ascending order. Progress advances the value behind
// currentStart by exactly the matching odp*t estimate (id 6 at entry, id 7
// every 200000 pairs); maxStart is read once.
//   odp1, odp3: alternative model, group means mu (mj x k), sd sigma[j]
//   odp2:       null model, sd sigma[nii[j]]
//   odp4:       null model, sd sigma[j]
void odp1(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart);
void odp2(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart);
void odp3(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart);
void odp4(long32 mi, long32 mj, long32 n, long32 k, double* xx, double* xk, double* mu, double* sigma, int* nGrp,
          int* nii, double* scr, update_progress_routine* callback, void* callbackArg, double* currentStart,
          double* maxStart);
// Work units of the kernels above: 1834 + 10 mi + 367 mj + c mi mj.
double odp1t(long32 mi, long32 mj, long32 n, long32 k);
double odp2t(long32 mi, long32 mj, long32 n, long32 k);
double odp3t(long32 mi, long32 mj, long32 n, long32 k);
double odp4t(long32 mi, long32 mj, long32 n, long32 k);
// ODP statistics of B bootstrap null data sets: the residuals res (m0 x n) of
// the null genes are resampled by columns (vv, B x n), rescaled to each gene's
// fitted sd and scored with odp3 / odp4; scr[i + h*m0] receives the statistic
// of null gene i in iteration h. currentStart and maxStart may be null. A
// failed work-array allocation throws std::bad_alloc.
void nullODP(long32 m, long32 m0, long32 n, long32 k, long32 B, double* res, double* mu, double* sigma,
             double* sigma0, int* vv, int* ID, int* nii, int* nGrp, double* scr, update_progress_routine* callback,
             void* callbackArg, double* currentStart, double* maxStart);
// Kept for callers of the old interface; does nothing.
void odp(double* xx, double* xk, double* mu, double* sigma, long32* m, long32* n, long32* k, int* nGrp, long32* null,
         long32* m0, int* nii, double* scr, update_progress_routine* callback, void* callbackArg,
         double* currentStart, double* maxStart);

// ---------------------------------------------------------------- time-course kernels

#endif
