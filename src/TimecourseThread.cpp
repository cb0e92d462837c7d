#include "TimecourseThread.h"

#include "MathUtility.h"
#include "RInterfaces.h"

// List positions (1-based) of the independent design.
namespace
{
enum
{
    kB = 1,
    kM = 5,
    kN = 6,
    kFit0 = 11,
    kV = 12,
    kH0 = 13,
    kH1 = 14,
    kRes = 16,
    kMinLength = 16
};
} // namespace

void CTimecourseThread::CheckArgList(SEXP arglist)
{
    CheckArgListLength(arglist, kMinLength);
    SEXP fit0 = ArgDouble(arglist, kFit0, "fit0");
    SEXP res = ArgDouble(arglist, kRes, "res");
    SEXP v = ArgInteger(arglist, kV, "v");
    SEXP H1 = ArgDouble(arglist, kH1, "H1");
    SEXP H0 = ArgDouble(arglist, kH0, "H0");
    const long32 m = ArgSize(arglist, kM, "m");
    const long32 n = ArgSize(arglist, kN, "n");
    const long32 B = ArgSize(arglist, kB, "B");

    const long32 mn = CheckedLength(SizeProduct(m, n), "fit0");
    const long32 nB = CheckedLength(SizeProduct(n, B), "v");
    const long32 nn = CheckedLength(SizeProduct(n, n), "H0");
    CheckedLength(SizeProduct(m, B), "The result F");
    CheckLength(Rf_length(fit0), "fit0", mn);
    CheckLength(Rf_length(res), "res", mn);
    CheckLength(Rf_length(v), "v", nB);
    CheckLength(Rf_length(H0), "H0", nn);
    CheckLength(Rf_length(H1), "H1", nn);
    // v picks residual columns.
    CheckIndexRange(arglist, kV, "v", 0, n - 1);
}

CTimecourseThread::CTimecourseThread(SEXP arglist)
    : m_pFit0(0), m_pRes(0), m_pv(0), m_pH1(0), m_pH0(0), m_B(0), m_m(0), m_n(0), m_pResult(0)
{
    try {
        m_pFit0 = CopyDoubleArg(arglist, kFit0);
        m_pRes = CopyDoubleArg(arglist, kRes);
        m_pv = CopyIntegerArg(arglist, kV);
        m_pH1 = CopyDoubleArg(arglist, kH1);
        m_pH0 = CopyDoubleArg(arglist, kH0);
        m_m = IntegerArgValue(arglist, kM);
        m_n = IntegerArgValue(arglist, kN);
        m_B = IntegerArgValue(arglist, kB);
        const long32 size = m_m * m_B;
        m_pResult = new double[size > 0 ? size : 1];
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
    m_pFit0 = m_pRes = m_pH1 = m_pH0 = m_pResult = 0;
    m_pv = 0;
}

int CTimecourseThread::Go(pthread_t)
{
    nullFIndep(m_pFit0, m_pRes, m_pv, m_pH1, m_pH0, &m_m, &m_n, &m_B, m_pResult, &UpdateProgressThreadProgress, this);
    SetReturnData(m_pResult, m_m * m_B);
    return 0;
}
