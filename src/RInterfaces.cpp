// R entry points of the ODP and time-course analyses, and the argument
// checks and job runner they share.

#include "RInterfaces.h"
#include "Rintf_threads.h"
#include "threads/ProgressThread.h"

#include <climits>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

extern "C" SEXP GetLumoLibraryVersion()
{
    SEXP result = PROTECT(Rf_allocVector(STRSXP, 1));
    SET_STRING_ELT(result, 0, Rf_mkChar("1.1.290"));
    UNPROTECT(1);
    return result;
}

void CheckLength(long32 actLength, const char* argName, long32 expLength)
{
    if (actLength != expLength)
        Rf_error("length of '%s' is %d; expected %d", argName, (int)actLength, (int)expLength);
}

// ---------------------------------------------------------------- argument checks

void CheckArgListLength(SEXP arglist, int minLength)
{
    if (TYPEOF(arglist) != VECSXP)
        Rf_error("arglist must be a list (length(arglist)>=%d)", minLength);
    if (Rf_length(arglist) < minLength)
        Rf_error("length(arglist)>=%d is required; arglist has %d elements", minLength, Rf_length(arglist));
}

static const char* TypeName(SEXP x)
{
    return Rf_type2char(TYPEOF(x));
}

SEXP ArgDouble(SEXP arglist, int pos, const char* name)
{
    SEXP x = VECTOR_ELT(arglist, pos - 1);
    if (TYPEOF(x) != REALSXP)
        Rf_error("arglist[[%d]] ('%s') must be a double vector, not %s", pos, name, TypeName(x));
    return x;
}

SEXP ArgInteger(SEXP arglist, int pos, const char* name)
{
    SEXP x = VECTOR_ELT(arglist, pos - 1);
    if (TYPEOF(x) != INTSXP)
        Rf_error("arglist[[%d]] ('%s') must be an integer vector, not %s", pos, name, TypeName(x));
    return x;
}

long32 ArgSize(SEXP arglist, int pos, const char* name)
{
    SEXP x = ArgInteger(arglist, pos, name);
    if (Rf_length(x) < 1)
        Rf_error("arglist[[%d]] ('%s') must hold a size, but is empty", pos, name);
    int v = INTEGER(x)[0];
    if (v == NA_INTEGER)
        Rf_error("arglist[[%d]] ('%s') must be a size, not NA", pos, name);
    if (v < 0)
        Rf_error("arglist[[%d]] ('%s') must be a non-negative size, not %d", pos, name, v);
    return v;
}

double ArgScalarDouble(SEXP arglist, int pos, const char* name)
{
    SEXP x = ArgDouble(arglist, pos, name);
    if (Rf_length(x) < 1)
        Rf_error("arglist[[%d]] ('%s') must hold a number, but is empty", pos, name);
    double v = REAL(x)[0];
    if (ISNAN(v))
        Rf_error("arglist[[%d]] ('%s') must be a number, not NA", pos, name);
    return v;
}

void CheckMinLength(SEXP arglist, int pos, const char* name, double minLength)
{
    double len = (double)Rf_xlength(VECTOR_ELT(arglist, pos - 1));
    if (len < minLength)
        Rf_error("arglist[[%d]] ('%s') has length %.0f; at least %.0f needed", pos, name, len, minLength);
}

void CheckIndexRange(SEXP arglist, int pos, const char* name, long32 lo, long32 hi)
{
    SEXP x = VECTOR_ELT(arglist, pos - 1);
    if (TYPEOF(x) != INTSXP)
        Rf_error("arglist[[%d]] ('%s') must be an integer vector, not %s", pos, name, TypeName(x));
    R_xlen_t n = Rf_xlength(x);
    const int* p = INTEGER(x);
    for (R_xlen_t i = 0; i < n; i++) {
        if (p[i] == NA_INTEGER || p[i] < lo || p[i] > hi)
            Rf_error("arglist[[%d]] ('%s'): entry %.0f is out of range %d..%d", pos, name, (double)(i + 1),
                     (int)lo, (int)hi);
    }
}

long32 CheckedLength(double length, const char* what)
{
    if (length > (double)INT_MAX)
        Rf_error("%s needs %.0f elements; at most %d are supported", what, length, INT_MAX);
    return (long32)length;
}

bool IsBackgroundMode(SEXP startThread)
{
    if (Rf_length(startThread) < 1)
        return true;
    int v = Rf_asLogical(startThread);
    return v != 0; // TRUE or NA
}

// ---------------------------------------------------------------- running jobs

// Formats failFormat (one %d, the status) followed by the job's error text, if any.
static void FormatJobFailure(char* buf, size_t size, const char* failFormat, int status, CProgressThread* job)
{
    std::string err = job->GetErrorMessage();
    int used = snprintf(buf, size, failFormat, status);
    if (!err.empty() && used >= 0 && (size_t)used < size)
        snprintf(buf + used, size - used, ": %s", err.c_str());
}

SEXP RunJobForR(CProgressThread* job, bool background, ResultListBuilder build, const char* failFormat)
{
    if (background)
        return StartJobForR(job);

    int status;
    try {
        status = job->Go(pthread_t());
    } catch (const std::bad_alloc&) {
        job->SetErrorMessage("Out of memory");
        status = LUMO_STATUS_OUT_OF_MEMORY;
    } catch (const std::exception& e) {
        job->SetErrorMessage(e.what());
        status = LUMO_STATUS_EXCEPTION;
    } catch (...) {
        status = LUMO_STATUS_EXCEPTION;
    }
    if (status != 0) {
        char message[600];
        FormatJobFailure(message, sizeof(message), failFormat, status, job);
        delete job;
        Rf_error("%s", message);
    }
    SEXP result = PROTECT(build(job));
    delete job;
    UNPROTECT(1);
    return result;
}

CProgressThread* GetFinishedJobForR(SEXP tid, const char* failFormat)
{
    int id = GetJobIdArg(tid);
    CProgressThread* job = id == NA_INTEGER ? 0 : CProgressThreadManager::GetProgressThread(id);
    if (job == 0)
        Rf_error("Could not get thread information for thread id = %d", id);
    if (job->GetIsCanceled())
        Rf_error("Thread was canceled");
    if (!job->GetIsFinished())
        Rf_error("Thread is still running");
    int status = job->GetReturnStatus();
    if (status != 0) {
        char message[600];
        FormatJobFailure(message, sizeof(message), failFormat, status, job);
        Rf_error("%s", message);
    }
    return job;
}

// ---------------------------------------------------------------- ODP entry points

// ---------------------------------------------------------------- time-course entry points
