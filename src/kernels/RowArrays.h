#ifndef LUMO_KERNELS_ROWARRAYS_H
#define LUMO_KERNELS_ROWARRAYS_H

// Copies between R's column-major arrays and the row pointers of matrix(),
// shared by the time-course kernels.

#include <algorithm>
#include <cstddef>

#include "lumo.h"

namespace lumo
{
inline void ZeroRows(double** a, long32 rows, long32 cols)
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
} // namespace lumo

#endif
