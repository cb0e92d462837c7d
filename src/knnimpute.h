#ifndef LUMO_KNNIMPUTE_H
#define LUMO_KNNIMPUTE_H

// k-nearest-neighbour imputation of missing values and a two-means split of
// rows that tolerates missing values.
//
// The routines follow the calling convention of R's .Fortran: every argument
// is passed by address, matrices are column-major with 1-based indices
// (x(i, j) is x[(i - 1) + (j - 1) * p]), integers are 32-bit and reals are
// doubles. Indicator entries <= 0 mean present, > 0 missing; 2 marks a missing
// entry that nothing could fill. The routines allocate nothing and keep no
// state.

#include "lumo.h"

extern "C" {

// Imputes the missing entries of the rows flagged in irmiss: each one becomes
// the mean of its column over the row's kn nearest neighbour rows. Writes
// ximp and imiss; workp (p), workn (max(n, kn + 1)), iworkp (p) and iworkn (n)
// are work arrays. Arguments outside p, n >= 0 and 0 <= kn <= p - 1 are
// reported through the error handler and nothing is written.
void knnimp(const double* x, double* ximp, const long32* p, const long32* n, long32* imiss,
            const long32* irmiss, const long32* kn, double* workp, double* workn, long32* iworkp,
            long32* iworkn);

// Splits the p rows of x into two clusters by a two-means iteration started
// from rows istart(1) and istart(2). Arguments outside p, n >= 0 and
// 1 <= istart(c) <= p are reported through the error handler and nothing is
// written.
void twomis(const double* x, const long32* p, const long32* n, const long32* imiss, double* x0,
            long32* imiss0, long32* maxit, const double* eps, const long32* istart, long32* clust,
            long32* nsize, double* dist, double* ratio, long32* iter, long32* iworkp, long32* iworkn);

// Distances of every row of x to the target row x0 into dis(1..p): the mean
// squared difference over the columns both have, 1.0e10 when they share none.
// iworkp(1..p) receives the number of shared columns.
void misdis(const double* x0, const double* x, const long32* p, const long32* n, const long32* imiss0,
            const long32* imiss, double* dis, long32* iworkp);

// Stable partial ordering: the kn smallest of dist(1..ntr), ascending, into
// nndist(1..kn) and their indices into pos(1..kn). Ties keep the earlier index.
void porder(const long32* kn, const double* dist, const long32* ntr, long32* pos, double* nndist);

// Fills the columns of x0 whose indicator in imiss0 is not 0 with the mean of
// the present values of rows index(1..m) of x; sets the indicator to 2 where
// there is none.
void misave(const double* x, double* x0, const long32* p, const long32* n, long32* imiss0,
            const long32* imiss, const long32* index, const long32* m);
}

// ---------------------------------------------------------------- argument checks
// Each returns true when the sizes are acceptable; otherwise it writes a
// message naming the offending argument into msg (at most msgSize bytes) and
// returns false.
bool KnnimpArgsValid(long32 p, long32 n, long32 kn, char* msg, int msgSize);
bool TwomisArgsValid(long32 p, long32 n, const long32* istart, char* msg, int msgSize);

// Receives the message of a rejected call. The R build installs a handler that
// raises it as an R error (and does not return); without a handler the call
// simply returns without writing anything.
typedef void (*KnnErrorHandler)(const char* msg);
void SetKnnErrorHandler(KnnErrorHandler handler);

#endif
