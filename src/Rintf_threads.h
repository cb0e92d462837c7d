#ifndef LUMO_RINTF_THREADS_H
#define LUMO_RINTF_THREADS_H

#include <Rinternals.h>

#include "threads/ProgressThread.h"

extern "C" {
SEXP GetProgressValues(SEXP sthreadid);
SEXP StopThread(SEXP sthreadid);
SEXP DeleteThread(SEXP sthreadid);
// Sets the thread count of jobs built from now on; returns the previous one.
SEXP SetThreadCount(SEXP sthreads);
SEXP GetThreadCount(void);
// The handle an R job object keeps: an external pointer with the same non-NULL
// address at every call in this session. Saved and restored (in any session),
// it comes back with a NULL address, so a restored object is told from a live one.
SEXP GetJobHandle(void);
// The names of the phase codes of GetProgressValues' msgid (PhaseName, in code order).
SEXP GetPhaseNames(void);
}

// First element of sthreadid coerced to integer (NA_INTEGER when absent).
int GetJobIdArg(SEXP sthreadid);

// The registered job behind sthreadid. An empty id throws "job id is empty",
// an NA id "job id is NA", and an id that names no job notFoundFormat (one
// %d, the id), each as a CRError for the entry point's guard (Rintf_guard.h).
CProgressThread* LookupJobForR(SEXP sthreadid, const char* notFoundFormat);

// Throws "job %d is not <kind>" (kind such as "an ODP job").
[[noreturn]] void RaiseWrongJobKind(int id, const char* kind);

// LookupJobForR, and the job must be a Job.
template <class Job> Job* LookupJobOfKindForR(SEXP sthreadid, const char* notFoundFormat, const char* kind)
{
    CProgressThread* job = LookupJobForR(sthreadid, notFoundFormat);
    Job* typed = dynamic_cast<Job*>(job);
    if (typed == 0)
        RaiseWrongJobKind(job->GetJobId(), kind);
    return typed;
}

// Throws "Thread was canceled" or "Thread is still running" unless the job's
// worker has finished.
void RequireFinishedForR(CProgressThread* job);

// Poll of a CInterruptCheck: whether the user interrupted R (Ctrl-C, SIGINT).
// R's jump out of the interrupt is caught inside R_ToplevelExec, so it never
// crosses a C++ frame; the caller turns true into a stop. Host's thread only,
// which CInterruptCheck guarantees.
bool RUserInterrupted(void*);

// Starts job in the background and returns its id as an R integer vector.
// On failure to create the worker the job is destroyed and a CRError thrown; when the worker runs but a later set-up step failed, a warning is
// issued and the id still returned.
SEXP StartJobForR(CProgressThread* job);

#endif
