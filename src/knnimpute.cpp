#include "knnimpute.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "simd/Simd.h"
#include "threads/WorkerPool.h"

namespace
{
// Distance of a row that shares no present column with the target row.
const double UNREACHABLE = 1.0e10;

// 1-based element (i, j) of a column-major matrix with ld rows.
inline std::ptrdiff_t At(long32 i, long32 j, long32 ld)
{
    return (std::ptrdiff_t)(i - 1) + (std::ptrdiff_t)(j - 1) * ld;
}

// v where mask is all ones, +0.0 where it is 0: a select without a branch,
// which also keeps a product in v from being fused into a following add.
inline double Masked(double v, uint64_t mask)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits &= mask;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

} // namespace

// Matrix sizes of both routines: neither may be negative.
static bool SizesValid(long32 p, long32 n, char* msg, int msgSize)
{
    if (p < 0) {
        std::snprintf(msg, msgSize, "'p' is %d; it must not be negative", (int)p);
        return false;
    }
    if (n < 0) {
        std::snprintf(msg, msgSize, "'n' is %d; it must not be negative", (int)n);
        return false;
    }
    return true;
}

bool KnnimpArgsValid(long32 p, long32 n, long32 kn, const long32* imiss, char* msg, int msgSize)
{
    if (!SizesValid(p, n, msg, msgSize))
        return false;
    // With no rows there is nothing to impute and no neighbour list to fill.
    if (kn < 0 || (p > 0 && kn > p - 1)) {
        std::snprintf(msg, msgSize, "'kn' is %d; it must lie between 0 and p - 1 (p is %d)", (int)kn, (int)p);
        return false;
    }
    // Rows are imputed side by side from one copy of the indicators, so an
    // entry's indicator may not change its meaning while they are: it is 0
    // (present) or 1 (missing), never another value such as -1 or 2.
    const size_t count = (size_t)p * (size_t)n;
    for (size_t k = 0; k < count; k++) {
        if (imiss[k] != 0 && imiss[k] != 1) {
            std::snprintf(msg, msgSize, "'imiss' is %d at row %d, column %d; it must be 0 (present) or 1 (missing)",
                          (int)imiss[k], (int)(k % (size_t)p) + 1, (int)(k / (size_t)p) + 1);
            return false;
        }
    }
    return true;
}

