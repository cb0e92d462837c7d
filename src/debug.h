#ifndef LUMO_DEBUG_H
#define LUMO_DEBUG_H

#include "lumo.h"

// Diagnostic output hooks. The kernels hand them their inputs and results
// under file-like names; in this build they do nothing, so that a kernel
// never touches the file system. A diagnostic build may give them bodies.
void debug(const char* msg);
void saveDblArray(const char* fileName, const double* pArray, long32 length);
void saveIntArray(const char* fileName, const int* pArray, long32 length);

#endif
