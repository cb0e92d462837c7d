#ifndef LUMO_TIMECOURSENOINTERCEPT_H
#define LUMO_TIMECOURSENOINTERCEPT_H

#include <Rinternals.h>

#include "TimecourseThread.h"

// Bootstrap null F statistics of a longitudinal time-course study without a
// random intercept: the residuals are resampled in a reduced basis and
// balanced per individual. Owns copies of its inputs and its m x B result.
class CTimecourseNoIntercept : public CTimecourseJob
{
public:
    // Copies the arrays of the list (slots in RArgs.h), which must have passed
    // ValidateNoIntArgs. Throws std::bad_alloc when memory is short (nothing
    // is kept then).
    explicit CTimecourseNoIntercept(const CArgList& args);
    virtual ~CTimecourseNoIntercept();
    virtual int Go(pthread_t tid);

private:
    void Release();

    double* m_pFit;
    double* m_pRes;
    int* m_pv;
    int* m_prmv;
    int* m_pInc;
    double* m_pH0;
    double* m_pH1;
    double* m_pwsq;
    int* m_pInd;
    int* m_pIdx;
    long32 m_m, m_n, m_N;
    int* m_pNGrp;
    long32 m_B;
    double* m_pResult;
};

#endif
