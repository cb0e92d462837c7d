// Registration of the library's entry points with R.

#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

#include <pthread.h>

#include "RInterfaces.h"
#include "Rintf_cluster.h"
#include "Rintf_guard.h"
#include "Rintf_threads.h"
#include "knnimpute.h"
#include "lumo.h"
#include "threads/ProgressThread.h"

// Every entry point is declared in the header of its subsystem: job control
// in Rintf_threads.h, ODP, time course and imputation in RInterfaces.h,
// clustering in Rintf_cluster.h. Each runs its body through GuardedCall
// (Rintf_guard.h), so no C++ exception and no R error crosses a C++ frame.

// R's own thread, the only one that may write to R's console.
static pthread_t g_rThread;

// The offset-array messages go to R's console when they arise on R's thread;
// a job's worker thread must not touch R, so there they keep the default.
static void OffsetArrayMessageToConsole(const char* text)
{
    if (pthread_equal(pthread_self(), g_rThread))
        Rprintf("%s", text);
    else
        WriteToStandardOutput(text);
}

// void (*)(void) is compatible with every function type, so the double cast
// keeps -Wcast-function-type quiet.
#define CALLDEF(name, n)                                                                                               \
    {                                                                                                                  \
#name, (DL_FUNC)(void (*)(void)) & name, n                                                                     \
    }

static const R_CallMethodDef callMethods[] = {CALLDEF(GetProgressValues, 1),
                                              CALLDEF(StopThread, 1),
                                              CALLDEF(DeleteThread, 1),
                                              CALLDEF(SetThreadCount, 1),
                                              CALLDEF(GetThreadCount, 0),
                                              CALLDEF(GetJobHandle, 0),
                                              CALLDEF(GetPhaseNames, 0),
                                              // ---- ODP entries
                                              CALLDEF(GetLumoLibraryVersion, 0),
                                              CALLDEF(RunODP, 2),
                                              CALLDEF(GetODPResult, 1),
                                              CALLDEF(GetOdpInstructionSet, 0),
                                              // ---- time-course entries
                                              CALLDEF(RunTimecourseIndep, 2),
                                              CALLDEF(RunTimecourseNoInt, 2),
                                              CALLDEF(RunTimecourseInt, 2),
                                              CALLDEF(GetTimecourseResult, 1),
                                              CALLDEF(EMFitInterruptible, 9),
                                              CALLDEF(InterceptFitInterruptible, 7),
                                              // ---- imputation entries
                                              CALLDEF(KnnImputeInterruptible, 6),
                                              // ---- clustering entries
                                              CALLDEF(StartClusteringThread, 5),
                                              CALLDEF(FinishClusteringThread, 4),
                                              CALLDEF(Cluster, 8),
                                              CALLDEF(GetPhysicalMemory, 0),
                                              // ---- the error boundary
                                              CALLDEF(GuardProbe, 2),
                                              {NULL, NULL, 0}};

// Argument types of the .C and .Fortran routines: R refuses a call whose
// vectors are of another type instead of handing the routine a double vector
// to read as integers, or the reverse.
static R_NativePrimitiveArgType emfitTypes[] = {REALSXP, REALSXP, INTSXP, INTSXP, REALSXP, REALSXP,
                                                REALSXP, INTSXP,  INTSXP, INTSXP, INTSXP,  INTSXP};
static R_NativePrimitiveArgType knnimpTypes[] = {REALSXP, REALSXP, INTSXP,  INTSXP, INTSXP, INTSXP,
                                                 INTSXP,  REALSXP, REALSXP, INTSXP, INTSXP};
static R_NativePrimitiveArgType twomisTypes[] = {REALSXP, INTSXP, INTSXP, INTSXP,  REALSXP, INTSXP, INTSXP, REALSXP,
                                                 INTSXP,  INTSXP, INTSXP, REALSXP, REALSXP, INTSXP, INTSXP, INTSXP};

static const R_CMethodDef cMethods[] = {
    // ---- .C entries
    {"EMFitR", (DL_FUNC)(void (*)(void)) & EMFitR, 12, emfitTypes},
    {NULL, NULL, 0, NULL}};

static const R_FortranMethodDef fortranMethods[] = {
    // ---- .Fortran entries: the routines of knnimpute.h behind their checks
    {"knnimp", (DL_FUNC)(void (*)(void)) & KnnimpForR, 11, knnimpTypes},
    {"twomis", (DL_FUNC)(void (*)(void)) & TwomisForR, 16, twomisTypes},
    {NULL, NULL, 0, NULL}};

extern "C" void R_init_lumo(DllInfo* dll)
{
    g_rThread = pthread_self();
    SetOffsetArrayMessageHook(&OffsetArrayMessageToConsole);
    R_registerRoutines(dll, cMethods, callMethods, fortranMethods, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, FALSE);
}

// Ends every job before the library's code and data go away: each running
// worker is asked to stop and joined, then the job is destroyed.
extern "C" void R_unload_lumo(DllInfo*)
{
    CProgressThreadManager::DestroyAll();
    SetOffsetArrayMessageHook(nullptr);
}
