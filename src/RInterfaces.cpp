// R entry points of the ODP and time-course analyses, the interruptible
// .Call forms of the EM fit and the kNN imputation, the checked .C and
// .Fortran routines, and the job runner they share. Every entry point runs
// its body through GuardedCall (Rintf_guard.h); the argument lists are read
// through their contracts (RArgs.h).

#include "RInterfaces.h"
#include "MathUtility.h"
#include "ClusterException.h"
#include "OdpThread.h"
#include "Rintf_threads.h"
#include "InterceptFit.h"
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
#include <vector>

extern "C" SEXP GetLumoLibraryVersion()
{
    return GuardedCall([]() {
        SEXP result = PROTECT(Rf_allocVector(STRSXP, 1));
        SET_STRING_ELT(result, 0, Rf_mkChar("1.1.290"));
        UNPROTECT(1);
        return result;
    });
}

extern "C" SEXP GetOdpInstructionSet()
{
    return GuardedCall([]() { return Rf_mkString(lumo::OdpInstructionSet()); });
}

// ---------------------------------------------------------------- running jobs

// Throws failFormat (one %d, the status) followed by the job's error text, if any.
[[noreturn]] static void ThrowJobFailure(const char* failFormat, int status, const std::string& err)
{
    char message[600];
    int used = snprintf(message, sizeof message, failFormat, status);
    if (!err.empty() && used >= 0 && (size_t)used < sizeof message)
        snprintf(message + used, sizeof message - used, ": %s", err.c_str());
    throw CRError(message);
}

namespace
{
struct BuildCall
{
    ResultListBuilder build;
    CProgressThread* job;
    bool failed;
    char message[kGuardMessageSize];
};

// Runs inside R_UnwindProtect, whose C frames no exception may cross: a
// failure is kept and thrown once R_UnwindProtect has returned.
SEXP CallBuild(void* data)
{
    BuildCall* call = static_cast<BuildCall*>(data);
    try {
        return call->build(call->job);
    } catch (...) {
        DescribeCurrentException(kGuardMessages, call->message, sizeof call->message);
        call->failed = true;
    }
    return R_NilValue;
}

void ReleaseJobAfterBuild(void* data, Rboolean)
{
    delete static_cast<BuildCall*>(data)->job;
}

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

// A new double vector holding the size values at data.
SEXP DoubleVector(const double* data, R_xlen_t size)
{
    SEXP v = Rf_allocVector(REALSXP, size);
    if (size > 0)
        memcpy(REAL(v), data, sizeof(double) * (size_t)size);
    return v;
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
        throw CRError(messages.interrupted);
    }
    if (status != 0) {
        const std::string err = job->GetErrorMessage();
        delete job;
        ThrowJobFailure(messages.failFormat, status, err);
    }
    // The result list is built while the job still holds the results; the job
    // is released whether building returns or R's allocation error unwinds.
    // Nothing here owns memory while R may jump: the call record is plain data.
    BuildCall call;
    call.build = build;
    call.job = job;
    call.failed = false;
    call.message[0] = '\0';
    SEXP cont = PROTECT(R_MakeUnwindCont());
    SEXP result = R_UnwindProtect(&CallBuild, &call, &ReleaseJobAfterBuild, &call, cont);
    UNPROTECT(1);
    if (call.failed)
        throw CRError(call.message);
    return result;
}

void CheckFinishedJobForR(CProgressThread* job, const char* failFormat)
{
    RequireFinishedForR(job);
    const int status = job->GetReturnStatus();
    if (status != 0)
        ThrowJobFailure(failFormat, status, job->GetErrorMessage());
}

// ---------------------------------------------------------------- ODP entry points

static const char* const kOdpFailFormat = "ODP computation failed (error number %d)";
static const SJobMessages kOdpMessages = {kOdpFailFormat, "ODP computation was interrupted"};

static SEXP GetODPResultListOfJob(CProgressThread* job)
{
    return GetODPResultList(static_cast<COdpThread*>(job));
}

