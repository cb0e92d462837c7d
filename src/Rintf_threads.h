#ifndef LUMO_RINTF_THREADS_H
#define LUMO_RINTF_THREADS_H

#include <Rinternals.h>

class CProgressThread;

extern "C" {
SEXP GetProgressValues(SEXP sthreadid);
SEXP StopThread(SEXP sthreadid);
SEXP DeleteThread(SEXP sthreadid);
// Sets the thread count of jobs built from now on; returns the previous one.
SEXP SetThreadCount(SEXP sthreads);
SEXP GetThreadCount(void);
}

// First element of sthreadid coerced to integer (NA_INTEGER when absent).
int GetJobIdArg(SEXP sthreadid);

// Starts job in the background and returns its id as an R integer vector.
// On failure to create the worker the job is destroyed and an R error is
// raised; when the worker runs but a later set-up step failed, a warning is
// issued and the id still returned.
SEXP StartJobForR(CProgressThread* job);

#endif
