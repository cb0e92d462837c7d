#ifndef LUMO_MATHUTILITY_H
#define LUMO_MATHUTILITY_H

#include "lumo.h"

// Array helpers of the analysis jobs.
class CMathUtility
{
public:
    // New array (array new) holding a copy of len elements of vec; len <= 0
    // gives an empty array. Throws std::bad_alloc when memory is short.
    // (long32 is R's integer, so the int overload also serves 32-bit "long" arrays.)
    static double* CopyVector(const double* vec, int len);
    static int* CopyVector(const int* vec, int len);
    // pNum[i] = pNum[i] / pDenom[i] for i < len.
    static void DivideVector(double* pNum, const double* pDenom, int len);
};

#endif