SEXP GetODPResultList(COdpThread* pThread)
{
    if (pThread == 0)
        throw CRError("null pThread passed to GetODPResultList");
    SEXP lr = PROTECT(DoubleVector(pThread->GetObservedResult(), pThread->GetObservedResultSize()));
    SEXP lr0 = PROTECT(DoubleVector(pThread->GetNullResult(), pThread->GetNullResultSize()));
    const double* rss1 = pThread->GetNullRss1();
    // A third element only when the list asked for the null data's sums of squares.
    SEXP rss = PROTECT(rss1 != 0 ? DoubleVector(rss1, pThread->GetNullResultSize()) : R_NilValue);
    SEXP list =
        rss1 != 0 ? NamedList({{"lr", lr}, {"lr0", lr0}, {"rss1", rss}}) : NamedList({{"lr", lr}, {"lr0", lr0}});
    UNPROTECT(3);
    return list;
}

// A new Job built from a validated argument list; failing throws cannotBuild
// (the constructor has released what it had copied).
template <class Job> static Job* NewJob(const CArgList& args, const char* cannotBuild)
{
    try {
        return new Job(args);
    } catch (...) {
    }
    throw CRError(cannotBuild);
}

extern "C" SEXP RunODP(SEXP arglist, SEXP startThread)
{
    return GuardedCall([&]() {
        const bool background = IsBackgroundMode(startThread);
        const CArgList args(arglist, kOdpContract);
        ValidateOdpArgs(args);
        COdpThread* job = NewJob<COdpThread>(args, "Could not allocate COdpThread object");
        return RunJobForR(job, background, GetODPResultListOfJob, kOdpMessages);
    });
}

extern "C" SEXP GetODPResult(SEXP tid)
{
    return GuardedCall(
        [&]() { return GetODPResultList(GetFinishedJobForR<COdpThread>(tid, "an ODP job", kOdpFailFormat)); });
}

// ---------------------------------------------------------------- time-course entry points

static const char* const kTimecourseFailure = "Timecourse computation failed (error number %d)";
static const SJobMessages kTimecourseMessages = {kTimecourseFailure, "Timecourse computation was interrupted"};

SEXP GetTimecourseResultList(CProgressThread* pThread)
{
    if (pThread == 0)
        throw CRError("Null argument passed to GetTimecourseResultList");
    const int size = pThread->GetReturnDataSize();
    if (size < 0)
        ThrowRError("Invalid return data size: %d", size);
    const double* data = static_cast<const double*>(pThread->GetReturnData());
    if (data == 0)
        throw CRError("Result data not found");
    CTimecourseJob* job = dynamic_cast<CTimecourseJob*>(pThread);
    const double* rss1 = job != 0 ? job->Rss1() : 0;
    SEXP F = PROTECT(DoubleVector(data, size));
    // The second element stays an unnamed NULL unless the sums of squares were asked for.
    SEXP rss = PROTECT(rss1 != 0 ? DoubleVector(rss1, size) : R_NilValue);
    SEXP list = NamedList({{"F", F}, {rss1 != 0 ? "rss1" : "", rss}});
    UNPROTECT(2);
    return list;
}

// Builds a job of class T from a list checked by validate against contract.
template <class T>
static SEXP RunTimecourse(SEXP arglist, SEXP startThread, const SArgContract& contract,
                          void (*validate)(const CArgList&))
{
    return GuardedCall([&]() {
        const bool background = IsBackgroundMode(startThread);
        const CArgList args(arglist, contract);
        validate(args);
        CProgressThread* job = NewJob<T>(args, "Could not allocate CTimecourseThread object");
        return RunJobForR(job, background, &GetTimecourseResultList, kTimecourseMessages);
    });
}

extern "C" SEXP RunTimecourseIndep(SEXP arglist, SEXP startThread)
{
    return RunTimecourse<CTimecourseThread>(arglist, startThread, kIndepContract, &ValidateIndepArgs);
}

extern "C" SEXP RunTimecourseNoInt(SEXP arglist, SEXP startThread)
{
    return RunTimecourse<CTimecourseNoIntercept>(arglist, startThread, kNoIntContract, &ValidateNoIntArgs);
}

extern "C" SEXP RunTimecourseInt(SEXP arglist, SEXP startThread)
{
    return RunTimecourse<CTimecourseIntercept>(arglist, startThread, kIntContract, &ValidateIntArgs);
}

extern "C" SEXP GetTimecourseResult(SEXP tid)
{
    return GuardedCall([&]() {
        return GetTimecourseResultList(
            GetFinishedJobForR<CTimecourseJob>(tid, "a time-course job", kTimecourseFailure));
    });
}

// ---------------------------------------------------------------- EM fit and kNN imputation