bool TwomisArgsValid(long32 p, long32 n, const long32* istart, char* msg, int msgSize)
{
    if (!SizesValid(p, n, msg, msgSize))
        return false;
    for (int c = 0; c < 2; c++) {
        if (istart[c] < 1 || istart[c] > p) {
            std::snprintf(msg, msgSize, "'istart[%d]' is %d; it must be a row number between 1 and p (p is %d)", c + 1,
                          (int)istart[c], (int)p);
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- distance kernels
namespace
{
// Distances of every row to the targets of a block. target/mask: n x
// KNN_BLOCK, by column; bits: KNN_BLOCK x words, the targets' presence bits;
// dist: KNN_BLOCK x p, one row of distances per target.
typedef void DistanceKernel(const double* target, const uint64_t* mask, const uint64_t* bits,
                            const lumo::CKnnRows& rows, double* dist);

// W lanes of doubles and of their bit patterns.
template <int W> struct CLanes
{
    typedef double Real __attribute__((vector_size(8 * W)));
    typedef uint64_t Bits __attribute__((vector_size(8 * W)));
    typedef int64_t Wide __attribute__((vector_size(8 * W)));
    typedef long32 Narrow __attribute__((vector_size(4 * W)));
};

// The targets lie across the lanes; the rows and, inside each row, the columns
// are walked in order, so every lane adds its terms in ascending column order.
// A term that either row lacks is cleared to +0.0 by a bit mask, which leaves
// the sum's bits unchanged (sums are >= +0.0 or NaN); the mask also keeps the
// compiler from fusing the multiply into the add. The number of shared
// columns comes from the presence bits.
template <int W>
inline __attribute__((always_inline)) void BlockDistances(const double* target, const uint64_t* mask,
                                                          const uint64_t* bits, const lumo::CKnnRows& rows,
                                                          double* dist)
{
    typedef typename CLanes<W>::Real Real;
    typedef typename CLanes<W>::Bits Bits;
    const int B = lumo::KNN_BLOCK;
    const int K = B / W;
    const long32 p = rows.Rows();
    const long32 n = rows.Cols();
    const int words = rows.Words();
    for (long32 i = 0; i < p; i++) {
        const double* xi = rows.Values(i);
        const unsigned char* pi = rows.Present(i);
        Real acc[K];
        for (int k = 0; k < K; k++)
            acc[k] = Real{};
        for (long32 j = 0; j < n; j++) {
            const double xij = xi[j];
            const uint64_t rowMask = -(uint64_t)pi[j];
            for (int k = 0; k < K; k++) {
                Real t;
                Bits m;
                std::memcpy(&t, target + (size_t)j * B + k * W, sizeof t);
                std::memcpy(&m, mask + (size_t)j * B + k * W, sizeof m);
                const Real d = t - xij;
                const Real sq = d * d;
                acc[k] += (Real)((Bits)sq & (m & rowMask));
            }
        }
        const uint64_t* bi = rows.Bits(i);
        double sums[B];
        std::memcpy(sums, acc, sizeof sums);
        for (int t = 0; t < B; t++) {
            long32 shared = 0;
            for (int w = 0; w < words; w++)
                shared += (long32)__builtin_popcountll(bi[w] & bits[(size_t)t * words + w]);
            dist[(size_t)t * p + i] = shared > 0 ? sums[t] / shared : UNREACHABLE;
        }
    }
}

} // namespace

namespace
{
// Sums of squared differences of every row of x (column-major, p x n) to one
// target x0 and the numbers of shared columns. The rows lie across the lanes;
// columns the target lacks are skipped, and an entry a row lacks adds +0.0
// through a bit mask, so each row adds its terms in column order as the plain
// loop does.
template <int W>
inline __attribute__((always_inline)) void ColumnSums(const double* x0, const double* x, long32 p, long32 n,
                                                      const long32* imiss0, const long32* imiss, double* sums,
                                                      long32* shared)
{
    typedef typename CLanes<W>::Real Real;
    typedef typename CLanes<W>::Bits Bits;
    typedef typename CLanes<W>::Wide Wide;
    typedef typename CLanes<W>::Narrow Narrow;
    for (long32 j = 0; j < n; j++) {
        if (imiss0[j] > 0)
            continue;
        const double a = x0[j];
        const double* xj = x + (size_t)j * p;
        const long32* mj = imiss + (size_t)j * p;
        long32 i = 0;
        for (; i + W <= p; i += W) {
            Real xv, s;
            Narrow mv, c;
            std::memcpy(&xv, xj + i, sizeof xv);
            std::memcpy(&mv, mj + i, sizeof mv);
            std::memcpy(&s, sums + i, sizeof s);
            std::memcpy(&c, shared + i, sizeof c);
            const Narrow present = mv <= 0; // -1 where present
            const Real d = a - xv;
            const Real sq = d * d;
            s += (Real)((Bits)sq & (Bits) __builtin_convertvector(present, Wide));
            c -= present;
            std::memcpy(sums + i, &s, sizeof s);
            std::memcpy(shared + i, &c, sizeof c);
        }
        for (; i < p; i++) {
            const uint64_t present = -(uint64_t)(mj[i] <= 0);
            const double d = a - xj[i];
            sums[i] += Masked(d * d, present);
            shared[i] += (long32)(present & 1);
        }
    }
}

typedef void ColumnKernel(const double* x0, const double* x, long32 p, long32 n, const long32* imiss0,
                          const long32* imiss, double* sums, long32* shared);

void ColumnSumsPlain(const double* x0, const double* x, long32 p, long32 n, const long32* imiss0, const long32* imiss,
                     double* sums, long32* shared)
{
    ColumnSums<2>(x0, x, p, n, imiss0, imiss, sums, shared);
}

void DistancesPlain(const double* target, const uint64_t* mask, const uint64_t* bits, const lumo::CKnnRows& rows,
                    double* dist)
{
    BlockDistances<2>(target, mask, bits, rows, dist);
}

} // namespace

#ifdef LUMO_HAVE_HWY
// The same kernels with the vector library, compiled for each instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/KnnDistances-inl.h"
#include <hwy/foreach_target.h>
#include "simd/KnnDistances-inl.h"

#define LUMO_KNN_KERNELS(LEVEL, QUALIFY)                                                                               \
    {                                                                                                                  \
        LEVEL, &lumo_knn::QUALIFY(BlockDistances), &lumo_knn::QUALIFY(ColumnSums)                                      \
    }
#else
#define LUMO_SIMD_ENTRIES(ENTRY)
#endif

namespace
{
struct CKernelVariant
{
    lumo::simd::Level level;
    DistanceKernel* block;
    ColumnKernel* column;
};

// Widest first; the plain code runs everywhere.
const CKernelVariant g_kernels[] = {LUMO_SIMD_ENTRIES(LUMO_KNN_KERNELS) // widest first
                                    {lumo::simd::kPortable, &DistancesPlain, &ColumnSumsPlain}};

// The variant of the active instruction-set level.
const CKernelVariant& ActiveKernel()
{
    return g_kernels[lumo::simd::Pick(g_kernels, (int)(sizeof g_kernels / sizeof g_kernels[0]))];
}
} // namespace

namespace lumo
{

const char* KnnKernelName()
{
    return simd::LevelName(ActiveKernel().level);
}

void KnnColumnDistances(const double* x0, const double* x, long32 p, long32 n, const long32* imiss0,
                        const long32* imiss, double* dis, long32* shared)
{
    for (long32 i = 0; i < p; i++) {
        dis[i] = 0.0;
        shared[i] = 0;
    }
    ActiveKernel().column(x0, x, p, n, imiss0, imiss, dis, shared);
    for (long32 i = 0; i < p; i++)
        dis[i] = shared[i] > 0 ? dis[i] / shared[i] : UNREACHABLE;
}

CKnnRows::CKnnRows(const double* x, const long32* imiss, long32 p, long32 n)
    : m_iRows(p), m_iCols(n), m_iWords((n + 63) / 64), m_values((size_t)p * n), m_present((size_t)p * n),
      m_bits((size_t)p * m_iWords, 0)
{
    // Column by column, so that x and imiss are read in order.
    for (long32 j = 0; j < n; j++) {
        const double* xj = x + (size_t)j * p;
        const long32* mj = imiss + (size_t)j * p;
        const uint64_t bit = (uint64_t)1 << (j % 64);
        for (long32 i = 0; i < p; i++) {
            const size_t ij = (size_t)i * n + j;
            const bool present = mj[i] <= 0;
            m_values[ij] = present ? xj[i] : 0.0;
            m_present[ij] = present ? 1 : 0;
            if (present)
                m_bits[(size_t)i * m_iWords + j / 64] |= bit;
        }
    }
}

CKnnBlock::CKnnBlock(const CKnnRows& rows)
    : m_rows(rows), m_target((size_t)rows.Cols() * KNN_BLOCK), m_mask((size_t)rows.Cols() * KNN_BLOCK),
      m_bits((size_t)rows.Words() * KNN_BLOCK), m_dist((size_t)rows.Rows() * KNN_BLOCK)
{}

void CKnnBlock::Compute(const long32* targets, int count)
{
    const long32 n = m_rows.Cols();
    const int words = m_rows.Words();
    // Lanes without a target get an empty mask and sum to zero.
    std::fill(m_target.begin(), m_target.end(), 0.0);
    std::fill(m_mask.begin(), m_mask.end(), 0);
    std::fill(m_bits.begin(), m_bits.end(), 0);
    for (int t = 0; t < count; t++) {
        const double* xt = m_rows.Values(targets[t]);
        const unsigned char* pt = m_rows.Present(targets[t]);
        for (long32 j = 0; j < n; j++) {
            m_target[(size_t)j * KNN_BLOCK + t] = xt[j];
            m_mask[(size_t)j * KNN_BLOCK + t] = -(uint64_t)pt[j];
        }
        std::copy(m_rows.Bits(targets[t]), m_rows.Bits(targets[t]) + words, m_bits.data() + (size_t)t * words);
    }
    ActiveKernel().block(m_target.data(), m_mask.data(), m_bits.data(), m_rows, m_dist.data());
}

} // namespace lumo

namespace
{
// One worker's share of knnimp: its distance block and the ordering and
// averaging buffers of one target row.
struct CKnnWorker
{
    lumo::CKnnBlock block;
    std::vector<double> nndist;
    std::vector<long32> pos;

    CKnnWorker(const lumo::CKnnRows& rows, long32 kn) : block(rows), nndist((size_t)kn + 1), pos((size_t)kn + 1) {}
};

// Fills the missing entries of target row i (0-based) from its neighbour rows
// nb[0..kn): for each column whose indicator is not 0, the mean of the
// neighbours that have it, in neighbour order; 0 with indicator 2 when none has.
void FillRow(const lumo::CKnnRows& rows, long32 i, const long32* nb, long32 kn, double* ximp, long32* imiss)
{
    const long32 p = rows.Rows();
    const long32 n = rows.Cols();
    for (long32 j = 0; j < n; j++) {
        const size_t ij = (size_t)i + (size_t)j * p;
        if (imiss[ij] == 0)
            continue;
        double sum = 0.0;
        long32 count = 0;
        for (long32 r = 0; r < kn; r++) {
            const long32 row = nb[r] - 1;
            if (!rows.Present(row)[j])
                continue;
            sum += rows.Values(row)[j];
            count++;
        }
        if (count > 0) {
            ximp[ij] = sum / count;
        } else {
            ximp[ij] = 0.0;
            imiss[ij] = 2;
        }
    }
}

// Imputes the flagged rows on the threads of pool. Throws std::bad_alloc, before
// anything is written, when the work space does not fit. With a callback,
// every block of target rows is reported (one unit each), and what the
// callback throws ends the imputation.
void Impute(const double* x, double* ximp, long32 p, long32 n, long32* imiss, const long32* irmiss, long32 kn,
            lumo::CWorkerPool& pool, update_progress_routine* callback = 0, void* callbackArg = 0)
{
    std::vector<long32> targets;
    for (long32 i = 0; i < p; i++)
        if (irmiss[i] != 0)
            targets.push_back(i);
    const int64_t blocks = ((int64_t)targets.size() + lumo::KNN_BLOCK - 1) / lumo::KNN_BLOCK;
    if (blocks == 0)
        return;
    // Workers read the data and the indicators only from this copy; each
    // writes ximp and imiss only in its own target rows.
    const lumo::CKnnRows rows(x, imiss, p, n);
    // Any worker of the pool may take a block: each has its work space.
    const int32_t threads = pool.Threads();
    std::vector<CKnnWorker> workers;
    workers.reserve(threads);
    for (int32_t w = 0; w < threads; w++)
        workers.emplace_back(rows, kn);
    const long32 m = kn + 1;
    lumo::CSharedProgress progress(callback, callbackArg, (double)blocks, 0.0, kPhaseDistances);
    lumo::CSharedProgress* const report = callback != 0 ? &progress : 0;
    const lumo::CWorkerPool::Body body = [&](int64_t begin, int64_t end, int worker) {
        CKnnWorker& work = workers[worker];
        for (int64_t b = begin; b < end; b++) {
            const size_t first = (size_t)b * lumo::KNN_BLOCK;
            const int count = (int)std::min<size_t>(lumo::KNN_BLOCK, targets.size() - first);
            work.block.Compute(targets.data() + first, count);
            for (int t = 0; t < count; t++) {
                const long32 i = targets[first + t];
                porder(&m, work.block.Distances(t), &p, work.pos.data(), work.nndist.data());
                // The neighbours are the kn nearest rows other than the target
                // row, which is left out by its number, not by its place: an
                // earlier row at distance 0 ranks before it.
                long32 kept = 0;
                for (long32 r = 0; r < m && kept < kn; r++)
                    if (work.pos[r] != i + 1)
                        work.pos[kept++] = work.pos[r];
                FillRow(rows, i, work.pos.data(), kn, ximp, imiss);
            }
            if (report != 0)
                report->Add(1.0);
        }
    };
    pool.Run(blocks, 1, body, report);
}
} // namespace

namespace lumo
{
void KnnImpute(const double* x, double* ximp, long32 p, long32 n, long32* imiss, const long32* irmiss, long32 kn,
               lumo::CWorkerPool& pool, update_progress_routine* callback, void* callbackArg)
{
    Impute(x, ximp, p, n, imiss, irmiss, kn, pool, callback, callbackArg);
}
} // namespace lumo

extern "C" {

void misdis(const double* x0, const double* x, const long32* p, const long32* n, const long32* imiss0,
            const long32* imiss, double* dis, long32* iworkp)
{
    lumo::KnnColumnDistances(x0, x, *p, *n, imiss0, imiss, dis, iworkp);
}

void porder(const long32* kn, const double* dist, const long32* ntr, long32* pos, double* nndist)
{
    const long32 k = *kn;
    const long32 nt = *ntr;
    if (k <= 0)
        return;
    long32 held = 0;
    for (long32 j = 1; j <= nt; j++) {
        // Once the list is full, only a value below the current k-th enters
        // (an equal one never does): skip the others four at a time.
        if (held == k) {
            const double kth = nndist[k - 1];
            while (j + 3 <= nt && !((dist[j - 1] < kth) | (dist[j] < kth) | (dist[j + 1] < kth) | (dist[j + 2] < kth)))
                j += 4;
            while (j <= nt && !(dist[j - 1] < kth))
                j++;
            if (j > nt)
                break;
        }
        const double d = dist[j - 1];
        // Insert after every held entry that is not greater than d.
        long32 at = 0;
        while (at < held && !(nndist[at] > d))
            at++;
        long32 last = held < k ? held : k - 1;
        for (long32 s = last; s > at; s--) {
            nndist[s] = nndist[s - 1];
            pos[s] = pos[s - 1];
        }
        nndist[at] = d;
        pos[at] = j;
        if (held < k)
            held++;
    }
}

void misave(const double* x, double* x0, const long32* p, const long32* n, long32* imiss0, const long32* imiss,
            const long32* index, const long32* m)
{
    const long32 np = *p;
    const long32 nn = *n;
    const long32 nm = *m;
    for (long32 j = 1; j <= nn; j++) {
        x0[j - 1] = 0.0;
        if (imiss0[j - 1] == 0)
            continue;
        if (nm <= 0) {
            imiss0[j - 1] = 2;
            continue;
        }
        double sum = 0.0;
        long32 count = 0;
        // Branch-free: a missing entry adds +0.0, which leaves the sum as it
        // is (it starts at +0.0 and so never becomes -0.0).
        for (long32 r = 0; r < nm; r++) {
            const std::ptrdiff_t rj = At(index[r], j, np);
            const uint64_t present = -(uint64_t)(imiss[rj] <= 0);
            sum += Masked(x[rj], present);
            count += (long32)(present & 1);
        }
        if (count > 0)
            x0[j - 1] = sum / count;
        else
            imiss0[j - 1] = 2;
    }
}

void knnimp(const double* x, double* ximp, const long32* p, const long32* n, long32* imiss, const long32* irmiss,
            const long32* kn, double*, double*, long32*, long32*)
{
    char msg[160];
    if (!KnnimpArgsValid(*p, *n, *kn, imiss, msg, sizeof msg))
        return;
    try {
        lumo::CWorkerPool pool(lumo::DefaultThreadCount());
        Impute(x, ximp, *p, *n, imiss, irmiss, *kn, pool);
    } catch (...) {
        // Nothing written: the work space did not fit.
    }
}

void twomis(const double* x, const long32* p, const long32* n, const long32* imiss, double* x0, long32* imiss0,
            long32* maxit, const double* eps, const long32* istart, long32* clust, long32* nsize, double* dist,
            double* ratio, long32* iter, long32* iworkp, long32* iworkn)
{
    char msg[160];
    if (!TwomisArgsValid(*p, *n, istart, msg, sizeof msg))
        return;
    const long32 np = *p;
    const long32 nn = *n;
    if (*maxit < 1)
        *maxit = 5;
    for (int c = 0; c < 2; c++) {
        for (long32 j = 1; j <= nn; j++) {
            x0[At(j, c + 1, nn)] = x[At(istart[c], j, np)];
            imiss0[At(j, c + 1, nn)] = imiss[At(istart[c], j, np)];
        }
    }
    *iter = 0;
    *ratio = 10.0;
    double previous = 0.0;
    for (long32 k = 1; k <= *maxit; k++) {
        if (*ratio <= *eps)
            return;
        *iter = k;
        for (int c = 0; c < 2; c++) {
            misdis(x0 + (std::ptrdiff_t)c * nn, x, p, n, imiss0 + (std::ptrdiff_t)c * nn, imiss,
                   dist + (std::ptrdiff_t)c * np, iworkp);
            nsize[c] = 0;
        }
        double total = 0.0;
        for (long32 i = 1; i <= np; i++) {
            // Ties and incomparable distances go to the second cluster.
            const int c = dist[i - 1] < dist[np + i - 1] ? 0 : 1;
            nsize[c] += 1;
            clust[At(nsize[c], c + 1, np)] = i;
            total += dist[At(i, c + 1, np)];
        }
        if (total == 0.0)
            return;
        if (k == 1)
            previous = total * 10.0;
        *ratio = std::fabs(total - previous) / previous;
        previous = total;
        for (int c = 0; c < 2; c++) {
            for (long32 j = 0; j < nn; j++)
                iworkn[j] = 1;
            misave(x, x0 + (std::ptrdiff_t)c * nn, p, n, iworkn, imiss, clust + (std::ptrdiff_t)c * np, nsize + c);
            for (long32 j = 0; j < nn; j++)
                imiss0[At(j + 1, c + 1, nn)] = iworkn[j] == 2 ? 1 : 0;
        }
    }
}

} // extern "C"
