#include "TimecourseNoIntercept.h"

#include "MathUtility.h"

CTimecourseNoIntercept::CTimecourseNoIntercept(const CArgList& args)
    : m_pFit(0), m_pRes(0), m_pv(0), m_prmv(0), m_pInc(0), m_pH0(0), m_pH1(0), m_pwsq(0), m_pInd(0), m_pIdx(0), m_m(0),
      m_n(0), m_N(0), m_pNGrp(0), m_B(0), m_pResult(0)
{
    try {
        m_pFit = args.CopyDouble(kTcFit);
        m_pRes = args.CopyDouble(kTcResNoInt);
        m_pv = args.CopyInteger(kTcV);
        m_prmv = args.CopyInteger(kTcRmv);
        m_pInc = args.CopyInteger(kTcInc);
        m_pH1 = args.CopyDouble(kTcH1);
        m_pH0 = args.CopyDouble(kTcH0);
        m_pwsq = args.CopyDouble(kTcWsq);
        m_pInd = args.CopyInteger(kTcInd);
        m_pIdx = args.CopyInteger(kTcIdx);
        m_m = args.IntegerValue(kTcM);
        m_n = args.IntegerValue(kTcN);
        m_N = args.IntegerValue(kTcIndividuals);
        m_pNGrp = args.CopyInteger(kTcNGrp);
        m_B = args.IntegerValue(kTcB);
        m_pResult = NewResult(m_m, m_B);
        NewRss1(args, m_m, m_B);
    } catch (...) {
        Release();
        throw;
    }
}

CTimecourseNoIntercept::~CTimecourseNoIntercept()
{
    Release();
}

void CTimecourseNoIntercept::Release()
{
    delete[] m_pFit;
    delete[] m_pRes;
    delete[] m_pv;
    delete[] m_prmv;
    delete[] m_pInc;
    delete[] m_pH0;
    delete[] m_pH1;
    delete[] m_pwsq;
    delete[] m_pInd;
    delete[] m_pIdx;
    delete[] m_pNGrp;
    delete[] m_pResult;
}

int CTimecourseNoIntercept::Go(pthread_t)
{
    lumo::CWorkerPool pool(m_threads);
    nullFLongNoInt(m_pFit, m_pRes, m_pv, m_prmv, m_pInc, m_pH1, m_pH0, m_pwsq, m_pInd, m_pIdx, &m_m, &m_n, &m_N,
                   m_pNGrp, &m_B, m_pResult, &UpdateProgressThreadProgress, this, pool, m_pRss1);
    SetReturnData(m_pResult, m_m * m_B);
    return 0;
}
