// The facade of the kernels declared in lumo.h. The kernels themselves live in
// kernels/: offset arrays (OffsetArrays.cpp), the ODP sums (Odp.cpp,
// OdpNullDraw.cpp), the time-course null F (NullF.cpp) and the EM fit
// (EMFit.cpp); their vector code is chosen through simd/.

#include "lumo.h"

void odp(double*, double*, double*, double*, long32*, long32*, long32*, int*, long32*, long32*, int*, double*,
         update_progress_routine*, void*, double*, double*)
{}
