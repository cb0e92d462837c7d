#ifndef LUMO_TIMECOURSETHREAD_H
#define LUMO_TIMECOURSETHREAD_H

#include <Rinternals.h>

#include "lumo.h"
#include "threads/ProgressThread.h"

// Base of the three time-course jobs: each computes bootstrap null F
// statistics into an m x B result it owns (gene i of iteration h at
// i + h m), which GetTimecourseResult hands to R.
class CTimecourseJob : public CProgressThread
{
protected:
    // Captures the thread count the job will compute with.
    CTimecourseJob() : m_threads(lumo::DefaultThreadCount()) {}
    const int32_t m_threads;

    struct Sizes
    {
        long32 m, n, B;
    };
    // The checks every design shares, raising an R error that names the
    // element: arglist holds at least minLength elements; the fit (named
    // fitName) at 11 and the residuals at resPos are double vectors, the
    // column map at 12 an integer vector, the smoothers H0 at 13 and H1 at 14
    // double vectors; m at 5, n at 6 and B at 1 are sizes whose m x B result
    // fits R's integer. Call it before any C++ object is built.
    static Sizes CheckCommonArgs(SEXP arglist, int minLength, const char* fitName, int resPos);
    // Length of the vector at pos (1-based) of a checked list.
    static int ArgLength(SEXP arglist, int pos) { return Rf_length(VECTOR_ELT(arglist, pos - 1)); }
    // A new m x B result; never null, also when it holds no statistic.
    // Throws std::bad_alloc.
    static double* NewResult(long32 m, long32 B);
};

// Independent samples. The job owns copies of its inputs and its result.
class CTimecourseThread : public CTimecourseJob
{
public:
    // Copies the arrays of arglist; the list must have passed CheckArgList.
    // Throws std::bad_alloc when memory is short (nothing is kept then).
    explicit CTimecourseThread(SEXP arglist);
    virtual ~CTimecourseThread();
    virtual int Go(pthread_t tid);

    // Raises an R error naming the first element of arglist the job cannot
    // use: a short list, a wrong type, a bad size, a length or an index out
    // of range. Call it before any C++ object is built.
    static void CheckArgList(SEXP arglist);

private:
    void Release();

    double* m_pFit0;
    double* m_pRes;
    int* m_pv;
    double* m_pH1;
    double* m_pH0;
    long32 m_B, m_m, m_n;
    double* m_pResult;
};

#endif
