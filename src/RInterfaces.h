#ifndef LUMO_RINTERFACES_H
#define LUMO_RINTERFACES_H

#include <Rinternals.h>

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
// .Call routine: knnimp's imputation of x (p x n, indicators imiss, rows
// flagged in irmiss, kn neighbours), interruptible from R; returns
// list(ximp, imiss), x and imiss with the filled entries.
SEXP KnnImputeInterruptible(SEXP x, SEXP p, SEXP n, SEXP imiss, SEXP irmiss, SEXP kn);
}

// Raises "length of '%s' is %d; expected %d" when the lengths differ.
void CheckLength(long32 actLength, const char* argName, long32 expLength);

// ---------------------------------------------------------------- argument checks
// Each raises an R error that names the list position; call them before any
// C++ object is built, so that the error unwinds nothing that owns memory.

// Raises "length(arglist)>=%d" unless arglist is a list of at least minLength elements.
void CheckArgListLength(SEXP arglist, int minLength);
// Element pos (1-based) of arglist, required to be a double vector.
SEXP ArgDouble(SEXP arglist, int pos, const char* name);
// Element pos (1-based) of arglist, required to be an integer vector.
SEXP ArgInteger(SEXP arglist, int pos, const char* name);
// First element of the integer vector at pos; NA, a missing element or a
// negative value is an error.
long32 ArgSize(SEXP arglist, int pos, const char* name);
// First element of the double vector at pos; missing or NA is an error.
double ArgScalarDouble(SEXP arglist, int pos, const char* name);
// Length of the vector at pos must be at least minLength.
void CheckMinLength(SEXP arglist, int pos, const char* name, double minLength);
// Every entry of the integer vector at pos must lie in lo..hi (NA is out of range).
void CheckIndexRange(SEXP arglist, int pos, const char* name, long32 lo, long32 hi);
// Product of sizes as a double, for length rules that must not overflow.
inline double SizeProduct(double a, double b) { return a * b; }
// Largest R vector length the library accepts for an array it copies.
long32 CheckedLength(double length, const char* what);

// Reading a validated argument list into a job. New arrays (array new) hold
// the elements of the vector at pos, whose type the caller has checked; they
// throw std::bad_alloc. IntegerArgValue is the first element of the integer
// vector at pos.
double* CopyDoubleArg(SEXP arglist, int pos);
int* CopyIntegerArg(SEXP arglist, int pos);
long32 IntegerArgValue(SEXP arglist, int pos);

// Mode argument of the Run* entry points: FALSE runs synchronously; TRUE, NA
// or an empty vector starts a background job.
bool IsBackgroundMode(SEXP startThread);

// ---------------------------------------------------------------- running jobs

typedef SEXP (*ResultListBuilder)(CProgressThread* job);

// What an entry point calls its computation in its messages.
struct SJobMessages
{
    const char* failFormat;  // one %d, the status: the job's Go failed
    const char* interrupted; // the user interrupted a synchronous run
};

// Runs job synchronously (returns its result list, destroys the job, raises
// failFormat with the status when Go fails) or starts it in the background
// (returns its id). A synchronous run can be interrupted by the user: it then
// unwinds at its next progress report, the job is destroyed and the
// interrupted message raised. Takes ownership of job in every case.
SEXP RunJobForR(CProgressThread* job, bool background, ResultListBuilder build, const SJobMessages& messages);

// Raises "Thread was canceled" or "Thread is still running" unless job has
// finished, and failFormat with the status when it ended with an error.
void CheckFinishedJobForR(CProgressThread* job, const char* failFormat);

// The job behind tid: registered, of class Job (kind names the class in the
// error) and finished without error; raises the matching R error otherwise.
template <class Job> Job* GetFinishedJobForR(SEXP tid, const char* kind, const char* failFormat)
{
    Job* job = LookupJobOfKindForR<Job>(tid, "Could not get thread information for thread id = %d", kind);
    CheckFinishedJobForR(job, failFormat);
    return job;
}

// The result list ("lr", "lr0") of a finished ODP job.
SEXP GetODPResultList(COdpThread* pThread);

// A new Job built from a validated argument list, or null when its allocation
// or constructor threw (the constructor releases what it had copied); the
// caller raises its own R error for null.
template <class Job> Job* NewJobOrNull(SEXP arglist)
{
    try {
        return new Job(arglist);
    } catch (...) {
        return 0;
    }
}

// ---------------------------------------------------------------- time-course entry points

// List "F" (the job's m x B statistics) and an unnamed NULL.
SEXP GetTimecourseResultList(CProgressThread* pThread);

// nGrp at pos: N counts, none negative or NA, adding up to n.
void CheckGroupSizes(SEXP arglist, int pos, const char* name, long32 N, long32 n);
// Raises "arglist[[pos]] ('N') ..." unless N <= n.
void CheckIndividuals(int pos, long32 N, long32 n);


#endif
