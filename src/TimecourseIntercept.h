#ifndef LUMO_TIMECOURSEINTERCEPT_H
#define LUMO_TIMECOURSEINTERCEPT_H

#include <Rinternals.h>

#include "TimecourseThread.h"

// Bootstrap null F statistics of a longitudinal time-course study with a
// random intercept per individual, both models fitted in every iteration: by
// EM over all genes, or, when the list carries the designs X1 and X0, gene by
// gene by maximum likelihood. Owns copies of its inputs and its m x B result.
class CTimecourseIntercept : public CTimecourseJob
{
public:
    // Copies the arrays of the list (slots in RArgs.h), which must have passed
    // ValidateIntArgs. Throws std::bad_alloc when memory is short (nothing
    // is kept then).
    explicit CTimecourseIntercept(const CArgList& args);
    virtual ~CTimecourseIntercept();
    virtual int Go(pthread_t tid);

private:
    void Release();

    double* m_pFit;
    double* m_pRes;
    int* m_pv;
    int* m_pv1;
    double* m_pH1;
    double* m_pH0;
    double* m_pAlpha1;
    int* m_pInd;
    int* m_pIdx;
    double m_eps;
    long32 m_m, m_n;
    int m_NGrplen;
    int* m_pNGrp;
    long32 m_N, m_B;
    double* m_pResult;
    // The designs (n x p1, n x p0), null without them.
    double* m_pX1;
    double* m_pX0;
    long32 m_p1, m_p0;
};

#endif
