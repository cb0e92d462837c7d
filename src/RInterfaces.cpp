// R entry points of the ODP and time-course analyses, the interruptible
// .Call forms of the EM fit and the kNN imputation, and the argument checks
// and job runner they share.

#include "RInterfaces.h"
#include "MathUtility.h"
#include "OdpThread.h"
#include "Rintf_threads.h"
#include "TimecourseIntercept.h"
#include "TimecourseNoIntercept.h"
#include "TimecourseThread.h"
#include "knnimpute.h"
#include "threads/InterruptCheck.h"
#include "threads/ProgressThread.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <initializer_list>
#include <string>
#include <utility>

extern "C" SEXP GetLumoLibraryVersion()
{
    SEXP result = PROTECT(Rf_allocVector(STRSXP, 1));
    SET_STRING_ELT(result, 0, Rf_mkChar("1.1.290"));
    UNPROTECT(1);
    return result;
}

extern "C" SEXP GetOdpInstructionSet()
{
    return Rf_mkString(lumo::OdpInstructionSet());
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

double* CopyDoubleArg(SEXP arglist, int pos)
{
    SEXP x = VECTOR_ELT(arglist, pos - 1);
    return CMathUtility::CopyVector(REAL(x), Rf_length(x));
}

int* CopyIntegerArg(SEXP arglist, int pos)
{
    SEXP x = VECTOR_ELT(arglist, pos - 1);
    return CMathUtility::CopyVector(INTEGER(x), Rf_length(x));
}

long32 IntegerArgValue(SEXP arglist, int pos)
{
    return INTEGER(VECTOR_ELT(arglist, pos - 1))[0];
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

namespace
{
struct BuildCall
{
    ResultListBuilder build;
    CProgressThread* job;
};

SEXP CallBuild(void* data)
{
    BuildCall* call = static_cast<BuildCall*>(data);
    return call->build(call->job);
}

void ReleaseJobAfterBuild(void* data, Rboolean)
{
    delete static_cast<BuildCall*>(data)->job;
}
} // namespace

SEXP RunJobForR(CProgressThread* job, bool background, ResultListBuilder build, const SJobMessages& messages)
{
    if (background)
        return StartJobForR(job);

    int status;
    bool interrupted = false;
    {
        CInterruptCheck interrupt(&RUserInterrupted, 0);
        job->SetInterruptCheck(&interrupt);
        try {
            status = job->Go(pthread_t());
        } catch (const CStopRequest&) {
            interrupted = true;
            status = 0;
        } catch (const std::bad_alloc&) {
            job->SetErrorMessage("Out of memory");
            status = LUMO_STATUS_OUT_OF_MEMORY;
        } catch (const std::exception& e) {
            job->SetErrorMessage(e.what());
            status = LUMO_STATUS_EXCEPTION;
        } catch (...) {
            status = LUMO_STATUS_EXCEPTION;
        }
        job->SetInterruptCheck(0);
    }
    if (interrupted) {
        delete job;
        Rf_error("%s", messages.interrupted);
    }
    if (status != 0) {
        char message[600];
        FormatJobFailure(message, sizeof(message), messages.failFormat, status, job);
        delete job;
        Rf_error("%s", message);
    }
    // The result list is built while the job still holds the results; the job
    // is released whether building returns or R's allocation error unwinds.
    BuildCall call = {build, job};
    SEXP cont = PROTECT(R_MakeUnwindCont());
    SEXP result = R_UnwindProtect(&CallBuild, &call, &ReleaseJobAfterBuild, &call, cont);
    UNPROTECT(1);
    return result;
}

void CheckFinishedJobForR(CProgressThread* job, const char* failFormat)
{
    RequireFinishedForR(job);
    int status = job->GetReturnStatus();
    if (status != 0) {
        char message[600];
        FormatJobFailure(message, sizeof(message), failFormat, status, job);
        Rf_error("%s", message);
    }
}

// ---------------------------------------------------------------- ODP entry points

static const char* const kOdpFailFormat = "ODP computation failed (error number %d)";
static const SJobMessages kOdpMessages = {kOdpFailFormat, "ODP computation was interrupted"};

// Raises an error naming arglist[[pos]] unless its length equals expected.
static void CheckLengthRule(SEXP arglist, int pos, const char* name, const char* rule, double expected)
{
    double len = (double)Rf_xlength(VECTOR_ELT(arglist, pos - 1));
    if (len != expected)
        Rf_error("arglist[[%d]] ('%s') has length %.0f; %s requires %.0f", pos, name, len, rule, expected);
}

// Elements 25 to 27 of the ODP argument list: the kind of null, and for the
// drawn null the priors and the keys of the random streams.
static void ValidateOdpDrawArgs(SEXP arglist, long32 B, long32 m0, long32 n, long32 k)
{
    const long32 kind = ArgSize(arglist, 25, "null");
    if (kind != kOdpNullResampled && kind != kOdpNullDrawn)
        Rf_error("arglist[[25]] ('null') must be %d (resampled) or %d (drawn), not %d", kOdpNullResampled,
                 kOdpNullDrawn, (int)kind);
    if (kind != kOdpNullDrawn)
        return;
    CheckArgListLength(arglist, 27);
    SEXP priors = ArgDouble(arglist, 26, "priors");
    if (Rf_length(priors) != 6)
        Rf_error("arglist[[26]] ('priors') must hold 6 numbers (df and variance of three priors), not %d",
                 Rf_length(priors));
    for (int p = 0; p < 6; p += 2) {
        const double df = REAL(priors)[p], var = REAL(priors)[p + 1];
        if (ISNAN(df) || df < 0 || (df > 0 && !(std::isfinite(var) && var > 0)))
            Rf_error("arglist[[26]] ('priors'): prior %d needs df >= 0 and, with df > 0, a positive finite "
                     "variance",
                     p / 2 + 1);
    }
    if (m0 > 0 && n - k < 1)
        Rf_error("the drawn null needs more arrays than groups (n = %d, k = %d)", (int)n, (int)k);
    ArgInteger(arglist, 27, "keys");
    CheckLengthRule(arglist, 27, "keys", "B x 2 keys", SizeProduct(B, 2));
}

// Every check of the ODP argument list, before anything is built: the R
// types, the sizes, the length rules of the job and every length and index
// the kernels read.
static void ValidateOdpArgs(SEXP arglist)
{
    CheckArgListLength(arglist, 24);
    const long32 B = ArgSize(arglist, 1, "B");
    const long32 m = ArgSize(arglist, 21, "m");
    const long32 n = ArgSize(arglist, 22, "n");
    const long32 k = ArgSize(arglist, 23, "k");
    const long32 m0 = ArgSize(arglist, 24, "m0");
    static const struct
    {
        int pos;
        const char* name;
        bool isDouble;
    } arrays[] = {{8, "xx", true},        {9, "xk", true},       {10, "mu", true},    {11, "sigma", true},
                  {12, "sigma0", true},   {13, "muBS", true},    {14, "sigmaBS", true}, {15, "sigma0BS", true},
                  {16, "ID", false},      {17, "nGrp", false},   {18, "res", true},   {19, "vv", false},
                  {20, "nii", false}};
    for (const auto& a : arrays) {
        if (a.isDouble)
            ArgDouble(arglist, a.pos, a.name);
        else
            ArgInteger(arglist, a.pos, a.name);
    }
    if (m0 > m)
        Rf_error("arglist[[24]] ('m0') is %d; it cannot exceed the number of genes m = %d", (int)m0, (int)m);
    CheckedLength(SizeProduct(m, n), "the resampled data (m*n)");
    CheckedLength(SizeProduct(m, k), "the group sums (m*k)");
    CheckedLength(SizeProduct(m0, B), "the null statistics (m0*B)");

    CheckLengthRule(arglist, 8, "xx", "m_xxlen == m_m", m);
    CheckLengthRule(arglist, 9, "xk", "m_xklen == m_m*m_k", SizeProduct(m, k));
    CheckLengthRule(arglist, 11, "sigma", "m_sigmalen == m_m", m);
    CheckLengthRule(arglist, 16, "ID", "m_idlen == m_n*m_k", SizeProduct(n, k));
    CheckLengthRule(arglist, 17, "nGrp", "m_ngrplen == m_k", k);
    CheckLengthRule(arglist, 18, "res", "m_reslen == m_m0*m_n", SizeProduct(m0, n));
    CheckLengthRule(arglist, 19, "vv", "m_vvlen == m_B*m_n", SizeProduct(B, n));

    CheckMinLength(arglist, 10, "mu", SizeProduct(m, k));
    CheckMinLength(arglist, 15, "sigma0BS", m0);
    CheckMinLength(arglist, 20, "nii", m0);
    if (m > 0)
        CheckIndexRange(arglist, 20, "nii", 0, m - 1);
    else if (Rf_length(VECTOR_ELT(arglist, 19)) > 0)
        Rf_error("arglist[[20]] ('nii') must be empty when there are no genes");
    if (n > 0)
        CheckIndexRange(arglist, 19, "vv", 0, n - 1);
    SEXP nii = VECTOR_ELT(arglist, 19);
    double largest = -1;
    for (R_xlen_t i = 0; i < Rf_xlength(nii); i++)
        if (INTEGER(nii)[i] > largest)
            largest = INTEGER(nii)[i];
    CheckMinLength(arglist, 12, "sigma0", largest + 1);
    if (Rf_length(arglist) >= 25)
        ValidateOdpDrawArgs(arglist, B, m0, n, k);
}

static SEXP GetODPResultListOfJob(CProgressThread* job)
{
    return GetODPResultList(static_cast<COdpThread*>(job));
}

SEXP GetODPResultList(COdpThread* pThread)
{
    if (pThread == 0)
        Rf_error("null pThread passed to GetODPResultList");
    SEXP list = PROTECT(Rf_allocVector(VECSXP, 2));
    SEXP names = PROTECT(Rf_allocVector(STRSXP, 2));
    SEXP lr = PROTECT(Rf_allocVector(REALSXP, pThread->GetObservedResultSize()));
    SEXP lr0 = PROTECT(Rf_allocVector(REALSXP, pThread->GetNullResultSize()));
    if (pThread->GetObservedResultSize() > 0)
        memcpy(REAL(lr), pThread->GetObservedResult(), sizeof(double) * pThread->GetObservedResultSize());
    if (pThread->GetNullResultSize() > 0)
        memcpy(REAL(lr0), pThread->GetNullResult(), sizeof(double) * pThread->GetNullResultSize());
    SET_VECTOR_ELT(list, 0, lr);
    SET_VECTOR_ELT(list, 1, lr0);
    SET_STRING_ELT(names, 0, Rf_mkChar("lr"));
    SET_STRING_ELT(names, 1, Rf_mkChar("lr0"));
    Rf_setAttrib(list, R_NamesSymbol, names);
    UNPROTECT(4);
    return list;
}


extern "C" SEXP RunODP(SEXP arglist, SEXP startThread)
{
    const bool background = IsBackgroundMode(startThread);
    ValidateOdpArgs(arglist);
    COdpThread* job = NewJobOrNull<COdpThread>(arglist);
    if (job == 0)
        Rf_error("Could not allocate COdpThread object");
    return RunJobForR(job, background, GetODPResultListOfJob, kOdpMessages);
}

extern "C" SEXP GetODPResult(SEXP tid)
{
    return GetODPResultList(GetFinishedJobForR<COdpThread>(tid, "an ODP job", kOdpFailFormat));
}

// ---------------------------------------------------------------- time-course entry points

static const char* const kTimecourseFailure = "Timecourse computation failed (error number %d)";
static const SJobMessages kTimecourseMessages = {kTimecourseFailure, "Timecourse computation was interrupted"};

void CheckGroupSizes(SEXP arglist, int pos, const char* name, long32 N, long32 n)
{
    SEXP x = VECTOR_ELT(arglist, pos - 1);
    const int* p = INTEGER(x);
    long long total = 0;
    for (long32 l = 0; l < N; l++) {
        if (p[l] == NA_INTEGER || p[l] < 0)
            Rf_error("arglist[[%d]] ('%s'): entry %d must be a non-negative count", pos, name, (int)l + 1);
        total += p[l];
    }
    if (total != n)
        Rf_error("arglist[[%d]] ('%s') adds up to %.0f; expected n = %d", pos, name, (double)total, (int)n);
}

void CheckIndividuals(int pos, long32 N, long32 n)
{
    if (N > n)
        Rf_error("arglist[[%d]] ('N') is %d; it may not exceed n = %d", pos, (int)N, (int)n);
}

SEXP GetTimecourseResultList(CProgressThread* pThread)
{
    if (pThread == 0)
        Rf_error("Null argument passed to GetTimecourseResultList");
    const int size = pThread->GetReturnDataSize();
    if (size < 0)
        Rf_error("Invalid return data size: %d", size);
    const double* data = static_cast<const double*>(pThread->GetReturnData());
    if (data == 0)
        Rf_error("Result data not found");
    SEXP list = PROTECT(Rf_allocVector(VECSXP, 2));
    SEXP names = PROTECT(Rf_allocVector(STRSXP, 2));
    SEXP F = PROTECT(Rf_allocVector(REALSXP, size));
    if (size > 0)
        memcpy(REAL(F), data, sizeof(double) * (size_t)size);
    SET_VECTOR_ELT(list, 0, F);
    SET_STRING_ELT(names, 0, Rf_mkChar("F"));
    SET_STRING_ELT(names, 1, Rf_mkChar(""));
    Rf_setAttrib(list, R_NamesSymbol, names);
    UNPROTECT(3);
    return list;
}

// Builds a job of class T from a checked list; null when that throws.
template <class T> static SEXP RunTimecourse(SEXP arglist, SEXP startThread)
{
    const bool background = IsBackgroundMode(startThread);
    T::CheckArgList(arglist);
    CProgressThread* job = NewJobOrNull<T>(arglist);
    if (job == 0)
        Rf_error("Could not allocate CTimecourseThread object");
    return RunJobForR(job, background, &GetTimecourseResultList, kTimecourseMessages);
}

extern "C" SEXP RunTimecourseIndep(SEXP arglist, SEXP startThread)
{
    return RunTimecourse<CTimecourseThread>(arglist, startThread);
}

extern "C" SEXP RunTimecourseNoInt(SEXP arglist, SEXP startThread)
{
    return RunTimecourse<CTimecourseNoIntercept>(arglist, startThread);
}

extern "C" SEXP RunTimecourseInt(SEXP arglist, SEXP startThread)
{
    return RunTimecourse<CTimecourseIntercept>(arglist, startThread);
}

extern "C" SEXP GetTimecourseResult(SEXP tid)
{
    return GetTimecourseResultList(GetFinishedJobForR<CTimecourseJob>(tid, "a time-course job", kTimecourseFailure));
}

extern "C" void EMFitR(double* datR, double* HR, int* ind, int* idx, double* eps, double* fitR, double* alphaR,
                       long32* m, long32* n, long32* N, int* nGrp, long32* iter)
{
    char message[256];
    bool outOfMemory = false;
    if (CheckEMFitArguments(m, n, N, nGrp, idx, eps, message, sizeof(message)) == 0) {
        try {
            lumo::CWorkerPool pool(lumo::DefaultThreadCount());
            EMFitColumnMajor(datR, HR, ind, idx, eps, fitR, alphaR, m, n, N, nGrp, iter, pool);
            return;
        } catch (...) {
            outOfMemory = true;
        }
    }
    // Raised from here, where nothing owns memory.
    if (outOfMemory)
        Rf_error("EMFitR: out of memory for %d genes and %d arrays", (int)*m, (int)*n);
    Rf_error("EMFitR: %s", message);
}

// Raises an error naming argument `name` of an interruptible routine unless x
// is a vector of the given type and length (length < 0: any).
static void CheckRoutineArg(SEXP x, const char* routine, const char* name, SEXPTYPE type, double length)
{
    if (TYPEOF(x) != (int)type)
        Rf_error("%s: '%s' must be a vector of type %s, not %s", routine, name, Rf_type2char(type), TypeName(x));
    if (length >= 0 && (double)Rf_xlength(x) != length)
        Rf_error("%s: '%s' has length %.0f; expected %.0f", routine, name, (double)Rf_xlength(x), length);
}

static long32 RoutineSize(SEXP x, const char* routine, const char* name)
{
    CheckRoutineArg(x, routine, name, INTSXP, 1);
    if (INTEGER(x)[0] == NA_INTEGER || INTEGER(x)[0] < 0)
        Rf_error("%s: '%s' must be a non-negative size", routine, name);
    return INTEGER(x)[0];
}

namespace
{
// A named list of values the caller keeps protected.
SEXP NamedList(std::initializer_list<std::pair<const char*, SEXP>> items)
{
    SEXP list = PROTECT(Rf_allocVector(VECSXP, (R_xlen_t)items.size()));
    SEXP names = PROTECT(Rf_allocVector(STRSXP, (R_xlen_t)items.size()));
    R_xlen_t i = 0;
    for (const auto& item : items) {
        SET_VECTOR_ELT(list, i, item.second);
        SET_STRING_ELT(names, i, Rf_mkChar(item.first));
        i++;
    }
    Rf_setAttrib(list, R_NamesSymbol, names);
    UNPROTECT(2);
    return list;
}

enum SyncOutcome { kSyncDone, kSyncInterrupted, kSyncOutOfMemory };

// Runs work(interrupt) in the calling thread as a synchronous job runs: the
// work reports to this thread, which asks R for an interrupt at a bounded
// rate. No exception leaves; the caller raises any R error after every C++
// object of the work is gone.
template <class Work> SyncOutcome RunSynchronously(Work work)
{
    CInterruptCheck interrupt(&RUserInterrupted, 0);
    try {
        work(&interrupt);
    } catch (const CStopRequest&) {
        return kSyncInterrupted;
    } catch (...) {
        return kSyncOutOfMemory;
    }
    return kSyncDone;
}
} // namespace

extern "C" SEXP EMFitInterruptible(SEXP datR, SEXP HR, SEXP ind, SEXP idx, SEXP eps, SEXP m, SEXP n, SEXP N,
                                   SEXP nGrp)
{
    static const char* const routine = "EMFitInterruptible";
    long32 mm = RoutineSize(m, routine, "m"), nn = RoutineSize(n, routine, "n"), NN = RoutineSize(N, routine, "N");
    const double cells = (double)mm * (double)nn;
    CheckRoutineArg(datR, routine, "dat", REALSXP, cells);
    CheckRoutineArg(HR, routine, "H", REALSXP, (double)nn * (double)nn);
    CheckRoutineArg(ind, routine, "ind", INTSXP, -1);
    CheckRoutineArg(idx, routine, "idx", INTSXP, nn);
    CheckRoutineArg(eps, routine, "eps", REALSXP, 1);
    CheckRoutineArg(nGrp, routine, "nGrp", INTSXP, NN);
    char message[256];
    if (CheckEMFitArguments(&mm, &nn, &NN, INTEGER(nGrp), INTEGER(idx), REAL(eps), message, sizeof(message)) != 0)
        Rf_error("%s: %s", routine, message);
    CheckedLength(cells, "the fit (m*n)");

    SEXP fit = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)cells));
    SEXP alpha = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)cells));
    long32 iter = 0;
    const SyncOutcome outcome = RunSynchronously([&](CInterruptCheck* interrupt) {
        lumo::CWorkerPool pool(lumo::DefaultThreadCount());
        EMFitColumnMajor(REAL(datR), REAL(HR), INTEGER(ind), INTEGER(idx), REAL(eps), REAL(fit), REAL(alpha), &mm, &nn,
                         &NN, INTEGER(nGrp), &iter, pool, &InterruptCheckCallback, interrupt);
    });
    // Raised from here, where nothing owns memory.
    if (outcome == kSyncInterrupted)
        Rf_error("EM fit was interrupted");
    if (outcome == kSyncOutOfMemory)
        Rf_error("%s: out of memory for %d genes and %d arrays", routine, (int)mm, (int)nn);

    SEXP iterations = PROTECT(Rf_ScalarInteger(iter));
    SEXP result = NamedList({{"fit", fit}, {"alpha", alpha}, {"iter", iterations}});
    UNPROTECT(3);
    return result;
}