extern "C" void EMFitR(double* datR, double* HR, int* ind, int* idx, double* eps, double* fitR, double* alphaR,
                       long32* m, long32* n, long32* N, int* nGrp, long32* iter)
{
    GuardedVoidCall([&]() {
        char message[256];
        if (CheckEMFitArguments(m, n, N, nGrp, idx, eps, message, sizeof(message)) != 0)
            ThrowArgError("EMFitR: %s", message);
        try {
            lumo::CWorkerPool pool(lumo::DefaultThreadCount());
            EMFitColumnMajor(datR, HR, ind, idx, eps, fitR, alphaR, m, n, N, nGrp, iter, pool);
        } catch (const std::bad_alloc&) {
            ThrowRError("EMFitR: out of memory for %d genes and %d arrays", (int)*m, (int)*n);
        }
    });
}

namespace
{
const char* TypeName(SEXP x)
{
    return Rf_type2char(TYPEOF(x));
}

// Throws an error naming argument `name` of an interruptible routine unless x
// is a vector of the given type and length (length < 0: any).
void CheckRoutineArg(SEXP x, const char* routine, const char* name, SEXPTYPE type, double length)
{
    if (TYPEOF(x) != (int)type)
        ThrowArgError("%s: '%s' must be a vector of type %s, not %s", routine, name, Rf_type2char(type), TypeName(x));
    if (length >= 0 && (double)Rf_xlength(x) != length)
        ThrowArgError("%s: '%s' has length %.0f; expected %.0f", routine, name, (double)Rf_xlength(x), length);
}

long32 RoutineSize(SEXP x, const char* routine, const char* name)
{
    CheckRoutineArg(x, routine, name, INTSXP, 1);
    if (INTEGER(x)[0] == NA_INTEGER || INTEGER(x)[0] < 0)
        ThrowArgError("%s: '%s' must be a non-negative size", routine, name);
    return INTEGER(x)[0];
}

// Runs work(interrupt) in the calling thread as a synchronous job runs: the
// work reports to this thread, which asks R for an interrupt at a bounded
// rate; the stop request it then throws, like a short allocation (thrown as
// outOfMemory), reaches the caller's guard.
template <class Work> void RunSynchronously(Work work, const char* outOfMemory)
{
    CInterruptCheck interrupt(&RUserInterrupted, 0);
    try {
        work(&interrupt);
    } catch (const std::bad_alloc&) {
        throw CRError(outOfMemory);
    }
}

const SGuardMessages kEMFitMessages = {"EM fit was interrupted", "Out of memory", "unknown error"};
const SGuardMessages kInterceptFitMessages = {"random-intercept fit was interrupted", "Out of memory", "unknown error"};
const SGuardMessages kKnnMessages = {"kNN imputation was interrupted", "Out of memory", "unknown error"};
} // namespace

extern "C" SEXP EMFitInterruptible(SEXP datR, SEXP HR, SEXP ind, SEXP idx, SEXP eps, SEXP m, SEXP n, SEXP N, SEXP nGrp)
{
    return GuardedCall(
        [&]() {
            static const char* const routine = "EMFitInterruptible";
            long32 mm = RoutineSize(m, routine, "m"), nn = RoutineSize(n, routine, "n");
            long32 NN = RoutineSize(N, routine, "N");
            const double cells = (double)mm * (double)nn;
            CheckRoutineArg(datR, routine, "dat", REALSXP, cells);
            CheckRoutineArg(HR, routine, "H", REALSXP, (double)nn * (double)nn);
            CheckRoutineArg(ind, routine, "ind", INTSXP, -1);
            CheckRoutineArg(idx, routine, "idx", INTSXP, nn);
            CheckRoutineArg(eps, routine, "eps", REALSXP, 1);
            CheckRoutineArg(nGrp, routine, "nGrp", INTSXP, NN);
            char message[256];
            if (CheckEMFitArguments(&mm, &nn, &NN, INTEGER(nGrp), INTEGER(idx), REAL(eps), message, sizeof(message)) !=
                0)
                ThrowArgError("%s: %s", routine, message);
            CheckedLength(cells, "the fit (m*n)");

            SEXP fit = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)cells));
            SEXP alpha = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)cells));
            long32 iter = 0;
            char outOfMemory[160];
            snprintf(outOfMemory, sizeof outOfMemory, "%s: out of memory for %d genes and %d arrays", routine, (int)mm,
                     (int)nn);
            RunSynchronously(
                [&](CInterruptCheck* interrupt) {
                    lumo::CWorkerPool pool(lumo::DefaultThreadCount());
                    EMFitColumnMajor(REAL(datR), REAL(HR), INTEGER(ind), INTEGER(idx), REAL(eps), REAL(fit),
                                     REAL(alpha), &mm, &nn, &NN, INTEGER(nGrp), &iter, pool, &InterruptCheckCallback,
                                     interrupt);
                },
                outOfMemory);
            SEXP iterations = PROTECT(Rf_ScalarInteger(iter));
            SEXP result = NamedList({{"fit", fit}, {"alpha", alpha}, {"iter", iterations}});
            UNPROTECT(3);
            return result;
        },
        kEMFitMessages);
}

