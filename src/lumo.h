#ifndef LUMO_LUMO_H
#define LUMO_LUMO_H

#include <cstdint>

#include "threads/ProgressThreadDef.h"

// R's integer: every size and index the kernels exchange with R is 32-bit signed.
typedef std::int32_t long32;

// ---------------------------------------------------------------- offset arrays
// (offset-array helpers and their owners)

// ---------------------------------------------------------------- ODP kernels

// ---------------------------------------------------------------- time-course kernels

#endif
