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

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumo.h"

extern "C" {

// Imputes the missing entries of the rows flagged in irmiss: each one becomes
// the mean of its column over the row's kn nearest neighbour rows: the kn
// rows other than itself at the smallest distances, ties going to the earlier
// row (the row itself is left out by its number, so a duplicate of it is a
// neighbour like any other). Writes
// ximp and imiss. The flagged rows are shared out over
// lumo::DefaultThreadCount() threads; every row is computed by one thread in
// the same way, so the result does not depend on the thread count. workp,
// workn, iworkp and iworkn belong to the calling convention and are left
// untouched: the routine keeps its own work space (a row-major copy of x with
// its presence flags, about 9 p n bytes, and 8 p doubles per thread).
// Its indicators in imiss must be 0 (present) or 1 (missing) on entry.
// On arguments outside p, n >= 0, 0 <= kn <= p - 1 and those indicators, or
// a shortage of memory for the work space, it returns without writing
// anything; callers that must tell (R's routine knnimp) check the arguments
// with KnnimpArgsValid and run lumo::KnnImpute.
void knnimp(const double* x, double* ximp, const long32* p, const long32* n, long32* imiss, const long32* irmiss,
            const long32* kn, double* workp, double* workn, long32* iworkp, long32* iworkn);

// Splits the p rows of x into two clusters by a two-means iteration started
// from rows istart(1) and istart(2). Arguments outside p, n >= 0 and
// 1 <= istart(c) <= p make it return without writing anything (check them
// with TwomisArgsValid).
void twomis(const double* x, const long32* p, const long32* n, const long32* imiss, double* x0, long32* imiss0,
            long32* maxit, const double* eps, const long32* istart, long32* clust, long32* nsize, double* dist,
            double* ratio, long32* iter, long32* iworkp, long32* iworkn);

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
void misave(const double* x, double* x0, const long32* p, const long32* n, long32* imiss0, const long32* imiss,
            const long32* index, const long32* m);
}

// ---------------------------------------------------------------- distance kernels
namespace lumo
{

// Target rows whose distances one pass over the data computes.
const int KNN_BLOCK = 8;

// Row-major copy of a column-major p x n matrix with its indicators, read by
// every worker: the values (0 where missing), a presence flag per entry (1
// where the indicator is <= 0) and the presence flags of each row as bits.
class CKnnRows
{
public:
    // Throws std::bad_alloc when the copy does not fit.
    CKnnRows(const double* x, const long32* imiss, long32 p, long32 n);

    long32 Rows() const { return m_iRows; }
    long32 Cols() const { return m_iCols; }
    // Row i (0-based): n values, n flags, Words() bit words.
    const double* Values(long32 i) const { return m_values.data() + (std::size_t)i * m_iCols; }
    const unsigned char* Present(long32 i) const { return m_present.data() + (std::size_t)i * m_iCols; }
    const uint64_t* Bits(long32 i) const { return m_bits.data() + (std::size_t)i * m_iWords; }
    int Words() const { return m_iWords; }

private:
    long32 m_iRows;
    long32 m_iCols;
    int m_iWords;
    std::vector<double> m_values;
    std::vector<unsigned char> m_present;
    std::vector<uint64_t> m_bits;
};

// Instruction set of the distance kernels at the active level of lumo::simd
// ("scalar", "SSE4", "AVX2", ...). All of them give the same bits.
const char* KnnKernelName();

// Distances of every row of x to the vector x0 as misdis computes them, with
// 0-based arrays; shared receives the numbers of shared columns.
void KnnColumnDistances(const double* x0, const double* x, long32 p, long32 n, const long32* imiss0,
                        const long32* imiss, double* dis, long32* shared);

// Work space of one worker: the distances of every row to up to KNN_BLOCK
// target rows at a time. Each distance is the sum of the squared differences
// over the columns both rows have, added in column order, divided by their
// number (1.0e10 when there is none): the same terms in the same order as the
// one-row loop of misdis, hence the same bits.
class CKnnBlock
{
public:
    // Throws std::bad_alloc when the work space does not fit.
    explicit CKnnBlock(const CKnnRows& rows);

    // Distances of every row to the target rows targets[0..count), 0-based,
    // count <= KNN_BLOCK.
    void Compute(const long32* targets, int count);
    // The p distances to target t of the last Compute.
    const double* Distances(int t) const { return m_dist.data() + (std::size_t)t * m_rows.Rows(); }

private:
    const CKnnRows& m_rows;
    std::vector<double> m_target; // n x KNN_BLOCK: target values by column
    std::vector<uint64_t> m_mask; // n x KNN_BLOCK: all ones where the target has the column
    std::vector<uint64_t> m_bits; // KNN_BLOCK x words: presence bits of the targets
    std::vector<double> m_dist;   // KNN_BLOCK x p
};

// The imputation of knnimp on the threads of pool, for callers that check the
// arguments themselves (KnnimpArgsValid) and handle failures: throws
// std::bad_alloc, before anything is written, when the work space does not
// fit. ximp must hold a copy of x. With a callback, it is called on the
// calling thread after blocks of target rows and while it waits for the other
// threads; what it throws (a stop request) ends the imputation, with ximp and
// imiss partly written.
void KnnImpute(const double* x, double* ximp, long32 p, long32 n, long32* imiss, const long32* irmiss, long32 kn,
               CWorkerPool& pool, update_progress_routine* callback = 0, void* callbackArg = 0);

} // namespace lumo

// ---------------------------------------------------------------- argument checks
// Each returns true when the sizes are acceptable; otherwise it writes a
// message naming the offending argument into msg (at most msgSize bytes) and
// returns false.
bool KnnimpArgsValid(long32 p, long32 n, long32 kn, const long32* imiss, char* msg, int msgSize);
bool TwomisArgsValid(long32 p, long32 n, const long32* istart, char* msg, int msgSize);

#endif
