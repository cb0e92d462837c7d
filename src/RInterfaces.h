#ifndef LUMO_RINTERFACES_H
#define LUMO_RINTERFACES_H

#include <Rinternals.h>

#include "RArgs.h"
#include "Rintf_guard.h"
#include "Rintf_threads.h"
#include "lumo.h"
#include "threads/ProgressThread.h"

class CProgressThread;
class COdpThread;

extern "C" {
SEXP GetLumoLibraryVersion();
// ---- ODP entry points
SEXP RunODP(SEXP arglist, SEXP startThread);
SEXP GetODPResult(SEXP tid);
// Instruction set of the ODP kernels' exp on this processor ("AVX3" for
// AVX-512, "AVX2", ..., or "scalar").
SEXP GetOdpInstructionSet();
// ---- time-course entry points
SEXP RunTimecourseIndep(SEXP arglist, SEXP startThread);
SEXP RunTimecourseNoInt(SEXP arglist, SEXP startThread);
SEXP RunTimecourseInt(SEXP arglist, SEXP startThread);
SEXP GetTimecourseResult(SEXP tid);
// .C routine: random-intercept EM fit of every row of datR (m x n).
void EMFitR(double* datR, double* HR, int* ind, int* idx, double* eps, double* fitR, double* alphaR, long32* m,
            long32* n, long32* N, int* nGrp, long32* iter);
// .Call routine: the same fit on the worker pool, interruptible from R
// (Ctrl-C); returns list(fit, alpha, iter) with fit and alpha of length m*n.
SEXP EMFitInterruptible(SEXP datR, SEXP HR, SEXP ind, SEXP idx, SEXP eps, SEXP m, SEXP n, SEXP N, SEXP nGrp);
// Per-gene maximum-likelihood random-intercept fits of the m x n data on the
// design X (n x p, column-major); ind (1..N) names each array's individual.
// Returns list(fit, alpha (m x n), rss, theta (m)). Interruptible.
SEXP InterceptFitInterruptible(SEXP datR, SEXP XR, SEXP ind, SEXP m, SEXP n, SEXP p, SEXP N);
// The .Fortran routines registered as knnimp and twomis: the routines of
// knnimpute.h with their arguments checked and their failures raised as R errors.
void KnnimpForR(const double* x, double* ximp, const long32* p, const long32* n, long32* imiss, const long32* irmiss,
                const long32* kn, double* workp, double* workn, long32* iworkp, long32* iworkn);
void TwomisForR(const double* x, const long32* p, const long32* n, const long32* imiss, double* x0, long32* imiss0,
                long32* maxit, const double* eps, const long32* istart, long32* clust, long32* nsize, double* dist,
                double* ratio, long32* iter, long32* iworkp, long32* iworkn);
// Probe of the error boundary: throws the exception of one kind ("argument",
// "error", "memory", "interrupt", "engine", "engine-memory", "standard",
// "other"; "none" throws nothing) from a frame that owns heap memory, or, for
// "odp-job", builds an ODP job from arglist with only its sizes and types
// checked, so that a broken length rule fails in the job's constructor. The
// error R receives is the text of the boundary's table ("Could not allocate
// COdpThread object" for the constructor); a sanitizer build shows that the
// memory was released.
SEXP GuardProbe(SEXP kind, SEXP arglist);
// .Call routine: knnimp's imputation of x (p x n, indicators imiss, rows
// flagged in irmiss, kn neighbours), interruptible from R; returns
// list(ximp, imiss), x and imiss with the filled entries.
SEXP KnnImputeInterruptible(SEXP x, SEXP p, SEXP n, SEXP imiss, SEXP irmiss, SEXP kn);
}

// ---------------------------------------------------------------- running jobs

typedef SEXP (*ResultListBuilder)(CProgressThread* job);

// What an entry point calls its computation in its messages.
struct SJobMessages
{
    const char* failFormat;  // one %d, the status: the job's Go failed
    const char* interrupted; // the user interrupted a synchronous run
};

// Runs job synchronously (returns its result list, destroys the job, throws
// failFormat with the status when Go fails) or starts it in the background
// (returns its id). A synchronous run can be interrupted by the user: it then
// unwinds at its next progress report, the job is destroyed and the
// interrupted message thrown. Takes ownership of job in every case. Call it
// inside GuardedCall.
SEXP RunJobForR(CProgressThread* job, bool background, ResultListBuilder build, const SJobMessages& messages);

// Throws "Thread was canceled" or "Thread is still running" unless job has
// finished, and failFormat with the status when it ended with an error.
void CheckFinishedJobForR(CProgressThread* job, const char* failFormat);

// The job behind tid: registered, of class Job (kind names the class in the
// error) and finished without error; throws the matching CRError otherwise.
template <class Job> Job* GetFinishedJobForR(SEXP tid, const char* kind, const char* failFormat)
{
    Job* job = LookupJobOfKindForR<Job>(tid, "Could not get thread information for thread id = %d", kind);
    CheckFinishedJobForR(job, failFormat);
    return job;
}

// The result list ("lr", "lr0") of a finished ODP job.
SEXP GetODPResultList(COdpThread* pThread);

// List "F" (the job's m x B statistics) and an unnamed NULL.
SEXP GetTimecourseResultList(CProgressThread* pThread);

#endif
