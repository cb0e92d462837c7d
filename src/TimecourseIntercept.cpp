#include "TimecourseIntercept.h"

#include "MathUtility.h"

#include <cmath>

CTimecourseIntercept::CTimecourseIntercept(const CArgList& args)
    : m_pFit(0), m_pRes(0), m_pv(0), m_pv1(0), m_pH1(0), m_pH0(0), m_pAlpha1(0), m_pInd(0), m_pIdx(0), m_eps(0.0),
      m_m(0), m_n(0), m_NGrplen(0), m_pNGrp(0), m_N(0), m_B(0), m_pResult(0), m_pX1(0), m_pX0(0), m_p1(0), m_p0(0)
{
    try {
        m_pFit = args.CopyDouble(kTcFit);
        m_pRes = args.CopyDouble(kTcResInt);
        m_pv = args.CopyInteger(kTcV);
        m_pv1 = args.CopyInteger(kTcV1);
        m_pH1 = args.CopyDouble(kTcH1);
        m_pH0 = args.CopyDouble(kTcH0);
        m_pAlpha1 = args.CopyDouble(kTcAlpha);
        m_pInd = args.CopyInteger(kTcInd);
        m_pIdx = args.CopyInteger(kTcIdx);
        m_m = args.IntegerValue(kTcM);
        m_n = args.IntegerValue(kTcN);
        m_eps = args.DoubleValue(kTcEps);
        m_N = args.IntegerValue(kTcIndividuals);
        m_pNGrp = args.CopyInteger(kTcNGrp);
        m_NGrplen = args.IntLengthOf(kTcNGrp);
        m_B = args.IntegerValue(kTcB);
        m_pResult = NewResult(m_m, m_B);
        NewRss1(args, m_m, m_B);
        if (args.Has(kTcX1)) {
            int len1 = 0, len0 = 0;
            m_pX1 = args.CopyDouble(kTcX1, &len1);
            m_pX0 = args.CopyDouble(kTcX0, &len0);
            m_p1 = len1 / m_n;
            m_p0 = len0 / m_n;
        }
    } catch (...) {
        Release();
        throw;
    }
}

CTimecourseIntercept::~CTimecourseIntercept()
{
    Release();
}

void CTimecourseIntercept::Release()
{
    delete[] m_pFit;
    delete[] m_pRes;
    delete[] m_pv;
    delete[] m_pv1;
    delete[] m_pH1;
    delete[] m_pH0;
    delete[] m_pAlpha1;
    delete[] m_pInd;
    delete[] m_pIdx;
    delete[] m_pNGrp;
    delete[] m_pResult;
    delete[] m_pX1;
    delete[] m_pX0;
}

int CTimecourseIntercept::Go(pthread_t)
{
    lumo::CWorkerPool pool(m_threads);
    if (m_pX1 != 0)
        nullFLongIntML(m_pFit, m_pRes, m_pv, m_pv1, m_pAlpha1, m_pX1, m_p1, m_pX0, m_p0, m_pIdx, &m_m, &m_n, &m_N,
                       m_pNGrp, &m_B, m_pResult, &UpdateProgressThreadProgress, this, pool, m_pRss1);
    else
        nullFLongInt(m_pFit, m_pRes, m_pv, m_pv1, m_pH1, m_pH0, m_pAlpha1, m_pInd, m_pIdx, &m_eps, &m_m, &m_n, &m_N,
                     m_pNGrp, &m_B, m_pResult, &UpdateProgressThreadProgress, this, pool, m_pRss1);
    SetReturnData(m_pResult, m_m * m_B);
    return 0;
}
