#ifndef LUMO_TIMECOURSETHREAD_H
#define LUMO_TIMECOURSETHREAD_H

#include <Rinternals.h>

#include "RArgs.h"
#include "lumo.h"
#include "threads/ProgressThread.h"

// Base of the three time-course jobs: each computes bootstrap null F
// statistics into an m x B result it owns (gene i of iteration h at
// i + h m), which GetTimecourseResult hands to R; when the list asks for it
// (slot "rss"), also the residual sums of squares of the alternative fits,
// in the same layout.
class CTimecourseJob : public CProgressThread
{
public:
    virtual ~CTimecourseJob() { delete[] m_pRss1; }
    // The m x B residual sums of squares, or null when not asked for.
    const double* Rss1() const { return m_pRss1; }

protected:
    // Captures the thread count the job will compute with.
    CTimecourseJob() : m_threads(lumo::DefaultThreadCount()), m_pRss1(0) {}
    const int32_t m_threads;
    double* m_pRss1;

    // A new m x B result; never null, also when it holds no statistic.
    // Throws std::bad_alloc.
    static double* NewResult(long32 m, long32 B);
    // Allocates m_pRss1 when the list asks for the sums of squares.
    void NewRss1(const CArgList& args, long32 m, long32 B);
};

// Independent samples. The job owns copies of its inputs and its result.
class CTimecourseThread : public CTimecourseJob
{
public:
    // Copies the arrays of the list (slots in RArgs.h), which must have passed
    // ValidateIndepArgs. Throws std::bad_alloc when memory is short (nothing
    // is kept then).
    explicit CTimecourseThread(const CArgList& args);
    virtual ~CTimecourseThread();
    virtual int Go(pthread_t tid);

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
