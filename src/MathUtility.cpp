#include "MathUtility.h"

#include <cstring>
#include <new>

namespace
{
template <class T> T* CopyArray(const T* vec, int len)
{
    size_t n = len > 0 ? (size_t)len : 0;
    T* copy = new T[n > 0 ? n : 1];
    if (n > 0)
        std::memcpy(copy, vec, n * sizeof(T));
    return copy;
}
} // namespace

double* CMathUtility::CopyVector(const double* vec, int len)
{
    return CopyArray(vec, len);
}

int* CMathUtility::CopyVector(const int* vec, int len)
{
    return CopyArray(vec, len);
}

void CMathUtility::DivideVector(double* pNum, const double* pDenom, int len)
{
    for (int i = 0; i < len; i++)
        pNum[i] = pNum[i] / pDenom[i];
}
