#include "lumo.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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
    // Reference gene left out of each gene's sum (self[i] for gene i), or
    // null when every gene sums over all reference genes.
    const int* self;
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
} // namespace

#ifdef LUMO_HAVE_HWY
// The vector path, compiled for every instruction set of the vector library.
// Only its headers are used: the set is chosen here, from the processor's
// feature bits, when a kernel first runs. Nothing of it runs at load, and no
// part of the vector library's shared object (whose load-time set-up reads a
// timer valgrind cannot emulate) is linked.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumo-inl.h"
#include <hwy/foreach_target.h>
#include "lumo-inl.h"

#if HWY_ARCH_X86 && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define LUMO_ODP_X86_DISPATCH 1
#endif

namespace
{
// The four kernels compiled for one instruction set (a Highway target bit).
struct OdpVectorKernels
{
    int64_t target;
    OdpGenesFn* alternative;
    OdpGenesFn* null;
    OdpGenesFn* alternativeLeaveOut;
    OdpGenesFn* nullLeaveOut;
};

#define LUMO_ODP_KERNELS(NS, TARGET)                                                                            \
    {                                                                                                          \
        TARGET, &lumo_odp::NS::GenesAlternative, &lumo_odp::NS::GenesNull,                                     \
            &lumo_odp::NS::GenesAlternativeLeaveOut, &lumo_odp::NS::GenesNullLeaveOut                          \
    }

// Best first. The last entry is the baseline the compiler was told every
// processor of this build has, so it always runs; on processors other than
// x86 it is the only one (NEON on 64-bit ARM).
const OdpVectorKernels kOdpVectorKernels[] = {
#ifdef LUMO_ODP_X86_DISPATCH
#if HWY_TARGETS & HWY_AVX3_DL
    LUMO_ODP_KERNELS(N_AVX3_DL, HWY_AVX3_DL),
#endif
#if HWY_TARGETS & HWY_AVX3
    LUMO_ODP_KERNELS(N_AVX3, HWY_AVX3),
#endif
#if HWY_TARGETS & HWY_AVX2
    LUMO_ODP_KERNELS(N_AVX2, HWY_AVX2),
#endif
#if HWY_TARGETS & HWY_SSE4
    LUMO_ODP_KERNELS(N_SSE4, HWY_SSE4),
#endif
#if HWY_TARGETS & HWY_SSSE3
    LUMO_ODP_KERNELS(N_SSSE3, HWY_SSSE3),
#endif
#endif // LUMO_ODP_X86_DISPATCH
    {HWY_STATIC_TARGET, &lumo_odp::HWY_STATIC_DISPATCH(GenesAlternative), &lumo_odp::HWY_STATIC_DISPATCH(GenesNull),
     &lumo_odp::HWY_STATIC_DISPATCH(GenesAlternativeLeaveOut), &lumo_odp::HWY_STATIC_DISPATCH(GenesNullLeaveOut)}};
const size_t kOdpVectorSets = sizeof kOdpVectorKernels / sizeof kOdpVectorKernels[0];

#ifdef LUMO_ODP_X86_DISPATCH
bool Bits(unsigned reg, std::initializer_list<int> bits)
{
    for (int b : bits)
        if (((reg >> b) & 1u) == 0)
            return false;
    return true;
}

// The x86 instruction sets of the table this processor and its operating
// system run, from CPUID and XCR0 (the wide registers must be saved by the
// system). Each set requires everything its kernels may be compiled to use.
int64_t X86Targets()
{
    unsigned a = 0, b = 0, c1 = 0, d1 = 0;
    if (!__get_cpuid(1, &a, &b, &c1, &d1))
        return 0;
    unsigned b7 = 0, c7 = 0, d = 0;
    if (__get_cpuid_max(0, 0) >= 7)
        __cpuid_count(7, 0, a, b7, c7, d);
    unsigned c81 = 0;
    if (!__get_cpuid(0x80000001u, &a, &b, &c81, &d))
        c81 = 0;
    unsigned long long xcr0 = 0;
    if (Bits(c1, {27})) { // OSXSAVE: XGETBV is there
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        xcr0 = ((unsigned long long)hi << 32) | lo;
    }
    const bool ymm = (xcr0 & 0x6) == 0x6, zmm = (xcr0 & 0xe6) == 0xe6;
    // SSE, SSE2, SSE3, SSSE3
    const bool ssse3 = Bits(d1, {25, 26}) && Bits(c1, {0, 9});
    // SSE4.1, SSE4.2, PCLMULQDQ, AES
    const bool sse4 = ssse3 && Bits(c1, {19, 20, 1, 25});
    // AVX, FMA, F16C, AVX2, BMI1, BMI2, LZCNT
    const bool avx2 = sse4 && ymm && Bits(c1, {28, 12, 29}) && Bits(b7, {5, 3, 8}) && Bits(c81, {5});
    // AVX-512 F, DQ, CD, BW, VL
    const bool avx3 = avx2 && zmm && Bits(b7, {16, 17, 28, 30, 31});
    // VBMI, VBMI2, VAES, VPCLMULQDQ, VNNI, BITALG, VPOPCNTDQ
    const bool avx3dl = avx3 && Bits(c7, {1, 6, 9, 10, 11, 12, 14});
    return (ssse3 ? HWY_SSSE3 : 0) | (sse4 ? HWY_SSE4 : 0) | (avx2 ? HWY_AVX2 : 0) | (avx3 ? HWY_AVX3 : 0) |
           (avx3dl ? HWY_AVX3_DL : 0);
}
#endif // LUMO_ODP_X86_DISPATCH

// Indices in the table of the sets this processor runs, as a bit mask.
uint64_t RunnableOdpSets()
{
    static const uint64_t runnable = [] {
#ifdef LUMO_ODP_X86_DISPATCH
        const int64_t targets = X86Targets();
#else
        const int64_t targets = 0;
#endif
        uint64_t sets = 0;
        for (size_t s = 0; s < kOdpVectorSets; s++)
            if (s + 1 == kOdpVectorSets || (kOdpVectorKernels[s].target & targets) != 0)
                sets |= uint64_t(1) << s;
        return sets;
    }();
    return runnable;
}

// The set chosen for comparisons (a target bit; 0: the best one).
std::atomic<int64_t> g_odpVectorTarget(0);

const OdpVectorKernels& ActiveOdpKernels()
{
    const uint64_t sets = RunnableOdpSets();
    const int64_t chosen = g_odpVectorTarget.load();
    for (size_t s = 0; s < kOdpVectorSets; s++)
        if ((sets >> s & 1) != 0 && (chosen == 0 || kOdpVectorKernels[s].target == chosen))
            return kOdpVectorKernels[s];
    return kOdpVectorKernels[kOdpVectorSets - 1];
}

// The best instruction set the processor runs among those compiled.
int64_t BestOdpTarget()
{
    const uint64_t sets = RunnableOdpSets();
    return kOdpVectorKernels[__builtin_ctzll(sets)].target;
}
} // namespace
#endif // LUMO_HAVE_HWY

