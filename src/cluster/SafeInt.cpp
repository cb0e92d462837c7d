#include "SafeInt.h"

// The engine's memory accounting uses 64-bit unsigned sizes.
template class CSafeInt<unsigned long long>;