extern "C" SEXP InterceptFitInterruptible(SEXP datR, SEXP XR, SEXP ind, SEXP m, SEXP n, SEXP p, SEXP N)
{
    return GuardedCall(
        [&]() {
            static const char* const routine = "InterceptFitInterruptible";
            const long32 mm = RoutineSize(m, routine, "m"), nn = RoutineSize(n, routine, "n");
            const long32 pp = RoutineSize(p, routine, "p"), NN = RoutineSize(N, routine, "N");
            const double cells = (double)mm * (double)nn;
            CheckRoutineArg(datR, routine, "dat", REALSXP, cells);
            CheckRoutineArg(XR, routine, "X", REALSXP, (double)nn * (double)pp);
            CheckRoutineArg(ind, routine, "ind", INTSXP, nn);
            if (pp >= nn && nn > 0)
                ThrowArgError("%s: the design has %d columns for %d arrays; it must leave residual degrees of freedom",
                              routine, (int)pp, (int)nn);
            for (long32 j = 0; j < nn; j++) {
                const int g = INTEGER(ind)[j];
                if (g == NA_INTEGER || g < 1 || g > NN)
                    ThrowArgError("%s: ind[%d] must be an individual 1..%d", routine, (int)j + 1, (int)NN);
            }
            CheckedLength(cells, "the fit (m*n)");

            // The results are allocated before any C++ object that owns memory.
            SEXP fit = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)cells));
            SEXP alpha = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)cells));
            SEXP rss = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)mm));
            SEXP theta = PROTECT(Rf_allocVector(REALSXP, (R_xlen_t)mm));
            char outOfMemory[160];
            snprintf(outOfMemory, sizeof outOfMemory, "%s: out of memory for %d genes and %d arrays", routine, (int)mm,
                     (int)nn);
            RunSynchronously(
                [&](CInterruptCheck* interrupt) {
                    std::vector<int> group((size_t)nn);
                    for (long32 j = 0; j < nn; j++)
                        group[(size_t)j] = INTEGER(ind)[j] - 1;
                    const lumo::CInterceptDesign design(REAL(XR), nn, pp, NN, group.data());
                    if (!design.FullRank())
                        ThrowArgError("%s: the design X does not have full column rank", routine);
                    lumo::CWorkerPool pool(lumo::DefaultThreadCount());
                    lumo::InterceptFitColumnMajor(REAL(datR), mm, design, REAL(fit), REAL(alpha), REAL(rss),
                                                  REAL(theta), pool, &InterruptCheckCallback, interrupt);
                },
                outOfMemory);
            SEXP result = NamedList({{"fit", fit}, {"alpha", alpha}, {"rss", rss}, {"theta", theta}});
            UNPROTECT(4);
            return result;
        },
        kInterceptFitMessages);
}

// The message of a failed imputation of a p x n matrix.
static void KnnMemoryMessage(char* buf, size_t size, long32 p, long32 n)
{
    snprintf(buf, size, "not enough memory to impute a %d x %d matrix", (int)p, (int)n);
}

