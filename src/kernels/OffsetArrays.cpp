// Offset-array allocators, their owners and the quicksort of the kernels.

#include "lumo.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

double* vector(long32 nl, long32 nh)
{
    return AllocVector<double>(nl, nh, "vector()");
}
long32* ivector(long32 nl, long32 nh)
{
    return AllocVector<long32>(nl, nh, "ivector()");
}
int* intvector(long32 nl, long32 nh)
{
    return AllocVector<int>(nl, nh, "intvector()");
}
double** matrix(long32 nrl, long32 nrh, long32 ncl, long32 nch)
{
    return AllocMatrix<double>(nrl, nrh, ncl, nch);
}
long32** imatrix(long32 nrl, long32 nrh, long32 ncl, long32 nch)
{
    return AllocMatrix<long32>(nrl, nrh, ncl, nch);
}
void free_vector(double* v, long32 nl, long32)
{
    FreeVector(v, nl);
}
void free_ivector(long32* v, long32 nl, long32)
{
    FreeVector(v, nl);
}
void free_intvector(int* v, long32 nl, long32)
{
    FreeVector(v, nl);
}
void free_matrix(double** m, long32 nrl, long32, long32 ncl, long32)
{
    FreeMatrix(m, nrl, ncl);
}
void free_imatrix(long32** m, long32 nrl, long32, long32 ncl, long32)
{
    FreeMatrix(m, nrl, ncl);
}

CDoubleVector::CDoubleVector(long32 size) : m_p(Required(vector(0, size - 1))), m_size(size) {}
CDoubleVector::~CDoubleVector()
{
    free_vector(m_p, 0, m_size - 1);
}
CLongVector::CLongVector(long32 size) : m_p(Required(ivector(0, size - 1))), m_size(size) {}
CLongVector::~CLongVector()
{
    free_ivector(m_p, 0, m_size - 1);
}
CDoubleMatrix::CDoubleMatrix(long32 rows, long32 cols)
    : m_p(Required(matrix(0, rows - 1, 0, cols - 1))), m_rows(rows), m_cols(cols)
{}
CDoubleMatrix::~CDoubleMatrix()
{
    free_matrix(m_p, 0, m_rows - 1, 0, m_cols - 1);
}

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