namespace
{
std::atomic<int> g_odpPath(-1);

template <OdpModel Model> OdpGenesFn* OdpGenesFor(int path, bool leaveOut)
{
#ifdef LUMO_HAVE_HWY
    if (path != lumo::kOdpPathScalar) {
        const OdpVectorKernels& set = ActiveOdpKernels();
        if (Model == kAlternative)
            return leaveOut ? set.alternativeLeaveOut : set.alternative;
        return leaveOut ? set.nullLeaveOut : set.null;
    }
#else
    (void)path;
    (void)leaveOut;
#endif
    return OdpGenesScalar<Model>;
}

// The frame shared by the four kernels: entry report, per-reference-gene
// factors computed once per j, then the genes in chunks of kOdpGeneChunk,
// spread over the pool when there is more than one chunk.
template <OdpModel Model>
void OdpSum(long32 mi, long32 mj, long32 n, long32 k, const double* xx, const double* xk, const double* mu,
            const double* sigma, const int* nGrp, const int* nii, double* scr, update_progress_routine* callback,
            void* callbackArg, double* currentStart, const double* maxStart, double pairUnits,
            lumo::CWorkerPool* pool, const int* self = 0)
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
        const COdpTerms terms = {mi, mj, k, xx, xk, mu, w.data(), c.data(), s3.data(), scr, self, pairUnits,
                                 jBlock < 1 ? 1 : jBlock, &progress};
        OdpGenesFn* genes = OdpGenesFor<Model>(lumo::OdpPath(), self != 0);
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
#ifdef LUMO_HAVE_HWY
    static const int widest =
        (BestOdpTarget() & (HWY_SCALAR | HWY_EMU128)) != 0 ? kOdpPathScalar : kOdpPathVector;
    return widest;
#else
    // Built without the vector library: the portable path only.
    return kOdpPathScalar;
#endif
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

int64_t OdpVectorTargets()
{
#ifdef LUMO_HAVE_HWY
    int64_t targets = 0;
    const uint64_t sets = RunnableOdpSets();
    for (size_t s = 0; s < kOdpVectorSets; s++)
        if ((sets >> s & 1) != 0)
            targets |= kOdpVectorKernels[s].target;
    return targets;
#else
    return 0;
#endif
}

void SetOdpVectorTarget(int64_t target)
{
#ifdef LUMO_HAVE_HWY
    g_odpVectorTarget.store((target & OdpVectorTargets()) == target ? target : 0);
#else
    (void)target;
#endif
}

const char* OdpPathName(int path)
{
#ifdef LUMO_HAVE_HWY
    return path == kOdpPathScalar ? "scalar" : hwy::TargetName(ActiveOdpKernels().target);
#else
    (void)path;
    return "scalar";
#endif
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

void odp3x(long32 mi, long32 mj, long32 n, long32 k, const double* xx, const double* xk, const double* mu,
           const double* sigma, const int* nGrp, const int* self, double* scr, update_progress_routine* callback,
           void* callbackArg, double* currentStart, double* maxStart, lumo::CWorkerPool* pool)
{
    OdpSum<kAlternative>(mi, mj, n, k, xx, xk, mu, sigma, nGrp, 0, scr, callback, callbackArg, currentStart,
                         maxStart, kOdp3PairUnits, pool, self);
}

void odp4x(long32 mi, long32 mj, long32 n, const double* xx, const double* sigma, const int* self, double* scr,
           update_progress_routine* callback, void* callbackArg, double* currentStart, double* maxStart,
           lumo::CWorkerPool* pool)
{
    OdpSum<kNull>(mi, mj, n, 0, xx, 0, 0, sigma, 0, 0, scr, callback, callbackArg, currentStart, maxStart,
                  kOdp4PairUnits, pool, self);
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
#include <atomic>
#include <memory>
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
    double halfN, halfM; // factors of the log-likelihood proxy
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
// lanes W is that of the widest vectors the processor offers (2 on any
// processor, 4 with AVX2, 8 with AVX-512), chosen at run time.
// Multiplications and additions stay separate operations (no fused
// multiply-add, which rounds differently), as in scalar code.
typedef double vlane2 __attribute__((vector_size(2 * sizeof(double)), aligned(sizeof(double))));
typedef double vlane4 __attribute__((vector_size(4 * sizeof(double)), aligned(sizeof(double))));
typedef double vlane8 __attribute__((vector_size(8 * sizeof(double)), aligned(sizeof(double))));
template <int W> struct CLane;
template <> struct CLane<2>
{
    typedef vlane2 type;
};
template <> struct CLane<4>
{
    typedef vlane4 type;
};
template <> struct CLane<8>
{
    typedef vlane8 type;
};

template <int W> struct CEMLanes
{
    typedef typename CLane<W>::type vlane;
    std::vector<double> store; // the arrays below, W doubles per element
    vlane *x, *xa, *fit, *a, *aa, *a0, *aa0;
    vlane tau, sig;
    long32 gene[W]; // -1: the lane holds a copy of another and is idle
    long32 done[W];
    double lik[W], lik0[W];
    double work; // since the worker's last stop check

    CEMLanes(long32 n, long32 N) : store((size_t)(3 * (n + 1) + 4 * (N + 1)) * W, 0.0), tau(), sig(), work(0.0)
    {
        vlane* p = reinterpret_cast<vlane*>(store.data());
        x = p;
        xa = x + n + 1;
        fit = xa + n + 1;
        a = fit + n + 1;
        aa = a + N + 1;
        a0 = aa + N + 1;
        aa0 = a0 + N + 1;
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
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define LUMO_LANES_BY_PROCESSOR 1
#define LUMO_TARGET(isa) __attribute__((target(isa)))
#else
#define LUMO_TARGET(isa)
#endif

// One EM iteration of every lane; compiled once per lane width below.
template <int W>
LUMO_NO_CONTRACT inline __attribute__((always_inline)) void LaneIterationBody(const CEMFit& f, CEMLanes<W>& L)
{
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    typedef typename CLane<W>::type vlane;
    const long32 nn = f.n, NN = f.N;
    const int* nGrp = f.nGrp;
    const int* idx = f.idx;
    const vlane* x = L.x;
    vlane* xa = L.xa;
    vlane* fit = L.fit;
    vlane* a = L.a;
    vlane* aa = L.aa;
    vlane* a0 = L.a0;
    vlane* aa0 = L.aa0;
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
    L.tau = tau;
    L.sig = sig;
}

LUMO_NO_CONTRACT void LaneIteration(const CEMFit& f, CEMLanes<2>& L) { LaneIterationBody<2>(f, L); }
LUMO_TARGET("avx2") LUMO_NO_CONTRACT void LaneIteration(const CEMFit& f, CEMLanes<4>& L) { LaneIterationBody<4>(f, L); }
LUMO_TARGET("avx512f") LUMO_NO_CONTRACT void LaneIteration(const CEMFit& f, CEMLanes<8>& L)
{
    LaneIterationBody<8>(f, L);
}

// Puts gene g, in the state its rows hold, into lane w.
template <int W> void LoadLane(const CEMFit& f, CEMLanes<W>& L, int w, long32 g, long32 done)
{
    for (long32 c = 0; c < f.n; c++)
        L.x[c][w] = f.dat[g][c];
    for (long32 l = 0; l < f.N; l++) {
        L.a0[l][w] = f.A0[g][l];
        L.aa0[l][w] = f.AA0[g][l];
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
        L.x[c][w] = L.x[c][from];
    for (long32 l = 0; l < f.N; l++) {
        L.a0[l][w] = L.a0[l][from];
        L.aa0[l][w] = L.aa0[l][from];
    }
    L.gene[w] = -1;
}

// Writes lane w (which has iterated at least once) back to its gene's rows.
template <int W> void StoreLane(const CEMFit& f, const CEMLanes<W>& L, int w)
{
    const long32 g = L.gene[w];
    for (long32 j = 0; j < f.n; j++)
        f.fit[g][j] = L.fit[j][w];
    for (long32 l = 0; l < f.N; l++) {
        f.alpha[g][l] = L.a[l][w];
        f.AA[g][l] = L.aa[l][w];
        f.A0[g][l] = L.a0[l][w];
        f.AA0[g][l] = L.aa0[l][w];
    }
    f.tau[g] = L.tau[w];
    f.sig[g] = L.sig[w];
    f.lik[g] = L.lik[w];
    f.lik0[g] = L.lik0[w];
}

// Iterates the genes list[0..count-1] from the states in their rows, each
// until its proxy changes by at most eps (settled[g] = 1) or it has taken
// `limit` iterations in all; done[g] counts them. A gene's iterations depend
// on no other gene, so the genes can be taken in any grouping, order and
// thread with the same result.
template <int W>
void IterateGenes(const CEMFit& f, const long32* list, long32 count, long32 limit, long32* done, char* settled,
                  CEMLanes<W>& L, lumo::CSharedProgress* progress)
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
        LaneIteration(f, L);
        for (int w = 0; w < W; w++) {
            const long32 g = L.gene[w];
            if (g < 0)
                continue;
            // Log-likelihood proxy; a NaN change does not qualify as a change.
            L.lik0[w] = L.lik[w];
            L.lik[w] = f.halfN * std::log(L.tau[w]) - f.halfM * std::log(L.sig[w]);
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

std::atomic<int> g_laneWidth(0); // 0: by processor

// Lanes of the widest vectors this processor offers.
int ProcessorLaneWidth()
{
#ifdef LUMO_LANES_BY_PROCESSOR
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return 8;
    if (__builtin_cpu_supports("avx2"))
        return 4;
#endif
    return 2;
}

// The random-intercept EM over the workers of pool; stop checks go through
// progress (may be null). Every gene iterates on its own until it settles;
// the fit as a whole ends after P iterations, P the first count after which
// at most one gene has not settled (or the cap), and no gene takes more than
// P. Passes with a growing limit find P without running the last gene far
// past it; a gene that did run past P is run again from its start.
template <int W>
void RunEMFit(CEMFit& f, long32* EM, double* atmp, long32* iter, lumo::CWorkerPool& pool,
              lumo::CSharedProgress* progress)
{
    const long32 mm = f.m, NN = f.N;
    const int32_t threads = pool.Threads();
    std::vector<std::unique_ptr<CEMLanes<W>>> workers;
    for (int32_t t = 0; t < threads; t++)
        workers.emplace_back(new CEMLanes<W>(f.n, f.N));
    pool.Run(mm, 256, [&](int64_t b, int64_t e, int) {
        for (int64_t i = b; i < e; i++)
            StartGene(f, (long32)i);
    }, progress);

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
            pool.Run(nEM, GeneGrain(nEM, threads, W), [&](int64_t b, int64_t e, int worker) {
                IterateGenes(f, EM + b, (long32)(e - b), passLimit, done.data(), settled.data(), *workers[worker],
                             progress);
            }, progress);
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
                IterateGenes(f, &i, 1, P, done.data(), settled.data(), *workers[0], progress);
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
    CEMFit f = {dat, H,   idx, nGrp, *eps, fit, alpha, datC, gm, A0, AA0, AA, lik0, lik, tau, sig,
                *m,  *n,  *N,  0.0,  0.0,  0.0};
    // Both factors are integer halves, the second of the number of genes.
    f.halfN = (double)((-f.N) / 2);
    f.halfM = (double)(f.m / 2);
    f.iterationWork = (double)f.n * (double)f.n + 6.0 * (double)f.n + 8.0 * (double)f.N + 64.0;
    return f;
}
} // namespace

void EMFitPool(double** dat, double** H, int* idx, double* eps, double** fit, double** alpha, double** datC,
               double* gm, double** A0, double** AA0, double** AA, double* lik0, double* lik, double* tau,
               double* sig, long32* EM, double* atmp, long32* m, long32* n, long32* N, int* nGrp, long32* iter,
               lumo::CWorkerPool& pool, lumo::CSharedProgress* progress)
{
    CEMFit f = MakeEMFit(dat, H, idx, eps, fit, alpha, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, m, n, N, nGrp);
    switch (EMLaneWidth()) {
    case 8:
        RunEMFit<8>(f, EM, atmp, iter, pool, progress);
        break;
    case 4:
        RunEMFit<4>(f, EM, atmp, iter, pool, progress);
        break;
    default:
        RunEMFit<2>(f, EM, atmp, iter, pool, progress);
    }
}

int EMLaneWidth()
{
    const int w = g_laneWidth.load();
    return w != 0 ? w : ProcessorLaneWidth();
}

int SetEMLaneWidth(int lanes)
{
    const int best = ProcessorLaneWidth();
    g_laneWidth.store(lanes == 2 || (lanes == 4 && best >= 4) || (lanes == 8 && best >= 8) ? lanes : 0);
    return EMLaneWidth();
}

void EMFit(double** dat, double** H, int*, int* idx, double* eps, double** fit, double** alpha, double** datC,
           double* gm, double** A0, double** AA0, double** AA, double* lik0, double* lik, double* tau, double* sig,
           long32* EM, double* atmp, long32* m, long32* n, long32* N, int* nGrp, long32* iter,
           update_progress_routine* callback, void* callbackArg, double* pMax, double* pCurrent)
{
    lumo::CWorkerPool pool(1);
    if (callback != 0 && pMax != 0 && pCurrent != 0) {
        lumo::CSharedProgress progress(callback, callbackArg, *pMax, *pCurrent, 8);
        EMFitPool(dat, H, idx, eps, fit, alpha, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N,
                  nGrp, iter, pool, &progress);
    } else {
        EMFitPool(dat, H, idx, eps, fit, alpha, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N,
                  nGrp, iter, pool, 0);
    }
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
        lumo::CSharedProgress progress(callback, callbackArg, max, current, 8);
        EMFitPool(dat, H1, idx, eps, fit1, alpha1, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N,
                  nGrp, &iter, pool, callback != 0 ? &progress : 0);
    }
    current += 1.0;
    do_callback(callback, callbackArg, max, current, 8);
    {
        lumo::CSharedProgress progress(callback, callbackArg, max, current, 8);
        EMFitPool(dat, H0, idx, eps, fit0, alpha0, datC, gm, A0, AA0, AA, lik0, lik, tau, sig, EM, atmp, m, n, N,
                  nGrp, &iter, pool, callback != 0 ? &progress : 0);
    }
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

void FEM(double** dat, double** H1, double** H0, int*, int* idx, double* eps, double** fit1, double** fit0,
         double** alpha1, double** alpha0, double* rss1, double* rss0, double** datC, double* gm, double** A0,
         double** AA0, double** AA, double* lik0, double* lik, double* tau, double* sig, long32* EM, double* atmp,
         long32* m, long32* n, long32* N, int* nGrp, double* F, update_progress_routine* callback, void* callbackArg,
         double* pMax, double* pCurrent)
{
    lumo::CWorkerPool pool(1);
    FEMPool(dat, H1, H0, idx, eps, fit1, fit0, alpha1, alpha0, rss1, rss0, datC, gm, A0, AA0, AA, lik0, lik, tau, sig,
            EM, atmp, m, n, N, nGrp, F, callback, callbackArg, pMax, pCurrent, pool);
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

void EMFitColumnMajor(double* datR, double* HR, int*, int* idx, double* eps, double* fitR, double* alphaR,
                      long32* m, long32* n, long32* N, int* nGrp, long32* iter, int32_t threads,
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

    lumo::CWorkerPool pool(threads);
    lumo::CSharedProgress progress(callback, callbackArg, 1.0, 0.0, 8);
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

namespace
{
// Work units per chunk of a pass over (iteration, gene) pairs: a chunk ends
// with a progress report, which is also the workers' stop check.
const double kNullChunkUnits = 1 << 18;

// F of one gene from its null data x: both fits summed over l in order from
// 0, the residual sums over j in order from 0, as FNoEM does with cleared
// accumulators. f1, f0 are the worker's rows for the fits.
double GeneF(const double* x, double** H1, double** H0, double* f1, double* f0, long32 n)
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
    return rss0 / rss1 - 1.0;
}

// Rows of one worker: null data, the two fits and (design without
// intercept) the rebuilt residuals and the drawn reduced residuals.
struct CNullRows
{
    std::vector<double> dat, f1, f0, res, drawn;
    CNullRows(long32 n, long32 nr) : dat(n + 1), f1(n + 1), f0(n + 1), res(n + 1), drawn(nr + 1) {}
};

// Runs gene(k, i, rows) for every iteration k < B and gene i < m, F[i + k m]
// receiving its result, over `threads` workers; every pair is worth `units`
// of progress. Reports start at (max, 0) and end at the exact total.
template <class Gene>
void ForEachNullGene(long32 m, long32 B, long32 n, long32 nr, double units, double max, double* F,
                     update_progress_routine* callback, void* callbackArg, int32_t threads, const Gene& gene)
{
    const int64_t pairs = (int64_t)m * (int64_t)B;
    lumo::CSharedProgress progress(callback, callbackArg, max, 0.0, 8);
    if (pairs == 0)
        return;
    progress.Check();
    lumo::CWorkerPool pool(threads);
    std::vector<CNullRows> rows(pool.Threads(), CNullRows(n, nr));
    const int64_t grain = units >= kNullChunkUnits ? 1 : (int64_t)(kNullChunkUnits / units);
    pool.Run(pairs, grain, [&](int64_t b, int64_t e, int worker) {
        CNullRows& r = rows[worker];
        for (int64_t p = b; p < e; p++) {
            const long32 k = (long32)(p / m), i = (long32)(p % m);
            F[p] = gene(k, i, r);
        }
        progress.Add(units * (double)(e - b));
    }, &progress);
}
} // namespace

void nullFIndep(double* fitR, double* resR, int* vR, double* H1R, double* H0R, long32* m, long32* n, long32* B,
                double* F, update_progress_routine* callback, void* callbackArg, int32_t threads)
{
    const long32 mm = *m, nn = *n, BB = *B;
    const double max = (double)(nn + 1) * (((double)BB * (double)mm) * (double)(nn + 1));

    CNullWork w(fitR, H1R, H0R, mm, nn);
    CDoubleMatrix res(mm, nn);
    const CColumnMaps v(vR, BB, nn);
    CopyColumnMajor(res.get(), resR, mm, nn);

    // Per pair: the null data, then n^2 + n steps of the F statistic.
    const double units = (double)nn * (double)nn + (double)nn + 1.0;
    ForEachNullGene(mm, BB, nn, 0, units, max, F, callback, callbackArg, threads,
                    [&](long32 k, long32 i, CNullRows& r) {
                        const long32* vk = v.Row(k);
                        const double* fi = w.fit[i];
                        const double* ri = res[i];
                        double* x = r.dat.data();
                        for (long32 j = 0; j < nn; j++)
                            x[j] = fi[j] + ri[vk[j]];
                        return GeneF(x, w.H1, w.H0, r.f1.data(), r.f0.data(), nn);
                    });
}

void nullFLongNoInt(double* fitR, double* resR, int* vR, int* rmv, int* inc, double* H1R, double* H0R, double* wsqR,
                    int*, int* idx, long32* m, long32* n, long32* N, int* nGrp, long32* B, double* F,
                    update_progress_routine* callback, void* callbackArg, int32_t threads)
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
    ForEachNullGene(mm, BB, nn, nr, units, max, F, callback, callbackArg, threads,
                    [&](long32 k, long32 i, CNullRows& r) {
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
                        return GeneF(x, w.H1, w.H0, r.f1.data(), r.f0.data(), nn);
                    });
}

void nullFLongInt(double* fitR, double* resR, int* vR, int* v1R, double* H1R, double* H0R, double* alphaR, int* ind,
                  int* idx, double* eps, long32* m, long32* n, long32* N, int* nGrp, long32* B, double* F,
                  update_progress_routine* callback, void* callbackArg, int32_t threads)
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
            do_callback(callback, callbackArg, max, max, 8);
        return;
    }
    lumo::CWorkerPool pool(threads);
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
    }
    saveDblArray("F.txt", F, (long32)((long long)mm * BB));
}
