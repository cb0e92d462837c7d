#include "TimecourseThread.h"

#include "MathUtility.h"

double* CTimecourseJob::NewResult(long32 m, long32 B)
{
    const long32 size = m * B; // the argument checks keep m B within R's integer
    return new double[size > 0 ? size : 1];
}

void CTimecourseJob::NewRss1(const CArgList& args, long32 m, long32 B)
{
    if (args.Has(kTcRss) && args.IntegerValue(kTcRss) == 1)
        m_pRss1 = NewResult(m, B);
}

CTimecourseThread::CTimecourseThread(const CArgList& args)
    : m_pFit0(0), m_pRes(0), m_pv(0), m_pH1(0), m_pH0(0), m_B(0), m_m(0), m_n(0), m_pResult(0)
{
    try {
        m_pFit0 = args.CopyDouble(kTcFit);
        m_pRes = args.CopyDouble(kTcResIndep);
        m_pv = args.CopyInteger(kTcV);
        m_pH1 = args.CopyDouble(kTcH1);
        m_pH0 = args.CopyDouble(kTcH0);
        m_m = args.IntegerValue(kTcM);
        m_n = args.IntegerValue(kTcN);
        m_B = args.IntegerValue(kTcB);
        m_pResult = NewResult(m_m, m_B);
        NewRss1(args, m_m, m_B);
    } catch (...) {
        Release();
        throw;
    }
}

CTimecourseThread::~CTimecourseThread()
{
    Release();
}

void CTimecourseThread::Release()
{
    delete[] m_pFit0;
    delete[] m_pRes;
    delete[] m_pv;
    delete[] m_pH1;
    delete[] m_pH0;
    delete[] m_pResult;
}

int CTimecourseThread::Go(pthread_t)
{
    lumo::CWorkerPool pool(m_threads);
    nullFIndep(m_pFit0, m_pRes, m_pv, m_pH1, m_pH0, &m_m, &m_n, &m_B, m_pResult, &UpdateProgressThreadProgress, this,
               pool, m_pRss1);
    SetReturnData(m_pResult, m_m * m_B);
    return 0;
}
