// Entry points that poll, stop and delete background jobs of every kind.

#include "Rintf_threads.h"

#include "Rintf_guard.h"

#include <R_ext/Utils.h>
#include <cstdio>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include "threads/ProgressThread.h"
#include "threads/WorkerPool.h"

int GetJobIdArg(SEXP sthreadid)
{
    SEXP ids = PROTECT(Rf_coerceVector(sthreadid, INTSXP));
    int id = Rf_length(ids) > 0 ? INTEGER(ids)[0] : NA_INTEGER;
    UNPROTECT(1);
    return id;
}

CProgressThread* LookupJobForR(SEXP sthreadid, const char* notFoundFormat)
{
    if (Rf_length(sthreadid) < 1)
        throw CRError("job id is empty");
    int id = GetJobIdArg(sthreadid);
    if (id == NA_INTEGER)
        throw CRError("job id is NA");
    CProgressThread* job = CProgressThreadManager::GetProgressThread(id);
    if (job == 0) {
        char message[160];
        snprintf(message, sizeof message, notFoundFormat, id);
        throw CRError(message);
    }
    return job;
}

void RaiseWrongJobKind(int id, const char* kind)
{
    ThrowRError("job %d is not %s", id, kind);
}

void RequireFinishedForR(CProgressThread* job)
{
    if (job->GetIsCanceled())
        throw CRError("Thread was canceled");
    if (!job->GetIsFinished())
        throw CRError("Thread is still running");
}

static void CheckUserInterrupt(void*)
{
    R_CheckUserInterrupt();
}

bool RUserInterrupted(void*)
{
    return !R_ToplevelExec(&CheckUserInterrupt, 0);
}

static CProgressThread* LookupJobOrError(SEXP sthreadid)
{
    return LookupJobForR(sthreadid, "Could not get information for thread id %d");
}

SEXP StartJobForR(CProgressThread* job)
{
    int status = job->Start();
    if (status != 0 && !job->GetIsStarted()) {
        delete job;
        ThrowRError("Could not start thread (error number %d)", status);
    }
    int id = job->GetJobId();
    // A warning may jump (options(warn = 2)); the job belongs to the registry
    // by now and nothing here owns memory.
    if (status != 0)
        Rf_warning("Thread %d was started, but returned status code %d", id, status);
    SEXP result = PROTECT(Rf_allocVector(INTSXP, 1));
    INTEGER(result)[0] = id;
    UNPROTECT(1);
    return result;
}

extern "C" SEXP GetProgressValues(SEXP sthreadid)
{
    return GuardedCall([&]() {
        CProgressThread* job = LookupJobOrError(sthreadid);
        // Copy under the lock, build the R objects after unlocking: an allocation
        // error while building can then never leave the job's mutex held.
        SProgressSnapshot s = job->GetSnapshot();

        static const char* names[6] = {"max", "current", "done", "canceled", "threadid", "msgid"};
        SEXP list = PROTECT(Rf_allocVector(VECSXP, 6));
        SEXP nms = PROTECT(Rf_allocVector(STRSXP, 6));
        SET_VECTOR_ELT(list, 0, Rf_ScalarReal(s.Max));
        SET_VECTOR_ELT(list, 1, Rf_ScalarReal(s.Current));
        SET_VECTOR_ELT(list, 2, Rf_ScalarInteger(s.Finished ? 1 : 0));
        SET_VECTOR_ELT(list, 3, Rf_ScalarInteger(s.Canceled ? 1 : 0));
        SET_VECTOR_ELT(list, 4, Rf_ScalarInteger(s.JobId));
        SET_VECTOR_ELT(list, 5, Rf_ScalarInteger(s.MsgId));
        for (int i = 0; i < 6; i++)
            SET_STRING_ELT(nms, i, Rf_mkChar(names[i]));
        Rf_setAttrib(list, R_NamesSymbol, nms);
        UNPROTECT(2);
        return list;
    });
}

extern "C" SEXP StopThread(SEXP sthreadid)
{
    return GuardedCall([&]() {
        CProgressThread* job = LookupJobOrError(sthreadid);
        return Rf_ScalarInteger(job->Stop());
    });
}

extern "C" SEXP DeleteThread(SEXP sthreadid)
{
    return GuardedCall([&]() {
        CProgressThread* job = LookupJobOrError(sthreadid);
        SEXP result = PROTECT(Rf_allocVector(INTSXP, 1));
        INTEGER(result)[0] = 0;
        CProgressThreadManager::Erase(job->GetJobId());
        // Stops a job that has not finished, waits for its worker, then frees it.
        CProgressThreadManager::DestroyJob(job);
#if defined(__GLIBC__)
        // glibc keeps the freed memory of the job's threads in their arenas; give
        // it back, or the session's memory grows with every job it has run.
        malloc_trim(0);
#endif
        UNPROTECT(1);
        return result;
    });
}

extern "C" SEXP SetThreadCount(SEXP sthreads)
{
    return GuardedCall([&]() {
        int n = Rf_asInteger(sthreads);
        if (n == NA_INTEGER || n < 1)
            throw CRError("thread count must be a positive whole number");
        int previous = lumo::DefaultThreadCount();
        lumo::SetDefaultThreadCount(n);
        return Rf_ScalarInteger(previous);
    });
}

extern "C" SEXP GetThreadCount(void)
{
    return GuardedCall([]() { return Rf_ScalarInteger(lumo::DefaultThreadCount()); });
}

extern "C" SEXP GetJobHandle(void)
{
    return GuardedCall([]() {
        static int anchor = 0;
        return R_MakeExternalPtr(&anchor, R_NilValue, R_NilValue);
    });
}

extern "C" SEXP GetPhaseNames(void)
{
    return GuardedCall([]() {
        SEXP names = PROTECT(Rf_allocVector(STRSXP, kPhaseCount));
        for (int i = 0; i < kPhaseCount; i++)
            SET_STRING_ELT(names, i, Rf_mkChar(PhaseName(i)));
        UNPROTECT(1);
        return names;
    });
}
