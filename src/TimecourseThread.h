#ifndef LUMO_TIMECOURSETHREAD_H
#define LUMO_TIMECOURSETHREAD_H

#include <Rinternals.h>

#include "lumo.h"
#include "threads/ProgressThread.h"

// Bootstrap null F statistics of a time-course study with independent
// samples. The job owns copies of its inputs and its m x B result (gene i of
// iteration h at i + h m).
class CTimecourseThread : public CProgressThread
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
