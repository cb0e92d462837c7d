#include "TimecourseThread.h"

#include "MathUtility.h"
#include "RInterfaces.h"

// List positions (1-based) of the independent design. B, m, n, the fit, v,
// H0 and H1 sit at the same positions in every design.
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

CTimecourseJob::Sizes CTimecourseJob::CheckCommonArgs(SEXP arglist, int minLength, const char* fitName, int resPos)
{
    CheckArgListLength(arglist, minLength);
    ArgDouble(arglist, kFit0, fitName);
    ArgDouble(arglist, resPos, "res");
    ArgInteger(arglist, kV, "v");
    ArgDouble(arglist, kH1, "H1");
    ArgDouble(arglist, kH0, "H0");
    Sizes s;
    s.m = ArgSize(arglist, kM, "m");
    s.n = ArgSize(arglist, kN, "n");
    s.B = ArgSize(arglist, kB, "B");
    CheckedLength(SizeProduct(s.m, s.B), "The result F");
    return s;
}

double* CTimecourseJob::NewResult(long32 m, long32 B)
{
    const long32 size = m * B; // the argument checks keep m B within R's integer
    return new double[size > 0 ? size : 1];
}

void CTimecourseThread::CheckArgList(SEXP arglist)
{
    const Sizes s = CheckCommonArgs(arglist, kMinLength, "fit0", kRes);
    const long32 m = s.m, n = s.n, B = s.B;

    const long32 mn = CheckedLength(SizeProduct(m, n), "fit0");
    const long32 nB = CheckedLength(SizeProduct(n, B), "v");
    const long32 nn = CheckedLength(SizeProduct(n, n), "H0");
    CheckLength(ArgLength(arglist, kFit0), "fit0", mn);
    CheckLength(ArgLength(arglist, kRes), "res", mn);
    CheckLength(ArgLength(arglist, kV), "v", nB);
    CheckLength(ArgLength(arglist, kH0), "H0", nn);
    CheckLength(ArgLength(arglist, kH1), "H1", nn);
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
        m_pResult = NewResult(m_m, m_B);
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
               pool);
    SetReturnData(m_pResult, m_m * m_B);
    return 0;
}