extern "C" SEXP KnnImputeInterruptible(SEXP x, SEXP p, SEXP n, SEXP imiss, SEXP irmiss, SEXP kn)
{
    static const char* const routine = "KnnImputeInterruptible";
    const long32 pp = RoutineSize(p, routine, "p"), nn = RoutineSize(n, routine, "n");
    const long32 k = RoutineSize(kn, routine, "kn");
    const double cells = (double)pp * (double)nn;
    CheckRoutineArg(x, routine, "x", REALSXP, cells);
    CheckRoutineArg(imiss, routine, "imiss", INTSXP, cells);
    CheckRoutineArg(irmiss, routine, "irmiss", INTSXP, pp);
    char message[160];
    if (!KnnimpArgsValid(pp, nn, k, INTEGER(imiss), message, sizeof message))
        Rf_error("%s", message);

    // Written into copies, so that an interrupted call changes nothing of R's.
    SEXP ximp = PROTECT(Rf_duplicate(x));
    SEXP imissOut = PROTECT(Rf_duplicate(imiss));
    const SyncOutcome outcome = RunSynchronously([&](CInterruptCheck* interrupt) {
        lumo::CWorkerPool pool(lumo::DefaultThreadCount());
        lumo::KnnImpute(REAL(x), REAL(ximp), pp, nn, INTEGER(imissOut), INTEGER(irmiss), k, pool,
                        &InterruptCheckCallback, interrupt);
    });
    if (outcome == kSyncInterrupted)
        Rf_error("kNN imputation was interrupted");
    if (outcome == kSyncOutOfMemory)
        Rf_error("not enough memory to impute a %d x %d matrix", (int)pp, (int)nn);

    SEXP result = NamedList({{"ximp", ximp}, {"imiss", imissOut}});
    UNPROTECT(2);
    return result;
}