extern "C" SEXP KnnImputeInterruptible(SEXP x, SEXP p, SEXP n, SEXP imiss, SEXP irmiss, SEXP kn)
{
    return GuardedCall(
        [&]() {
            static const char* const routine = "KnnImputeInterruptible";
            const long32 pp = RoutineSize(p, routine, "p"), nn = RoutineSize(n, routine, "n");
            const long32 k = RoutineSize(kn, routine, "kn");
            const double cells = (double)pp * (double)nn;
            CheckRoutineArg(x, routine, "x", REALSXP, cells);
            CheckRoutineArg(imiss, routine, "imiss", INTSXP, cells);
            CheckRoutineArg(irmiss, routine, "irmiss", INTSXP, pp);
            char message[160];
            if (!KnnimpArgsValid(pp, nn, k, INTEGER(imiss), message, sizeof message))
                throw CArgError(message);

            // Written into copies, so that an interrupted call changes nothing of R's.
            SEXP ximp = PROTECT(Rf_duplicate(x));
            SEXP imissOut = PROTECT(Rf_duplicate(imiss));
            KnnMemoryMessage(message, sizeof message, pp, nn);
            RunSynchronously(
                [&](CInterruptCheck* interrupt) {
                    lumo::CWorkerPool pool(lumo::DefaultThreadCount());
                    lumo::KnnImpute(REAL(x), REAL(ximp), pp, nn, INTEGER(imissOut), INTEGER(irmiss), k, pool,
                                    &InterruptCheckCallback, interrupt);
                },
                message);
            SEXP result = NamedList({{"ximp", ximp}, {"imiss", imissOut}});
            UNPROTECT(2);
            return result;
        },
        kKnnMessages);
}

extern "C" void KnnimpForR(const double* x, double* ximp, const long32* p, const long32* n, long32* imiss,
                           const long32* irmiss, const long32* kn, double*, double*, long32*, long32*)
{
    GuardedVoidCall([&]() {
        char message[160];
        if (!KnnimpArgsValid(*p, *n, *kn, imiss, message, sizeof message))
            throw CArgError(message);
        try {
            lumo::CWorkerPool pool(lumo::DefaultThreadCount());
            lumo::KnnImpute(x, ximp, *p, *n, imiss, irmiss, *kn, pool);
        } catch (const std::bad_alloc&) {
            KnnMemoryMessage(message, sizeof message, *p, *n);
            throw CRError(message);
        }
    });
}

extern "C" void TwomisForR(const double* x, const long32* p, const long32* n, const long32* imiss, double* x0,
                           long32* imiss0, long32* maxit, const double* eps, const long32* istart, long32* clust,
                           long32* nsize, double* dist, double* ratio, long32* iter, long32* iworkp, long32* iworkn)
{
    GuardedVoidCall([&]() {
        char message[160];
        if (!TwomisArgsValid(*p, *n, istart, message, sizeof message))
            throw CArgError(message);
        twomis(x, p, n, imiss, x0, imiss0, maxit, eps, istart, clust, nsize, dist, ratio, iter, iworkp, iworkn);
    });
}

// ---------------------------------------------------------------- the error boundary

extern "C" SEXP GuardProbe(SEXP kind, SEXP arglist)
{
    static const SGuardMessages probeMessages = {"probe was interrupted", "probe ran out of memory",
                                                 "probe failed in an unknown way"};
    return GuardedCall(
        [&]() {
            if (TYPEOF(kind) != STRSXP || Rf_length(kind) != 1)
                throw CArgError("kind must be one string");
            const char* k = CHAR(STRING_ELT(kind, 0));
            double value;
            {
                std::vector<double> held(1 << 16, 1.0); // released only if the frames unwind
                if (std::strcmp(k, "argument") == 0)
                    ThrowArgError("probe: bad argument %d", 1);
                if (std::strcmp(k, "error") == 0)
                    throw CRError("probe: failed");
                if (std::strcmp(k, "memory") == 0)
                    throw std::bad_alloc();
                if (std::strcmp(k, "interrupt") == 0)
                    throw CStopRequest();
                if (std::strcmp(k, "engine") == 0)
                    throw new CClusterException(5, "probe: engine fault");
                if (std::strcmp(k, "engine-memory") == 0)
                    throw new CClusterException(1, "probe: engine memory");
                if (std::strcmp(k, "standard") == 0)
                    throw std::length_error("probe: length");
                if (std::strcmp(k, "other") == 0)
                    throw 42;
                if (std::strcmp(k, "odp-job") == 0) {
                    const CArgList args(arglist, kOdpContract);
                    if (args.Has(kOdpNull))
                        ThrowArgError("the probe builds jobs of the resampled null (%d slots)", (int)kOdpM0);
                    ValidateOdpTypes(args);
                    delete NewJob<COdpThread>(args, "Could not allocate COdpThread object");
                }
                if (std::strcmp(k, "none") != 0 && std::strcmp(k, "odp-job") != 0)
                    ThrowArgError("unknown probe kind '%s'", k);
                value = held.back();
            }
            return Rf_ScalarReal(value);
        },
        probeMessages);
}
